// without_stream N COMMAND_LINE: runs COMMAND_LINE without standard stream
// N (0 input, 1 output, 2 error), the others as this program's, and prints
// its exit status on one that is there.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  const int missing = argc == 3 ? _wtoi(argv[1]) : -1;
  if (missing < 0 || missing > 2) {
    std::fputs("usage: without_stream 0|1|2 COMMAND_LINE\n", stderr);
    return 2;
  }
  HANDLE streams[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
  for (HANDLE stream : streams) {
    SetHandleInformation(stream, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  streams[missing] = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = streams[0];
  startup.hStdOutput = streams[1];
  startup.hStdError = streams[2];
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, argv[2], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::fprintf(missing == 1 ? stderr : stdout, "without_stream: exit status %lu\n", status);
  return 0;
}
