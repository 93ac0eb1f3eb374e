// A VISA library whose loading never ends, as one on a network folder that
// went away may: it says it has begun (the file KESTEST_LOADING names) and
// waits. Every function is there, so only the wait keeps it from use.
#include <visa.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

[[gnu::constructor]] void load_for_ever() {
  if (const char* marker = std::getenv("KESTEST_LOADING"); marker != nullptr) {
    close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }
  for (;;) {
    pause();
  }
}

} // namespace

extern "C" {
ViStatus viOpenDefaultRM(ViPSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viClose(ViObject) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viWrite(ViSession, ViConstBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viRead(ViSession, ViPBuf, ViUInt32, ViPUInt32) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viClear(ViSession) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viFindRsrc(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
ViStatus viFindNext(ViFindList, ViChar*) { return VI_ERROR_SYSTEM_ERROR; }
}
