// console_event COUNT COMMAND_LINE: runs COMMAND_LINE on a console of its
// own and, once its VISA has cleared the instrument, sends Ctrl-C to the
// console COUNT times; then prints the program's exit status. The program's
// output goes where this one's goes. Wine delivers Ctrl-C sent to the whole
// console (group 0) but not Ctrl-Break, and a program in a process group of
// its own ignores Ctrl-C, so this is the one event sent.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

namespace {

// This program's own handler, so that it outlives the events. (Ignoring
// them instead would be inherited by the program.)
BOOL WINAPI keep_running(DWORD /*event*/) { return TRUE; }

} // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: console_event COUNT COMMAND_LINE\n", stderr);
    return 2;
  }
  const int count = _wtoi(argv[1]);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  FreeConsole();
  if (!AllocConsole()) {
    std::printf("console_event: no console (error %lu)\n", GetLastError());
    return 2;
  }
  SetConsoleCtrlHandler(keep_running, TRUE);

  wchar_t name[64];
  swprintf(name, 64, L"console_event_ready_%lu", GetCurrentProcessId());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name);
  char name_text[64];
  std::snprintf(name_text, sizeof name_text, "console_event_ready_%lu", GetCurrentProcessId());
  SetEnvironmentVariableA("ANSWERING_VISA_READY", name_text);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, argv[2], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::printf("console_event: cannot start the program (error %lu)\n", GetLastError());
    return 2;
  }
  HANDLE waits[2] = {ready, process.hProcess};
  if (WaitForMultipleObjects(2, waits, FALSE, 60000) != WAIT_OBJECT_0) {
    std::printf("console_event: the program never cleared the instrument\n");
  } else {
    for (int i = 0; i < count; ++i) {
      if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        std::printf("console_event: Ctrl-C not sent (error %lu)\n", GetLastError());
      }
    }
  }
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    std::printf("console_event: the program did not end\n");
    TerminateProcess(process.hProcess, 99);
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::fflush(stderr);
  std::printf("console_event: exit status %lu\n", status);
  return 0;
}
