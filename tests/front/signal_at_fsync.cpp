// Preloaded into kesimage by its tests: the signal named by
// KESTEST_SIGNAL_AT_FSYNC arrives while the image is being written, the one
// moment a temporary file exists.
#include <csignal>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int fsync(int fd) {
  if (const char* signal = std::getenv("KESTEST_SIGNAL_AT_FSYNC")) {
    std::raise(std::atoi(signal));
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}
