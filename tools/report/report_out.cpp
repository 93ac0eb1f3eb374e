// Reports on standard output, and whether they arrived.
#include "report_out.h"

#include "platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int lost = 0; // the first failure's errno

void note_failure() {
  if (lost == 0) {
    lost = errno != 0 ? errno : EIO;
  }
}

} // namespace

void report_start(bool output_missing) {
  platform_ignore_broken_pipe();
  if (output_missing) {
    lost = EBADF;
  }
}

void report_out(const char* format, ...) {
  errno = 0;
  va_list args;
  va_start(args, format);
  const int written = std::vfprintf(stdout, format, args);
  va_end(args);
  if (written < 0 || std::fflush(stdout) != 0) {
    note_failure();
  }
}

int report_finish(const char* program, int status) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    note_failure();
  }
  if (lost == 0) {
    return status;
  }
  std::fprintf(stderr, "%s: can't write the report: %s\n", program, std::strerror(lost));
  return 1;
}
