#include "file.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Opens the file for reading without waiting at the open: a FIFO nobody
// writes to would otherwise block it for ever. Reads then block as usual, so
// an image coming through a pipe is read whole.
int open_image(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Waits until fd can be read or stop_fd is readable; false for the latter.
// A signal that wakes poll is looked at again: poll is never restarted.
bool wait_readable(int fd, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, POLLIN, 0}}; // a negative stop_fd is skipped
    const int ready = poll(fds, 2, -1);
    if (fds[0].revents != 0 && ready > 0) {
      return false;
    }
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return true; // the read that follows reports the trouble
    }
  }
}

bool is_readable(int fd) {
  pollfd one{fd, POLLIN, 0};
  return fd >= 0 && poll(&one, 1, 0) > 0;
}

} // namespace

int fw_file_read_all(const char* path, uint8_t* buffer, size_t room, int stop_fd, size_t* length) {
  *length = 0;
  const int fd = open_image(path);
  if (fd < 0) {
    return fw_file_cannot_open;
  }
  int result = fw_file_read;
  while (*length < room) {
    if (!wait_readable(fd, stop_fd)) {
      result = fw_file_stopped;
      break;
    }
    const ssize_t n = read(fd, buffer + *length, room - *length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break; // the end of the file and a read error both just end it
    }
    *length += static_cast<size_t>(n);
  }
  close(fd);
  // A stop that came while the last read ended (the writer gone at the same
  // moment) is a stop too, not a short file.
  return result == fw_file_read && is_readable(stop_fd) ? fw_file_stopped : result;
}
