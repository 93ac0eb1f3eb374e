// sim.h with its functions visible from outside a shared library that links
// this one in; everything else in sim/ stays hidden there.
#pragma once

#pragma GCC visibility push(default)
#include "sim.h"
#pragma GCC visibility pop
