// A VISA library that lacks viClear, as one open-source VISA does, or
// (built with KESTEST_LACKS_FIND_NEXT) viFindNext, the last function the
// programs need: every other function is there, and each one fails.
#include <visa.h>

extern "C" {
ViStatus viOpenDefaultRM(ViPSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viClose(ViObject) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viWrite(ViSession, ViConstBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viRead(ViSession, ViPBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viFindRsrc(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
#ifdef KESTEST_LACKS_FIND_NEXT
ViStatus viClear(ViSession) { return VI_ERROR_SYSTEM_ERROR; }
#else
ViStatus viFindNext(ViFindList, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
#endif
}
