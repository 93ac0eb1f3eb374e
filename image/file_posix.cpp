#include "file.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

bool is_readable(int fd) {
  pollfd one{fd, POLLIN, 0};
  return fd >= 0 && poll(&one, 1, 0) > 0;
}

} // namespace

// The descriptor stays non-blocking: a pipe or FIFO without a writer then
// reads as its end at once, and one whose writer is slow is waited on in
// poll, beside the stop descriptor.
int fw_file_open(const char* path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

int fw_file_read_all(int fd, uint8_t* buffer, size_t room, int stop_fd, size_t* length) {
  *length = 0;
  while (*length < room) {
    if (is_readable(stop_fd)) {
      return fw_file_stopped;
    }
    const ssize_t n = read(fd, buffer + *length, room - *length);
    if (n > 0) {
      *length += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}; // a negative stop_fd is skipped
      poll(fds, 2, -1); // a signal that ends it early is looked at above
    } else if (n == 0 || errno != EINTR) {
      break; // the end of the file and a read error both just end it
    }
  }
  // A stop that came while the last read ended (the writer gone at the same
  // moment) is a stop too, not a short file.
  return is_readable(stop_fd) ? fw_file_stopped : fw_file_read;
}

void fw_file_close(int fd) { close(fd); }
