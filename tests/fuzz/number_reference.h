// The readers' number syntax, worked out a second way: through the C
// library's own strtoull and strtoll on 64 bits, then brought to 32 bits
// the way the readers saturate. The fuzz targets hold the readers to it.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

static_assert(sizeof(long long) == 8, "the reference needs a 64-bit long long");

namespace number_reference {

inline bool c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A newer C library reads "0b101" as binary under base 0; the readers do
// not (the 0 is an octal number, the b ends it), so neither may the
// reference.
inline bool binary_prefix(const char* text) {
  while (c_space(*text)) {
    ++text;
  }
  if (*text == '+' || *text == '-') {
    ++text;
  }
  return text[0] == '0' && (text[1] == 'b' || text[1] == 'B');
}

// Unsigned: a magnitude beyond 32 bits reads as 4294967295, and a minus sign
// then negates that in 32 bits.
inline uint32_t to_uint32(const char* text) {
  if (binary_prefix(text)) {
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long converted = std::strtoull(text, &end, 0);
  const bool beyond_64_bits = errno == ERANGE;
  if (end == text) {
    return 0;
  }
  const char* sign = text;
  while (c_space(*sign)) {
    ++sign;
  }
  const bool negative = *sign == '-';
  // strtoull hands back the negated magnitude for "-n"; undo that.
  const unsigned long long magnitude = beyond_64_bits ? ULLONG_MAX : negative ? 0ULL - converted : converted;
  const uint32_t saturated = magnitude > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(magnitude);
  return negative ? 0U - saturated : saturated;
}

// Signed: strtoll already saturates at 64 bits; 32 bits only narrows that.
inline int32_t to_int32(const char* text) {
  if (binary_prefix(text)) {
    return 0;
  }
  errno = 0;
  const long long converted = std::strtoll(text, nullptr, 0);
  if (converted > INT32_MAX) {
    return INT32_MAX;
  }
  if (converted < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(converted);
}

} // namespace number_reference
