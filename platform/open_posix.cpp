// Opening a file for reading on POSIX systems.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Opens the file for reading without waiting at the open: a FIFO nobody
// writes to would otherwise block it for ever. Reads then block as usual, so
// an image coming through a pipe is read whole.
std::FILE* platform_open_read(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    file = fdopen(fd, "rb");
  }
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

std::FILE* platform_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
