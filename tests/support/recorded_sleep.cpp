// A pause that only records its length, linked into test programs in place
// of the real one. With KESLOAD_TEST_SLEEP_LOG set (test programs only; the
// shipped kesload has no such seam), each pause is also appended to that file
// as "sleep N" lines.
#include "recorded_sleep.h"

#include "link.h"

#include <cstdio>
#include <cstdlib>

std::vector<uint32_t> recorded_sleeps;

void sleep_ms(uint32_t milliseconds) {
  recorded_sleeps.push_back(milliseconds);
  if (const char* log = std::getenv("KESLOAD_TEST_SLEEP_LOG")) {
    if (std::FILE* file = std::fopen(log, "ab")) {
      std::fprintf(file, "sleep %u\n", milliseconds);
      std::fclose(file);
    }
  }
}
