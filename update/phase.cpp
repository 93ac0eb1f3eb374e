#include "phase.h"

#include "link.h"
#include "update.h"

#include <cstdarg>
#include <cstdio>

void phase_progress(const char* format, ...) {
  if (!verbose) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  // Out now, not when the buffer fills: a pipe to a log would hold the line
  // through the pause that follows it, and lose it if the run is killed there.
  std::fflush(stdout);
}

void phase_dot() {
  if (verbose) {
    std::fputs(".", stdout);
    std::fflush(stdout);
  }
}

int32_t phase_read_code(const char* failure_format) {
  int32_t code = 0;
  if (gpib_int32(&code) != 0) {
    return 1;
  }
  if (code != 0) {
    report_error(failure_format, code);
    return 2;
  }
  return 0;
}

int32_t phase_check_crc(uint32_t stored_at, uint32_t start, uint32_t length, uint32_t file_word, const char* failure) {
  uint32_t stored = 0;
  uint32_t calculated = 0;
  gpib_send_format(cmd_read_word, stored_at);
  if (gpib_uint32(&stored) != 0) {
    return 1;
  }
  gpib_send_format(cmd_crc, start, length);
  if (gpib_uint32(&calculated) != 0) {
    return 1;
  }
  // A stored word that disagrees with the instrument's CRC is reported as
  // such; one that agrees but is not this file's belongs to another image.
  const uint32_t expected = stored != calculated ? stored : file_word;
  if (expected != calculated) {
    report_error("%s    Expected CRC: 0x%08X\n  Calculated CRC: 0x%08X\n", failure, expected, calculated);
    return 2;
  }
  return 0;
}
