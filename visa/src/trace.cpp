// The trace: one line per VISA call, written as the call returns, in the
// format of trace/trace.h.
#include "library.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <files.h> // the simulator's file access, shared with the trace

namespace kesvisa {

namespace {

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t unix_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

} // namespace

trace_line::trace_line() : started_us_(now_us()) { trace_clear(text_); }

void trace_line::add(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char piece[trace_line_room];
  const int n = std::vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  if (n > 0) {
    trace_add(text_, std::string_view(piece, static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1));
  }
}

void trace_line::add_status(ViStatus status) { trace_add_status(text_, status); }

void trace_line::add_text(const char* text) { trace_add_string(text_, text); }

trace_file& trace_file::operator=(trace_file&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    started_us_ = other.started_us_;
    other.fd_ = -1;
  }
  return *this;
}

bool trace_file::open(const std::string& path, const std::string& config_path, std::string& reason) {
  close();
  fd_ = ksim::file_open_append(path.c_str());
  if (fd_ < 0) {
    reason = "cannot write the trace " + path + ": " + std::strerror(errno);
    return false;
  }
  started_us_ = now_us();
  trace_line line;
  trace_session(line.text(), "kesvisa", unix_ms());
  trace_add(line.text(), " config=");
  trace_add_quoted(line.text(), reinterpret_cast<const uint8_t*>(config_path.data()), config_path.size());
  write(line);
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
  const int64_t now = now_us();
  const bool session = line.text().length > 0 && std::strncmp(line.text().data, "session ", 8) == 0;
  trace_text out;
  // Asked for each line, so that a forked child marks its own.
  // The time the call started, and how long it took.
  trace_make_line(out, ksim::process_id(), line.started_us() - started_us_, session ? -1 : now - line.started_us(),
                  line.text());
  // One write to a file opened for appending puts the whole line at its
  // end; a second write for a short one could land after another process's
  // line, so a short write (a full disk) loses the rest of the line, never
  // the call.
  ksim::file_append(fd_, out.data, out.length);
}

} // namespace kesvisa
