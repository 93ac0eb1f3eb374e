#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

namespace ksim {

int file_open(const char* path, bool writable) {
  return ::open(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

int file_create_new(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); }

int file_open_append(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }

bool file_regular(int fd, uint64_t& size) {
  struct stat about {};
  if (::fstat(fd, &about) != 0) {
    return false;
  }
  size = uint64_t(about.st_size);
  return S_ISREG(about.st_mode);
}

long file_read_at(int fd, void* out, size_t length, uint64_t at) {
  ssize_t n = 0;
  do {
    n = ::pread(fd, out, length, off_t(at));
  } while (n < 0 && errno == EINTR);
  return long(n);
}

long file_write_at(int fd, const void* data, size_t length, uint64_t at) {
  ssize_t n = 0;
  do {
    n = ::pwrite(fd, data, length, off_t(at));
  } while (n < 0 && errno == EINTR);
  return long(n);
}

long file_write(int fd, const void* data, size_t length) {
  ssize_t n = 0;
  do {
    n = ::write(fd, data, length);
  } while (n < 0 && errno == EINTR);
  return long(n);
}

// O_APPEND: each write goes to the end as one piece.
long file_append(int fd, const void* data, size_t length) { return file_write(fd, data, length); }

int file_reserve(int fd, uint64_t size) { return ::posix_fallocate(fd, 0, off_t(size)); }

int file_sync(int fd) { return ::fsync(fd); }

int file_close(int fd) { return ::close(fd); }

// link() never replaces what is there: a state another process created in
// the meantime stands.
int file_publish(const char* temp, const char* path) {
  const int e = ::link(temp, path) == 0 ? 0 : errno;
  ::unlink(temp);
  return e;
}

bool file_exists(const char* path) {
  struct stat about {};
  return ::stat(path, &about) == 0;
}

void file_remove(const char* path) { ::unlink(path); }

// The folder, held open: its entry for the name is looked up there, not
// through a relative path that a later change of folder would send elsewhere.
int file_watch_open(const char* path) {
  const std::string_view whole(path);
  const size_t folder = path_folder_length(whole);
  const std::string name = folder == 0 ? std::string(".") : std::string(whole.substr(0, folder));
  return ::open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void file_watch_close(int watch) {
  if (watch >= 0) {
    ::close(watch);
  }
}

file_name file_name_now(int fd, int watch, const char* path) {
  struct stat held {};
  struct stat named {};
  if (watch < 0 || ::fstat(fd, &held) != 0) {
    return file_name::same;
  }
  if (::fstatat(watch, path + path_folder_length(path), &named, 0) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? file_name::removed : file_name::same;
  }
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino ? file_name::same : file_name::replaced;
}

namespace {

// One byte far beyond any data. Locks of open file descriptions: one per
// opening (so two sessions of one process exclude each other too), dropped
// when its last descriptor closes or the process dies, and open to a
// question that takes nothing.
struct flock lock_request(short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = off_t(1) << 62;
  request.l_len = 1;
  return request;
}

} // namespace

file_lock file_lock_try(int fd) {
  struct flock request = lock_request(F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &request) == 0) {
    return file_lock::taken;
  }
  return errno == EAGAIN || errno == EACCES ? file_lock::busy : file_lock::failed;
}

void file_lock_release(int fd) {
  struct flock request = lock_request(F_UNLCK);
  ::fcntl(fd, F_OFD_SETLK, &request);
}

int file_lock_held_elsewhere(int fd) {
  struct flock request = lock_request(F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &request) != 0) {
    return -1;
  }
  return request.l_type != F_UNLCK ? 1 : 0;
}

long process_id() { return long(::getpid()); }

const char* process_variable(const char* name) { return std::getenv(name); }

bool path_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

size_t path_folder_length(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

} // namespace ksim
