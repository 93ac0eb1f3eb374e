// Interrupts on Windows. An update cut short between an erase and its
// programming leaves an instrument without firmware, so the first Ctrl-C or
// Ctrl-Break only asks the run to stop at the next boundary between bus
// transactions (the session layer looks before each write); a second one
// ends the process as it would have without us. Closing the console window,
// logging off and shutting down cannot be refused, only put off: the handler
// holds Windows off for the few seconds it allows while the run stops at
// the next boundary and exits. A program that has user32.dll loaded (shell32
// and every VISA load it) hears of logging off and shutting down only as
// window messages, so a hidden window of its own takes them the same way. A
// lost reader of standard output never stops an update: Windows has no
// signal for it, the write just fails.
#include "link.h"
#include "recorder.h"

#include <atomic>
#include <windows.h>

namespace {

std::atomic<bool> interrupt_seen{false};
std::atomic<bool> end_at_once{false};
// The first interrupt's name and time, for the recording.
std::atomic<const char*> interrupt_cause{nullptr};
std::atomic<int64_t> interrupt_time{0};

void note_cause(const char* cause) {
  const char* none = nullptr;
  if (interrupt_cause.compare_exchange_strong(none, cause)) {
    interrupt_time = recorder_clock_us();
  }
}

// Set once, at the first interrupt, and never reset, so that a pause in
// progress wakes at once and every later one returns at once.
HANDLE wake = nullptr;

void mark_interrupted() {
  interrupt_seen = true;
  SetEvent(wake);
}

// The run stops at the next boundary and exits, which ends this thread too;
// until then Windows, which ends the process when a handler returns or its
// time is up, is held off.
void stop_and_hold() {
  mark_interrupted();
  Sleep(INFINITE);
}

// Without the loader lock, which the main thread may hold while it loads
// a library: TerminateProcess tells no library, ExitProcess would wait.
void end_now() {
  constexpr char message[] = "Interrupted: update not complete, run kesload again\r\n";
  static_assert(sizeof message == sizeof gpib_interrupted_message + 1, "the same words");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, nullptr);
  TerminateProcess(GetCurrentProcess(), 1);
}

// Runs on a thread of its own, which Windows starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
  if (end_at_once && event <= CTRL_SHUTDOWN_EVENT) {
    end_now();
  }
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    note_cause(event == CTRL_C_EVENT ? "CTRL_C_EVENT" : "CTRL_BREAK_EVENT");
    if (interrupt_seen.exchange(true)) {
      return FALSE; // the second: the next handler, Windows's own, ends the process
    }
    SetEvent(wake);
    return TRUE;
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    note_cause(event == CTRL_CLOSE_EVENT    ? "CTRL_CLOSE_EVENT"
               : event == CTRL_LOGOFF_EVENT ? "CTRL_LOGOFF_EVENT"
                                            : "CTRL_SHUTDOWN_EVENT");
    stop_and_hold();
    return TRUE;
  default:
    return FALSE;
  }
}

LRESULT CALLBACK on_session_message(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
  if (message == WM_QUERYENDSESSION || (message == WM_ENDSESSION && w_param != FALSE)) {
    note_cause(message == WM_QUERYENDSESSION ? "WM_QUERYENDSESSION" : "WM_ENDSESSION");
  }
  if (message == WM_QUERYENDSESSION) {
    // Shown by Windows while it waits; the session may then end.
    ShutdownBlockReasonCreate(window, L"kesload is stopping a firmware update at a safe point");
    mark_interrupted();
    return TRUE;
  }
  if (message == WM_ENDSESSION && w_param != FALSE) {
    stop_and_hold();
  }
  return DefWindowProcW(window, message, w_param, l_param);
}

// The hidden window and its messages. Without a desktop (a service, or
// Wine without a display) there is no window and nothing to hear.
DWORD WINAPI watch_session(void* /*unused*/) {
  WNDCLASSW kind{};
  kind.lpfnWndProc = on_session_message;
  kind.hInstance = GetModuleHandleW(nullptr);
  kind.lpszClassName = L"kesload session";
  if (RegisterClassW(&kind) == 0) {
    return 0;
  }
  if (CreateWindowExW(0, kind.lpszClassName, L"kesload", 0, 0, 0, 0, 0, nullptr, nullptr, kind.hInstance, nullptr) ==
      nullptr) {
    return 0;
  }
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    DispatchMessageW(&message);
  }
  return 0;
}

} // namespace

void gpib_catch_interrupts() {
  wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  if (HANDLE watcher = CreateThread(nullptr, 0, watch_session, nullptr, 0, nullptr)) {
    CloseHandle(watcher);
  }
}

bool gpib_interrupted() { return interrupt_seen; }

void gpib_interrupt_ends_at_once(bool on) { end_at_once = on; }

const char* gpib_interrupt_cause() { return interrupt_seen ? interrupt_cause.load() : nullptr; }

int64_t gpib_interrupt_time_us() { return interrupt_time; }

// No descriptor: a wait watches the event.
int gpib_interrupt_fd() { return -1; }

void gpib_wait_for_interrupt(uint32_t milliseconds) {
  if (wake != nullptr) {
    WaitForSingleObject(wake, static_cast<DWORD>(milliseconds));
  } else {
    Sleep(static_cast<DWORD>(milliseconds));
  }
}
