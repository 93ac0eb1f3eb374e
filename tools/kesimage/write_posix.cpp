// Writes an image file in place of another, whole or not at all.
#include "image_make.h"

#include "image.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace

int image_write_file(const char* path, const uint8_t* header, const uint8_t* body, uint32_t body_length) {
  // Written beside the target and renamed into place, so that a write that
  // fails (a full disk) never leaves a truncated image behind, nor spoils the
  // one that was there.
  std::array<char, PATH_MAX> temp{};
  const int length = std::snprintf(temp.data(), temp.size(), "%s.XXXXXX", path);
  if (length < 0 || static_cast<size_t>(length) >= temp.size()) {
    errno = ENAMETOOLONG;
    return 1;
  }
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    return 1;
  }
  // The mode a new file would get from fopen: mkstemp's 0600 would lock
  // others out of an image meant to be shared.
  const mode_t mask = umask(0);
  umask(mask);
  bool written = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, header, fw_header_size) &&
                 write_all(fd, body, body_length) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written) {
    if (std::rename(temp.data(), path) == 0) {
      return 0;
    }
    error = errno;
  }
  unlink(temp.data());
  errno = error;
  return 1;
}
