// Interrupts on Windows. An update cut short between an erase and its
// programming leaves an instrument without firmware, so the first Ctrl-C or
// Ctrl-Break only asks the run to stop at the next boundary between bus
// transactions (the session layer looks before each write); a second one
// ends the process as it would have without us. Closing the console window,
// logging off and shutting down cannot be refused, only put off: the handler
// holds Windows off for the few seconds it allows while the run stops at
// the next boundary and exits. A lost reader of standard output never stops
// an update: Windows has no signal for it, the write just fails.
#include "link.h"

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> interrupt_seen{false};
// Set once, at the first interrupt, and never reset, so that a pause in
// progress wakes at once and every later one returns at once.
HANDLE wake = nullptr;

// Runs on a thread of its own, which Windows starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    if (interrupt_seen.exchange(true)) {
      return FALSE; // the second: the next handler, Windows's own, ends the process
    }
    SetEvent(wake);
    return TRUE;
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    interrupt_seen = true;
    SetEvent(wake);
    // Windows ends the process as soon as this returns, or when its time is
    // up; the run's own exit at the next boundary ends this thread with it.
    Sleep(INFINITE);
    return TRUE;
  default:
    return FALSE;
  }
}

} // namespace

void gpib_catch_interrupts() {
  wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool gpib_interrupted() { return interrupt_seen; }

// No descriptor: a wait watches the event.
int gpib_interrupt_fd() { return -1; }

void gpib_wait_for_interrupt(uint32_t milliseconds) {
  if (wake != nullptr) {
    WaitForSingleObject(wake, static_cast<DWORD>(milliseconds));
  } else {
    Sleep(static_cast<DWORD>(milliseconds));
  }
}
