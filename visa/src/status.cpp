// Status values as the configuration writes them.
#include "library.h"
#include "replay.h"

#include <charconv>
#include <cstdio>

namespace kesvisa {

namespace {

struct status_name {
  const char* name;
  ViStatus status;
  const char* description;
};

constexpr status_name status_names[] = {
    {"VI_SUCCESS", VI_SUCCESS, "The operation completed successfully."},
    {"VI_SUCCESS_EVENT_EN", VI_SUCCESS_EVENT_EN, "The event was already enabled."},
    {"VI_SUCCESS_EVENT_DIS", VI_SUCCESS_EVENT_DIS, "The event was already disabled."},
    {"VI_SUCCESS_QUEUE_EMPTY", VI_SUCCESS_QUEUE_EMPTY, "The event queue was already empty."},
    {"VI_SUCCESS_TERM_CHAR", VI_SUCCESS_TERM_CHAR, "The read ended at the termination character."},
    {"VI_SUCCESS_MAX_CNT", VI_SUCCESS_MAX_CNT, "The read filled the buffer; more data may follow."},
    {"VI_WARN_NULL_OBJECT", VI_WARN_NULL_OBJECT, "The object to close was VI_NULL."},
    {"VI_WARN_UNKNOWN_STATUS", VI_WARN_UNKNOWN_STATUS, "The status value is not known."},
    {"VI_ERROR_SYSTEM_ERROR", VI_ERROR_SYSTEM_ERROR, "An error occurred in the VISA library itself."},
    {"VI_ERROR_INV_OBJECT", VI_ERROR_INV_OBJECT, "The session or object is not valid."},
    {"VI_ERROR_RSRC_LOCKED", VI_ERROR_RSRC_LOCKED, "The resource is locked by another session."},
    {"VI_ERROR_INV_EXPR", VI_ERROR_INV_EXPR, "The search expression is not valid."},
    {"VI_ERROR_RSRC_NFOUND", VI_ERROR_RSRC_NFOUND, "No such resource is present."},
    {"VI_ERROR_INV_RSRC_NAME", VI_ERROR_INV_RSRC_NAME, "The resource name is not valid."},
    {"VI_ERROR_INV_ACC_MODE", VI_ERROR_INV_ACC_MODE, "The access mode is not valid."},
    {"VI_ERROR_TMO", VI_ERROR_TMO, "The timeout expired before the operation completed."},
    {"VI_ERROR_CLOSING_FAILED", VI_ERROR_CLOSING_FAILED, "The session could not be closed."},
    {"VI_ERROR_NSUP_ATTR", VI_ERROR_NSUP_ATTR, "The attribute is not supported by this object."},
    {"VI_ERROR_NSUP_ATTR_STATE", VI_ERROR_NSUP_ATTR_STATE, "The attribute does not take this value."},
    {"VI_ERROR_ATTR_READONLY", VI_ERROR_ATTR_READONLY, "The attribute can be read but not set."},
    {"VI_ERROR_INV_EVENT", VI_ERROR_INV_EVENT, "The event type is not valid."},
    {"VI_ERROR_INV_MECH", VI_ERROR_INV_MECH, "The event mechanism is not valid."},
    {"VI_ERROR_ABORT", VI_ERROR_ABORT, "The operation was aborted."},
    {"VI_ERROR_INV_SETUP", VI_ERROR_INV_SETUP, "The configuration is not valid."},
    {"VI_ERROR_ALLOC", VI_ERROR_ALLOC, "Not enough memory for the operation."},
    {"VI_ERROR_IO", VI_ERROR_IO, "An error occurred during the transfer."},
    {"VI_ERROR_NLISTENERS", VI_ERROR_NLISTENERS, "No device is listening on the bus."},
    {"VI_ERROR_NSUP_OPER", VI_ERROR_NSUP_OPER, "The operation is not supported by this object."},
    {"VI_ERROR_USER_BUF", VI_ERROR_USER_BUF, "A buffer or result pointer is missing."},
    {"VI_ERROR_RSRC_BUSY", VI_ERROR_RSRC_BUSY, "The resource is busy."},
    {"VI_ERROR_INV_PARAMETER", VI_ERROR_INV_PARAMETER, "A parameter is not valid."},
    {"VI_ERROR_NIMPL_OPER", VI_ERROR_NIMPL_OPER, "The operation is not implemented."},
    {"VI_ERROR_CONN_LOST", VI_ERROR_CONN_LOST, "The connection to the device was lost."},
};

const char* status_name(ViStatus status) {
  for (const auto& entry : status_names) {
    if (entry.status == status) {
      return entry.name;
    }
  }
  return "";
}

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

const char* status_description(ViStatus status) {
  for (const auto& entry : status_names) {
    if (entry.status == status) {
      return entry.description;
    }
  }
  return nullptr;
}

} // namespace kesvisa

using namespace kesvisa;

ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]) {
  try {
    if (replay_on()) {
      return replay_other("viStatusDesc", vi);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    // Any session, even a closed one, may ask: the text depends on the
    // status only.
    ViStatus result = VI_SUCCESS;
    if (desc == nullptr) {
      result = VI_ERROR_USER_BUF;
    } else if (const char* text = status_description(status)) {
      std::snprintf(desc, VI_FIND_BUFLEN, "%s: %s", status_name(status), text);
    } else {
      std::snprintf(desc, VI_FIND_BUFLEN, "Unknown status 0x%08X.", static_cast<unsigned>(status));
      result = VI_WARN_UNKNOWN_STATUS;
    }
    line.add("viStatusDesc(%u, 0x%08X) = ", static_cast<unsigned>(vi), static_cast<unsigned>(status));
    line.add_status(result);
    l.config.trace.write(line);
    return result;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}
