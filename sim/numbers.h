// Strict decimal numbers, as the instrument reads them in commands and as the
// configuration gives them: digits only, no sign, no blanks, at most 32 bits.
#pragma once

#include <cstdint>
#include <string_view>

namespace ksim {

inline bool parse_u32(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 20) {
    return false;
  }
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') {
      return false;
    }
    v = v * 10 + uint64_t(c - '0');
    if (v > 0xFFFFFFFFU) {
      return false;
    }
  }
  out = uint32_t(v);
  return true;
}

// A signed 32-bit number: an optional '-' before the digits.
inline bool parse_i32(std::string_view s, int32_t& out) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) {
    s.remove_prefix(1);
  }
  uint32_t magnitude;
  if (!parse_u32(s, magnitude) || magnitude > (negative ? 0x80000000U : 0x7FFFFFFFU)) {
    return false;
  }
  out = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
  return true;
}

inline std::string_view trim(std::string_view s) {
  constexpr std::string_view blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) {
    return {};
  }
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

} // namespace ksim
