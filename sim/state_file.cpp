#include "state_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "memory.h"

namespace ksim {

namespace {

constexpr char magic[8] = {'K', 'E', 'S', 'S', 'I', 'M', 'S', 'T'};
enum : size_t { off_version = 8, off_header_size = 12, off_mode = 16, off_app_mode = 20, off_base = 24, off_size = 28 };

uint32_t get_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = uint8_t(v >> (8 * i));
  }
}

void say(char* err, size_t err_size, const char* format, ...) {
  if ((err == nullptr) || err_size == 0) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::vsnprintf(err, err_size, format, args);
  va_end(args);
}

bool write_all(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data += n;
    length -= size_t(n);
  }
  return true;
}

} // namespace

uint32_t state_view::mode() const { return get_le32(base + off_mode); }
uint32_t state_view::app_mode() const { return get_le32(base + off_app_mode); }
void state_view::set_mode(uint32_t m) { put_le32(base + off_mode, m); }
void state_view::set_app_mode(uint32_t app_mode) { put_le32(base + off_app_mode, app_mode); }

size_t state_total_size() { return state_header_size + flash_size; }

void state_init(uint8_t* image, uint32_t mode, uint32_t app_mode) {
  std::memset(image, 0, state_header_size);
  std::memcpy(image, magic, sizeof magic);
  put_le32(image + off_version, state_version);
  put_le32(image + off_header_size, state_header_size);
  put_le32(image + off_mode, mode);
  put_le32(image + off_app_mode, app_mode);
  put_le32(image + off_base, flash_base);
  put_le32(image + off_size, flash_size);
  flash_factory(image + state_header_size);
}

int load_image_file(const char* path, uint8_t* flash, char* err, size_t err_size) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    say(err, err_size, "flash_image %s: %s", path, std::strerror(errno));
    return 2;
  }
  // One byte more than fits tells a file that is too large.
  static_assert(firmware_area_size < flash_size);
  size_t n = std::fread(flash, 1, firmware_area_size + 1, f);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    say(err, err_size, "flash_image %s: read error", path);
    return 2;
  }
  if (n > firmware_area_size) {
    flash_factory(flash);
    say(err, err_size, "flash_image %s: larger than the firmware area (%u bytes)", path, unsigned(firmware_area_size));
    return 2;
  }
  return 0;
}

int state_create(const char* path, const uint8_t* image, char* err, size_t err_size) {
  struct stat st;
  if (::stat(path, &st) == 0) {
    say(err, err_size, "state %s: already exists", path);
    return 1;
  }
  char temp[4096];
  if (std::snprintf(temp, sizeof temp, "%s.new.%ld", path, long(::getpid())) >= int(sizeof temp)) {
    say(err, err_size, "state %s: path too long", path);
    return 2;
  }
  int fd = ::open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    say(err, err_size, "state %s: %s", temp, std::strerror(errno));
    return 2;
  }
  bool ok = write_all(fd, image, state_total_size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    say(err, err_size, "state %s: cannot write: %s", temp, std::strerror(errno));
    ::unlink(temp);
    return 2;
  }
  // link() does not replace an existing file: if another process created the
  // state in the meantime, its state stands.
  int rc = 0;
  if (::link(temp, path) != 0) {
    if (errno == EEXIST) {
      say(err, err_size, "state %s: already exists", path);
      rc = 1;
    } else {
      say(err, err_size, "state %s: %s", path, std::strerror(errno));
      rc = 2;
    }
  }
  ::unlink(temp);
  return rc;
}

int state_open(const char* path, state_view& view, char* err, size_t err_size) {
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    say(err, err_size, "state %s: %s", path, std::strerror(e));
    return e == ENOENT ? 1 : 2;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) != state_total_size()) {
    ::close(fd);
    say(err, err_size, "state %s: not a simulator state file (wrong size)", path);
    return 2;
  }
  void* p = ::mmap(nullptr, state_total_size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) {
    say(err, err_size, "state %s: cannot map: %s", path, std::strerror(errno));
    return 2;
  }
  const auto* b = static_cast<const uint8_t*>(p);
  const char* problem = nullptr;
  if (std::memcmp(b, magic, sizeof magic) != 0) {
    problem = "not a simulator state file (bad magic)";
  } else if (get_le32(b + off_version) != state_version) {
    problem = "unsupported state file version";
  } else if (get_le32(b + off_header_size) != state_header_size || get_le32(b + off_base) != flash_base ||
             get_le32(b + off_size) != flash_size) {
    problem = "state file header does not match this instrument";
  } else if (get_le32(b + off_mode) > 3) {
    problem = "state file holds a mode outside 0..3";
  } else if (get_le32(b + off_app_mode) < 1 || get_le32(b + off_app_mode) > 3) {
    problem = "state file holds an application mode outside 1..3";
  }
  if (problem != nullptr) {
    ::munmap(p, state_total_size());
    say(err, err_size, "state %s: %s", path, problem);
    return 2;
  }
  view.base = static_cast<uint8_t*>(p);
  view.size = state_total_size();
  view.mapped = true;
  return 0;
}

void state_close(state_view& view) {
  if (view.mapped && (view.base != nullptr)) {
    ::munmap(view.base, view.size);
  }
  view = state_view{};
}

} // namespace ksim
