// The program's start on POSIX systems: arguments already come as the
// terminal gave them, and the C library's getopt is GNU's.
#include "platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void platform_start(int* /*argc*/, char*** /*argv*/) {}

void platform_open_missing_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
      std::_Exit(1); // no stream to report it on
    }
  }
}

int platform_getopt(int argc, char** argv, const char* options) { return getopt(argc, argv, options); }
