// A VISA library that answers every call with success and every read with
// "1": enough for the programs to get past opening and clearing the
// instrument, so that their Windows side can be tried under Wine without an
// instrument. With ANSWERING_VISA_READY naming an event, the device clear
// sets it (a sender of console events waits for it); with ANSWERING_VISA_HANG
// set, the device clear then never returns. Built without viClear as well,
// for the loader's refusal of an incomplete library.
#include "visa.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi) {
  *vi = 1;
  return VI_SUCCESS;
}

ViStatus viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession vi) {
  *vi = 2;
  return VI_SUCCESS;
}

ViStatus viClose(ViObject) { return VI_SUCCESS; }

ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) { return VI_SUCCESS; }

ViStatus viWrite(ViSession, ViConstBuf, ViUInt32 count, ViPUInt32 written) {
  *written = count;
  return VI_SUCCESS;
}

ViStatus viRead(ViSession, ViPBuf buffer, ViUInt32 count, ViPUInt32 got) {
  *got = count < 2 ? count : 2;
  std::memcpy(buffer, "1\n", *got);
  return VI_SUCCESS;
}

#ifndef ANSWERING_VISA_WITHOUT_CLEAR
ViStatus viClear(ViSession) {
  if (const char* name = std::getenv("ANSWERING_VISA_READY")) {
    if (HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, name)) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }
  if (std::getenv("ANSWERING_VISA_HANG") != nullptr) {
    Sleep(INFINITE);
  }
  return VI_SUCCESS;
}
#endif

ViStatus viFindRsrc(ViSession, ViConstString, ViPFindList, ViPUInt32 count, ViChar[]) {
  *count = 0;
  return VI_ERROR_RSRC_NFOUND;
}

ViStatus viFindNext(ViFindList, ViChar[]) { return VI_ERROR_RSRC_NFOUND; }
}
