// A VISA library that has every function the programs call but needs a
// symbol that no library defines, as one built against another VISA's
// runtime does: its first call would end the process.
#include <visa.h>

extern "C" ViStatus kestest_nowhere();

extern "C" {
ViStatus viOpenDefaultRM(ViPSession) { return kestest_nowhere(); }
ViStatus viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viClose(ViObject) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viWrite(ViSession, ViConstBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viRead(ViSession, ViPBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viClear(ViSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viFindRsrc(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viFindNext(ViFindList, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
}
