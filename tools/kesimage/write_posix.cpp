// Writes an image file in place of another, whole or not at all.
#include "image_make.h"

#include "image.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

namespace {

// The temporary file while it exists, for a signal handler to remove, and
// the folder it is made in.
std::array<char, PATH_MAX> temp{};
std::array<char, PATH_MAX> folder{};
volatile std::sig_atomic_t temp_exists = 0;

// Signals that end the process wait while the temporary file comes and
// goes, so that the handler always knows whether there is one.
sigset_t hold_signals() {
  sigset_t held;
  sigset_t before;
  sigemptyset(&held);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&held, signal);
  }
  sigprocmask(SIG_BLOCK, &held, &before);
  return before;
}

void release_signals(const sigset_t& before) { sigprocmask(SIG_SETMASK, &before, nullptr); }

int create_temp() {
  const sigset_t before = hold_signals();
  const int fd = mkstemp(temp.data());
  temp_exists = fd >= 0 ? 1 : 0;
  release_signals(before);
  return fd;
}

// Renamed into place (or not); removed when it was not.
bool place_temp(const char* path) {
  const sigset_t before = hold_signals();
  const bool placed = std::rename(temp.data(), path) == 0;
  const int error = errno;
  if (!placed) {
    unlink(temp.data());
  }
  temp_exists = 0;
  release_signals(before);
  errno = error;
  return placed;
}

void remove_temp() {
  const sigset_t before = hold_signals();
  unlink(temp.data());
  temp_exists = 0;
  release_signals(before);
}

} // namespace

const char* image_temp_file() { return temp_exists != 0 ? temp.data() : ""; }

const char* image_write_folder() { return folder.data(); }

int image_write_file(const char* path, const uint8_t* header, const uint8_t* body, uint32_t body_length) {
  // Written beside the target and renamed into place, so that a write that
  // fails (a full disk) never leaves a truncated image behind, nor spoils the
  // one that was there.
  // The temporary name is the image's, cut short where the suffix would
  // take it past the longest name a folder holds.
  const char* slash = std::strrchr(path, '/');
  const size_t name_at = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
  constexpr int name_room = NAME_MAX - static_cast<int>(sizeof ".XXXXXX" - 1);
  const int length = std::snprintf(temp.data(), temp.size(), "%.*s%.*s.XXXXXX", static_cast<int>(name_at), path,
                                   name_room, path + name_at);
  if (name_at == 0) {
    std::snprintf(folder.data(), folder.size(), ".");
  } else {
    std::snprintf(folder.data(), folder.size(), "%.*s", static_cast<int>(name_at > 1 ? name_at - 1 : 1), path);
  }
  if (length < 0 || static_cast<size_t>(length) >= temp.size()) {
    errno = ENAMETOOLONG;
    return image_not_written;
  }
  const int fd = create_temp();
  if (fd < 0) {
    return image_folder_refused;
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
    return place_temp(path) ? image_written : image_not_written;
  }
  remove_temp();
  errno = error;
  return image_not_written;
}
