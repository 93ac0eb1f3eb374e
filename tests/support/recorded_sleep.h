#pragma once

#include <cstdint>
#include <vector>

// Every pause the code under test asked for, in order.
extern std::vector<uint32_t> recorded_sleeps;
