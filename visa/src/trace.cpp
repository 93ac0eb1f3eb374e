// The trace: one line per VISA call, written as the call returns.
#include "library.h"

#include <crc32.h> // the instrument's CRC-32, also used to summarise data in the trace

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <files.h> // the simulator's file access, shared with the trace

namespace kesvisa {

namespace {

constexpr size_t quoted_max = 100; // longer data are shown by count and CRC

bool shows_as_text(uint8_t byte) {
  return (byte >= 0x20 && byte <= 0x7E) || byte == '\n' || byte == '\r' || byte == '\t';
}

} // namespace

void trace_line::put(char c) {
  if (length_ < sizeof buffer_ - 1) {
    buffer_[length_++] = c;
  }
}

void trace_line::add(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t room = sizeof buffer_ - 1 - length_;
  const int n = std::vsnprintf(buffer_ + length_, room + 1, format, args);
  va_end(args);
  if (n > 0) {
    length_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
  }
}

void trace_line::add_status(ViStatus status) { add("0x%08X", static_cast<unsigned>(static_cast<uint32_t>(status))); }

void trace_line::put_escaped(uint8_t byte) {
  switch (byte) {
  case '\n':
    put('\\');
    put('n');
    return;
  case '\r':
    put('\\');
    put('r');
    return;
  case '\t':
    put('\\');
    put('t');
    return;
  case '\\':
    put('\\');
    put('\\');
    return;
  case '"':
    put('\\');
    put('"');
    return;
  default:
    break;
  }
  if (byte >= 0x20 && byte <= 0x7E) {
    put(static_cast<char>(byte));
  } else {
    add("\\x%02X", static_cast<unsigned>(byte));
  }
}

void trace_line::add_data(const uint8_t* data, size_t length) {
  bool text = length <= quoted_max;
  for (size_t i = 0; text && i < length; ++i) {
    text = shows_as_text(data[i]);
  }
  if (!text) {
    add("[%u bytes crc=0x%08X]", static_cast<unsigned>(length), static_cast<unsigned>(ksim::crc32(data, length)));
    return;
  }
  put('"');
  for (size_t i = 0; i < length; ++i) {
    put_escaped(data[i]);
  }
  put('"');
}

void trace_line::add_text(const char* text) {
  if (text == nullptr) {
    add("NULL");
    return;
  }
  const size_t length = std::strlen(text);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  if (length > quoted_max) {
    add("[%u bytes crc=0x%08X]", static_cast<unsigned>(length), static_cast<unsigned>(ksim::crc32(bytes, length)));
    return;
  }
  put('"');
  for (size_t i = 0; i < length; ++i) {
    put_escaped(bytes[i]);
  }
  put('"');
}

void trace_line::end() {
  if (length_ > sizeof buffer_ - 2) {
    length_ = sizeof buffer_ - 2;
  }
  buffer_[length_++] = '\n';
  buffer_[length_] = '\0';
}

trace_file& trace_file::operator=(trace_file&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool trace_file::open(const std::string& path, std::string& reason) {
  close();
  fd_ = ksim::file_open_append(path.c_str());
  if (fd_ < 0) {
    reason = "cannot write the trace " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void trace_file::close() {
  if (fd_ >= 0) {
    ksim::file_close(fd_);
    fd_ = -1;
  }
}

void trace_file::write(trace_line& line) {
  if (fd_ < 0) {
    return;
  }
  line.end();
  // The process id marks the line: processes may share the file. Asked for
  // each line, so that a forked child marks its own.
  char out[32 + trace_line::capacity];
  const int mark = std::snprintf(out, 32, "%ld ", ksim::process_id());
  if (mark <= 0 || static_cast<size_t>(mark) + line.size() > sizeof out) {
    return;
  }
  std::memcpy(out + mark, line.data(), line.size());
  const size_t length = static_cast<size_t>(mark) + line.size();
  // One write to a file opened for appending puts the whole line at its
  // end; a second write for a short one could land after another process's
  // line, so a short write (a full disk) loses the rest of the line, never
  // the call.
  ksim::file_append(fd_, out, length);
}

} // namespace kesvisa
