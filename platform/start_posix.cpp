// The program's start on POSIX systems: arguments already come as the
// terminal gave them, and the C library's getopt is GNU's.
#include "platform.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void platform_start(int* /*argc*/, char*** /*argv*/) {}

bool platform_open_missing_streams() {
  bool output_missing = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) {
      continue;
    }
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
      std::_Exit(1); // no stream to report it on
    }
    output_missing = output_missing || fd == STDOUT_FILENO;
  }
  return output_missing;
}

void platform_ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

const char* platform_name() { return "linux-x86_64"; }

int platform_getopt(int argc, char** argv, const char* options) { return getopt(argc, argv, options); }
