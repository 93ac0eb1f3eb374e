// A VISA library that needs another library: answering_visa.dll, which the
// check leaves out, so that loading it fails for want of that one.
#include "visa.h"

extern "C" ViStatus needing_visa_open(ViPSession rm) { return viOpenDefaultRM(rm); }
