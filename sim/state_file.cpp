#include "state_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "crc32.h"
#include "files.h"
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
    const long n = file_write(fd, data, length);
    if (n <= 0) {
      return false;
    }
    data += n;
    length -= size_t(n);
  }
  return true;
}

bool read_all(int fd, size_t at, uint8_t* out, size_t length, int& error) {
  while (length > 0) {
    const long n = file_read_at(fd, out, length, at);
    if (n <= 0) {
      error = n < 0 ? errno : 0; // 0: the file ends too soon
      return false;
    }
    out += n;
    at += size_t(n);
    length -= size_t(n);
  }
  return true;
}

// What is wrong with a state header, or nullptr.
const char* header_problem(const uint8_t* b) {
  if (std::memcmp(b, magic, sizeof magic) != 0) {
    return "not a simulator state file (bad magic)";
  }
  if (get_le32(b + off_version) != state_version) {
    return "unsupported state file version";
  }
  if (get_le32(b + off_header_size) != state_header_size || get_le32(b + off_base) != flash_base ||
      get_le32(b + off_size) != flash_size) {
    return "state file header does not match this instrument";
  }
  if (get_le32(b + off_mode) > 3) {
    return "state file holds a mode outside 0..3";
  }
  if (get_le32(b + off_app_mode) < 1 || get_le32(b + off_app_mode) > 3) {
    return "state file holds an application mode outside 1..3";
  }
  return nullptr;
}

// Reading and writing a file go in chunks of this size.
constexpr size_t chunk_size = sector_size;

} // namespace

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
  // Opened without waiting, and only a regular file read: a FIFO nobody
  // writes would hang the open or the read for ever.
  const int fd = file_open(path, false);
  if (fd < 0) {
    say(err, err_size, "flash_image %s: %s", path, std::strerror(errno));
    return 2;
  }
  uint64_t size = 0;
  if (!file_regular(fd, size)) {
    file_close(fd);
    say(err, err_size, "flash_image %s: not a regular file", path);
    return 2;
  }
  // One byte more than fits tells a file that is too large.
  static_assert(firmware_area_size < flash_size);
  size_t n = 0;
  long got = 0;
  while (n < firmware_area_size + 1 && (got = file_read_at(fd, flash + n, firmware_area_size + 1 - n, n)) > 0) {
    n += size_t(got);
  }
  file_close(fd);
  if (got < 0) {
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
  if (file_exists(path)) {
    say(err, err_size, "state %s: already exists", path);
    return 1;
  }
  char temp[4096];
  if (std::snprintf(temp, sizeof temp, "%s.new.%ld", path, process_id()) >= int(sizeof temp)) {
    say(err, err_size, "state %s: path too long", path);
    return 2;
  }
  int fd = file_create_new(temp);
  if (fd < 0) {
    say(err, err_size, "state %s: cannot create %s: %s", path, temp, std::strerror(errno));
    return 2;
  }
  // Reserve every block before writing any, so that a full disk refuses the
  // state now rather than failing a write in the middle of an update.
  if (int e = file_reserve(fd, state_total_size())) {
    file_close(fd);
    file_remove(temp);
    say(err, err_size, "state %s: cannot reserve %zu bytes: %s", path, state_total_size(), std::strerror(e));
    return 2;
  }
  bool ok = write_all(fd, image, state_total_size()) && file_sync(fd) == 0;
  int e = errno;
  ok = (file_close(fd) == 0) && ok;
  if (!ok) {
    file_remove(temp);
    say(err, err_size, "state %s: cannot write: %s", path, std::strerror(e != 0 ? e : errno));
    return 2;
  }
  // If another process created the state in the meantime, its state stands.
  if (const int published = file_publish(temp, path)) {
    say(err, err_size, "state %s: %s", path, published == EEXIST ? "already exists" : std::strerror(published));
    return published == EEXIST ? 1 : 2;
  }
  return 0;
}

int state_store::open(const char* path, bool writable, char* err, size_t err_size) {
  close();
  // O_NONBLOCK: a FIFO in place of the file must not hang the open.
  int fd = file_open(path, writable);
  if (fd < 0) {
    int e = errno;
    say(err, err_size, "state %s: %s", path, std::strerror(e));
    return e == ENOENT ? 1 : 2;
  }
  uint64_t size = 0;
  uint8_t header[state_header_size];
  int e = 0;
  const char* problem = nullptr;
  if (!file_regular(fd, size)) {
    problem = "not a regular file";
  } else if (size != state_total_size()) {
    say(err, err_size, "state %s: wrong size: %llu bytes where a state file has %zu", path,
        static_cast<unsigned long long>(size), state_total_size());
    file_close(fd);
    return 2;
  } else if (!read_all(fd, 0, header, sizeof header, e)) {
    problem = e != 0 ? std::strerror(e) : "cut short while being opened";
  } else {
    problem = header_problem(header);
  }
  if (problem != nullptr) {
    file_close(fd);
    say(err, err_size, "state %s: %s", path, problem);
    return 2;
  }
  fd_ = fd;
  watch_ = file_watch_open(path);
  path_ = path;
  scratch_.assign(chunk_size, 0);
  return 0;
}

void state_store::hold(std::vector<uint8_t> image) {
  close();
  memory_ = std::move(image);
}

void state_store::close() {
  if (fd_ >= 0) {
    file_close(fd_);
  }
  file_watch_close(watch_);
  fd_ = -1;
  watch_ = -1;
  path_.clear();
  memory_.clear();
  scratch_.clear();
  failed_ = false;
  reason_[0] = '\0';
}

