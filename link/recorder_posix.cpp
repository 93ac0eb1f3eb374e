// The recording's file, clocks and environment on POSIX.
#include "recorder.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void say(int error, char* reason, size_t room) { std::snprintf(reason, room, "%s", std::strerror(error)); }

} // namespace

const char* recorder_variable() {
  const char* path = std::getenv("KESLOAD_TRACE");
  return path != nullptr && path[0] != '\0' ? path : nullptr;
}

intptr_t recorder_file_open(const char* path, char* reason, size_t room) {
  // Not blocking: a FIFO in its place must not hang the run.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    say(errno, reason, room);
    return -1;
  }
  struct stat about {};
  if (::fstat(fd, &about) == 0 && S_ISDIR(about.st_mode)) {
    ::close(fd);
    say(EISDIR, reason, room);
    return -1;
  }
  // A file size limit makes a write fail (EFBIG) instead of ending the run:
  // a full trace never stops an update halfway.
  std::signal(SIGXFSZ, SIG_IGN);
  // A line cut short (a full disk, a power cut) is not continued by this
  // session's first line.
  const int reader = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  char last = '\n';
  if (reader >= 0) {
    if (::fstat(reader, &about) == 0 && S_ISREG(about.st_mode) && about.st_size > 0 &&
        ::pread(reader, &last, 1, about.st_size - 1) == 1 && last != '\n') {
      [[maybe_unused]] const ssize_t ended = ::write(fd, "\n", 1);
    }
    ::close(reader);
  }
  return fd;
}

bool recorder_file_append(intptr_t file, const char* data, size_t length, char* reason, size_t room) {
  // One write; a short one (the disk filled up under it) is followed by one
  // more for the rest, which tells why.
  for (int tries = 0; tries < 2 && length > 0; ++tries) {
    ssize_t n = 0;
    do {
      n = ::write(static_cast<int>(file), data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      say(errno, reason, room);
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  if (length > 0) {
    say(ENOSPC, reason, room);
    return false;
  }
  return true;
}

void recorder_file_close(intptr_t file) { ::close(static_cast<int>(file)); }

int64_t recorder_clock_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t recorder_unix_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long recorder_process_id() { return static_cast<long>(::getpid()); }
