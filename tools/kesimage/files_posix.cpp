#include "files.h"

#include "image_make.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

int files_read_body(const char* path, uint8_t* buffer, size_t room, size_t* length) {
  *length = 0;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return body_cannot_open;
  }
  struct stat about {};
  if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    close(fd);
    return body_not_regular;
  }
  int result = body_read;
  while (*length < room) {
    const ssize_t n = read(fd, buffer + *length, room - *length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      result = body_read_failed;
    }
    if (n <= 0) {
      break;
    }
    *length += static_cast<size_t>(n);
  }
  close(fd);
  return result;
}

int files_check_output(const char* image_path, const char* body_path) {
  struct stat output {};
  if (lstat(image_path, &output) != 0) {
    return output_replaceable; // created new; an open that cannot be done says why
  }
  // The body by another name, a link to it too, is told as the body.
  struct stat target {};
  struct stat body {};
  if (stat(image_path, &target) == 0 && stat(body_path, &body) == 0 && body.st_dev == target.st_dev &&
      body.st_ino == target.st_ino) {
    return output_is_body;
  }
  if (S_ISLNK(output.st_mode)) {
    return output_symbolic_link;
  }
  if (!S_ISREG(output.st_mode)) {
    return output_not_regular;
  }
  return output_replaceable;
}

namespace {

void on_signal(int signal) {
  const char* temp = image_temp_file();
  if (temp[0] != '\0') {
    unlink(temp);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

} // namespace

void files_clean_up_on_signals() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, signal);
  }
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before {};
    // A signal ignored when we started (nohup, a background job) stays so.
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
  // A write past the limit then fails with EFBIG and is cleaned up as any
  // failed write is.
  std::signal(SIGXFSZ, SIG_IGN);
}
