// What every fuzz target uses to stop on a broken invariant: a message
// naming the check, then abort(), which both libFuzzer and ctest see as a
// failure.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_failed(const char* check, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, check);
  std::abort();
}

#define FUZZ_CHECK(condition)                                                                                          \
  do {                                                                                                                 \
    if (!(condition)) {                                                                                                \
      fuzz_failed(#condition, __FILE__, __LINE__);                                                                     \
    }                                                                                                                  \
  } while (false)
