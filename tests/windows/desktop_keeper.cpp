// desktop_keeper READY_FILE: brings up Wine's desktop, writes READY_FILE,
// then waits until it is ended. Wine starts its desktop process for the
// first program that needs it (kesload's hidden window does), and that
// process keeps the program's standard handles open for as long as it runs:
// a test reading the program's output would wait for ever. Started first,
// with its output on the null device, this is that program.
#include <cstdio>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: desktop_keeper READY_FILE\n", stderr);
    return 2;
  }
  GetDesktopWindow();
  std::FILE* ready = std::fopen(argv[1], "w");
  if (ready == nullptr) {
    return 1;
  }
  std::fclose(ready);
  Sleep(INFINITE);
  return 0;
}
