// A recorded interrupt, delivered as Ctrl-C to the console: the one event a
// program can send to itself (Ctrl-Break needs a process group of its own).
#include "replay.h"

#include <windows.h>

namespace kesvisa {

namespace {

HANDLE delivered = nullptr;

// Called before the program's own handler, which Windows calls next on the
// same thread.
BOOL WINAPI note_delivery(DWORD /*event*/) {
  SetEvent(delivered);
  return FALSE;
}

} // namespace

void replay_raise(std::string_view /*interrupt*/) {
  if (delivered == nullptr) {
    delivered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_delivery, TRUE);
  }
  if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) && WaitForSingleObject(delivered, 5000) == WAIT_OBJECT_0) {
    // The program's handler runs right after ours, on the event's thread:
    // give it the moment it takes to mark the run.
    Sleep(100);
  }
}

} // namespace kesvisa
