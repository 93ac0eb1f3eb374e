// Status values as the configuration writes them.
#include "library.h"

#include <charconv>

namespace kesvisa {

namespace {

struct status_name {
  const char* name;
  ViStatus status;
};

constexpr status_name status_names[] = {
    {"VI_SUCCESS", VI_SUCCESS},
    {"VI_SUCCESS_MAX_CNT", VI_SUCCESS_MAX_CNT},
    {"VI_ERROR_SYSTEM_ERROR", VI_ERROR_SYSTEM_ERROR},
    {"VI_ERROR_INV_OBJECT", VI_ERROR_INV_OBJECT},
    {"VI_ERROR_RSRC_NFOUND", VI_ERROR_RSRC_NFOUND},
    {"VI_ERROR_INV_RSRC_NAME", VI_ERROR_INV_RSRC_NAME},
    {"VI_ERROR_TMO", VI_ERROR_TMO},
    {"VI_ERROR_NSUP_ATTR", VI_ERROR_NSUP_ATTR},
    {"VI_ERROR_NSUP_ATTR_STATE", VI_ERROR_NSUP_ATTR_STATE},
    {"VI_ERROR_INV_SETUP", VI_ERROR_INV_SETUP},
    {"VI_ERROR_ALLOC", VI_ERROR_ALLOC},
    {"VI_ERROR_IO", VI_ERROR_IO},
    {"VI_ERROR_NSUP_OPER", VI_ERROR_NSUP_OPER},
    {"VI_ERROR_USER_BUF", VI_ERROR_USER_BUF},
    {"VI_ERROR_CONN_LOST", VI_ERROR_CONN_LOST},
};

} // namespace

// Decimal may be signed (-1073807298) or not (3221159998); hexadecimal is the
// status's 32 bits (0xBFFF003E). Anything outside 32 bits is refused.
std::optional<ViStatus> parse_status(std::string_view text) {
  for (const auto& entry : status_names) {
    if (text == entry.name) {
      return entry.status;
    }
  }
  int base = 10;
  bool negative = false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') {
    return std::nullopt;
  }
  uint64_t magnitude = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, magnitude, base);
  if (error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  if (negative ? magnitude > 0x80000000ULL : magnitude > 0xFFFFFFFFULL) {
    return std::nullopt;
  }
  const uint32_t bits = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
  return static_cast<ViStatus>(bits);
}

} // namespace kesvisa