bool state_store::fail(const char* what, int error) const {
  if (!failed_) {
    failed_ = true;
    if (error != 0) {
      std::snprintf(reason_, sizeof reason_, "state %s: %s: %s", path_.c_str(), what, std::strerror(error));
    } else {
      std::snprintf(reason_, sizeof reason_, "state %s: %s", path_.c_str(), what);
    }
  }
  return false;
}

// Whether the file is still a whole, sound state. Another process may have
// removed it, put another file in its place, cut it short or written over
// it since the last access.
bool state_store::usable() const {
  if (failed_) {
    return false;
  }
  if (fd_ < 0) {
    return !memory_.empty() || fail("no state");
  }
  switch (file_name_now(fd_, watch_, path_.c_str())) {
  case file_name::removed:
    return fail("removed while in use");
  case file_name::replaced:
    return fail("replaced by another file while in use");
  default:
    break;
  }
  uint64_t size = 0;
  errno = 0;
  if (!file_regular(fd_, size) && errno != 0) {
    return fail("cannot look at the file", errno);
  }
  if (size != state_total_size()) {
    char what[128];
    std::snprintf(what, sizeof what, "changed size to %llu bytes while in use (a state file has %zu)",
                  static_cast<unsigned long long>(size), state_total_size());
    return fail(what);
  }
  uint8_t header[state_header_size];
  if (!read_at(0, header, sizeof header)) {
    return false;
  }
  if (const char* problem = header_problem(header)) {
    char what[128];
    std::snprintf(what, sizeof what, "%s (changed while in use)", problem);
    return fail(what);
  }
  return true;
}

bool state_store::read_at(size_t at, uint8_t* out, size_t length) const {
  if (fd_ < 0) {
    std::memcpy(out, memory_.data() + at, length);
    return true;
  }
  int e = 0;
  if (!read_all(fd_, at, out, length, e)) {
    return e != 0 ? fail("cannot read", e) : fail("cut short while in use");
  }
  return true;
}

bool state_store::write_at(size_t at, const uint8_t* data, size_t length) {
  if (fd_ < 0) {
    std::memcpy(memory_.data() + at, data, length);
    return true;
  }
  while (length > 0) {
    const long n = file_write_at(fd_, data, length, at);
    if (n <= 0) {
      return fail("cannot write", n < 0 ? errno : EIO);
    }
    data += n;
    at += size_t(n);
    length -= size_t(n);
  }
  return true;
}

bool state_store::modes(uint32_t& mode, uint32_t& app_mode) const {
  uint8_t header[state_header_size];
  if (!usable() || !read_at(0, header, sizeof header)) {
    return false;
  }
  mode = get_le32(header + off_mode);
  app_mode = get_le32(header + off_app_mode);
  return true;
}

bool state_store::set_word(size_t at, uint32_t value) {
  uint8_t word[4];
  put_le32(word, value);
  return usable() && write_at(at, word, sizeof word);
}

bool state_store::set_mode(uint32_t mode) { return set_word(off_mode, mode); }
bool state_store::set_app_mode(uint32_t app_mode) { return set_word(off_app_mode, app_mode); }

bool state_store::read(uint32_t offset, uint8_t* out, size_t length) const {
  if (size_t(offset) + length > flash_size) {
    return fail("access outside the flash");
  }
  return usable() && read_at(state_header_size + offset, out, length);
}

bool state_store::write(uint32_t offset, const uint8_t* data, size_t length) {
  if (size_t(offset) + length > flash_size) {
    return fail("access outside the flash");
  }
  return usable() && write_at(state_header_size + offset, data, length);
}

bool state_store::fill(uint32_t offset, uint8_t value, size_t length) {
  if (size_t(offset) + length > flash_size) {
    return fail("access outside the flash");
  }
  if (!usable()) {
    return false;
  }
  if (fd_ < 0) {
    std::memset(memory_.data() + state_header_size + offset, value, length);
    return true;
  }
  std::memset(scratch_.data(), value, scratch_.size());
  for (size_t done = 0; done < length;) {
    size_t n = std::min(scratch_.size(), length - done);
    if (!write_at(state_header_size + offset + done, scratch_.data(), n)) {
      return false;
    }
    done += n;
  }
  return true;
}

bool state_store::crc(uint32_t offset, size_t length, uint32_t& out) const {
  if (size_t(offset) + length > flash_size) {
    return fail("access outside the flash");
  }
  if (!usable()) {
    return false;
  }
  if (fd_ < 0) {
    out = crc32(memory_.data() + state_header_size + offset, length);
    return true;
  }
  uint32_t c = 0;
  for (size_t done = 0; done < length;) {
    size_t n = std::min(scratch_.size(), length - done);
    if (!read_at(state_header_size + offset + done, scratch_.data(), n)) {
      return false;
    }
    c = crc32(scratch_.data(), n, c);
    done += n;
  }
  out = c;
  return true;
}

bool state_store::erased(uint32_t offset, size_t length, bool& out) const {
  if (size_t(offset) + length > flash_size) {
    return fail("access outside the flash");
  }
  if (!usable()) {
    return false;
  }
  const uint8_t* p = fd_ < 0 ? memory_.data() + state_header_size + offset : nullptr;
  for (size_t done = 0; done < length;) {
    size_t n = fd_ < 0 ? length : std::min(scratch_.size(), length - done);
    if (fd_ >= 0) {
      if (!read_at(state_header_size + offset + done, scratch_.data(), n)) {
        return false;
      }
      p = scratch_.data();
    }
    for (size_t i = 0; i < n; ++i) {
      if (p[i] != 0xFF) {
        out = false;
        return true;
      }
    }
    done += n;
  }
  out = true;
  return true;
}

} // namespace ksim
