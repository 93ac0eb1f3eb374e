// Writing trace records and lines.
#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool is_version(uint32_t attribute) { return attribute == trace_attr_rsrc_impl_version || attribute == 0x3FFF0170U; }

void add_char(trace_text& text, char c) {
  if (text.length + 1 < sizeof text.data) {
    text.data[text.length++] = c;
    text.data[text.length] = '\0';
  } else {
    text.cut = true;
  }
}

void add_escaped(trace_text& text, uint8_t byte) {
  const char* escape = nullptr;
  switch (byte) {
  case '\n':
    escape = "\\n";
    break;
  case '\r':
    escape = "\\r";
    break;
  case '\t':
    escape = "\\t";
    break;
  case '\\':
    escape = "\\\\";
    break;
  case '"':
    escape = "\\\"";
    break;
  default:
    break;
  }
  if (escape != nullptr) {
    trace_add(text, escape);
  } else if (byte >= 0x20 && byte <= 0x7E) {
    add_char(text, static_cast<char>(byte));
  } else {
    trace_addf(text, "\\x%02X", static_cast<unsigned>(byte));
  }
}

// Results follow the status when it is not an error.
bool gave_back(int32_t status) { return status >= 0; }

void add_result(trace_text& text, int32_t status) {
  trace_add(text, " = ");
  trace_add_status(text, status);
}

void add_time(trace_text& text, int64_t us) {
  const auto tenths = static_cast<unsigned long long>(us / 100);
  trace_addf(text, "%llu.%llu", tenths / 10, tenths % 10);
}

} // namespace

void trace_clear(trace_text& text) {
  text.length = 0;
  text.cut = false;
  text.data[0] = '\0';
}

void trace_add(trace_text& text, std::string_view piece) {
  const size_t room = sizeof text.data - 1 - text.length;
  const size_t n = piece.size() < room ? piece.size() : room;
  std::memcpy(text.data + text.length, piece.data(), n);
  text.length += n;
  text.data[text.length] = '\0';
  text.cut = text.cut || n < piece.size();
}

void trace_addf(trace_text& text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t room = sizeof text.data - text.length;
  const int n = std::vsnprintf(text.data + text.length, room, format, args);
  va_end(args);
  if (n < 0) {
    text.data[text.length] = '\0';
    text.cut = true;
    return;
  }
  if (static_cast<size_t>(n) >= room) {
    text.length = sizeof text.data - 1;
    text.cut = true;
  } else {
    text.length += static_cast<size_t>(n);
  }
}

void trace_add_quoted(trace_text& text, const uint8_t* bytes, size_t length) {
  add_char(text, '"');
  for (size_t i = 0; i < length; ++i) {
    add_escaped(text, bytes[i]);
  }
  add_char(text, '"');
}

void trace_add_data(trace_text& text, const uint8_t* bytes, size_t length, size_t text_max) {
  if (length <= text_max) {
    trace_add_quoted(text, bytes, length);
  } else {
    trace_addf(text, "[%llu bytes crc=0x%08X]", static_cast<unsigned long long>(length),
               static_cast<unsigned>(trace_crc32(bytes, length)));
  }
}

void trace_add_string(trace_text& text, const char* string) {
  if (string == nullptr) {
    trace_add(text, "NULL");
    return;
  }
  trace_add_data(text, reinterpret_cast<const uint8_t*>(string), std::strlen(string), trace_string_text_max);
}

void trace_add_status(trace_text& text, int32_t status) {
  trace_addf(text, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(status)));
  if (const char* name = trace_status_name(status)) {
    trace_addf(text, " %s", name);
  }
}

void trace_add_attribute(trace_text& text, uint32_t attribute) {
  if (const char* name = trace_attribute_name(attribute)) {
    trace_add(text, name);
  } else {
    trace_addf(text, "0x%08X", static_cast<unsigned>(attribute));
  }
}

void trace_call_open_default_rm(trace_text& text) { trace_add(text, "viOpenDefaultRM()"); }

void trace_call_open(trace_text& text, uint32_t rm, const char* name, uint32_t mode, uint32_t timeout) {
  trace_addf(text, "viOpen(%u, ", static_cast<unsigned>(rm));
  trace_add_string(text, name);
  trace_addf(text, ", %u, %u)", static_cast<unsigned>(mode), static_cast<unsigned>(timeout));
}

void trace_call_close(trace_text& text, uint32_t vi) { trace_addf(text, "viClose(%u)", static_cast<unsigned>(vi)); }

void trace_call_set_attribute(trace_text& text, uint32_t vi, uint32_t attribute, uint64_t value) {
  trace_addf(text, "viSetAttribute(%u, ", static_cast<unsigned>(vi));
  trace_add_attribute(text, attribute);
  trace_addf(text, ", %llu)", static_cast<unsigned long long>(value));
}

void trace_call_get_attribute(trace_text& text, uint32_t vi, uint32_t attribute) {
  trace_addf(text, "viGetAttribute(%u, ", static_cast<unsigned>(vi));
  trace_add_attribute(text, attribute);
  trace_add(text, ")");
}

void trace_call_write(trace_text& text, uint32_t vi, const uint8_t* data, uint32_t count, bool end) {
  trace_addf(text, "viWrite(%u, ", static_cast<unsigned>(vi));
  if (data == nullptr && count > 0) {
    trace_add(text, "NULL");
  } else {
    trace_add_data(text, data, count, trace_write_text_max);
  }
  trace_addf(text, "%s, %u)", end ? " END" : "", static_cast<unsigned>(count));
}

void trace_call_read(trace_text& text, uint32_t vi, uint32_t room) {
  trace_addf(text, "viRead(%u, %u)", static_cast<unsigned>(vi), static_cast<unsigned>(room));
}

void trace_call_clear(trace_text& text, uint32_t vi) { trace_addf(text, "viClear(%u)", static_cast<unsigned>(vi)); }

void trace_call_find_rsrc(trace_text& text, uint32_t rm, const char* expression) {
  trace_addf(text, "viFindRsrc(%u, ", static_cast<unsigned>(rm));
  trace_add_string(text, expression);
  trace_add(text, ")");
}

void trace_call_find_next(trace_text& text, uint32_t list) {
  trace_addf(text, "viFindNext(%u)", static_cast<unsigned>(list));
}

void trace_open_default_rm(trace_text& text, int32_t status, uint32_t rm) {
  trace_call_open_default_rm(text);
  add_result(text, status);
  if (gave_back(status)) {
    trace_addf(text, " rm=%u", static_cast<unsigned>(rm));
  }
}

void trace_open(trace_text& text, uint32_t rm, const char* name, uint32_t mode, uint32_t timeout, int32_t status,
                uint32_t vi) {
  trace_call_open(text, rm, name, mode, timeout);
  add_result(text, status);
  if (gave_back(status)) {
    trace_addf(text, " vi=%u", static_cast<unsigned>(vi));
  }
}

void trace_close(trace_text& text, uint32_t vi, int32_t status) {
  trace_call_close(text, vi);
  add_result(text, status);
}

void trace_set_attribute(trace_text& text, uint32_t vi, uint32_t attribute, uint64_t value, int32_t status) {
  trace_call_set_attribute(text, vi, attribute, value);
  add_result(text, status);
}

void trace_get_attribute(trace_text& text, uint32_t vi, uint32_t attribute, int32_t status, const char* string,
                         uint64_t number) {
  trace_call_get_attribute(text, vi, attribute);
  add_result(text, status);
  if (!gave_back(status)) {
    return;
  }
  if (string != nullptr) {
    trace_add(text, " ");
    trace_add_string(text, string);
  } else if (is_version(attribute)) {
    trace_addf(text, " 0x%08llX", static_cast<unsigned long long>(number));
  } else {
    trace_addf(text, " %llu", static_cast<unsigned long long>(number));
  }
}

void trace_write(trace_text& text, uint32_t vi, const uint8_t* data, uint32_t count, bool end, int32_t status,
                 uint32_t sent) {
  trace_call_write(text, vi, data, count, end);
  add_result(text, status);
  if (gave_back(status) || sent > 0) {
    trace_addf(text, " sent=%u", static_cast<unsigned>(sent));
  }
}

void trace_read(trace_text& text, uint32_t vi, uint32_t room, int32_t status, const uint8_t* data, uint32_t got) {
  trace_call_read(text, vi, room);
  add_result(text, status);
  if (gave_back(status) || got > 0) {
    trace_add(text, " ");
    if (data != nullptr) {
      trace_add_data(text, data, got, trace_read_text_max);
    } else {
      trace_add(text, "\"\""); // no buffer: nothing was read into one
    }
    if (status == trace_status_success) {
      trace_add(text, " END");
    }
  }
}

void trace_clear_call(trace_text& text, uint32_t vi, int32_t status) {
  trace_call_clear(text, vi);
  add_result(text, status);
}

void trace_find_rsrc(trace_text& text, uint32_t rm, const char* expression, int32_t status, uint32_t list,
                     uint32_t count, const char* first) {
  trace_call_find_rsrc(text, rm, expression);
  add_result(text, status);
  if (gave_back(status)) {
    trace_addf(text, " list=%u count=%u ", static_cast<unsigned>(list), static_cast<unsigned>(count));
    trace_add_string(text, first);
  }
}

void trace_find_next(trace_text& text, uint32_t list, int32_t status, const char* name) {
  trace_call_find_next(text, list);
  add_result(text, status);
  if (gave_back(status)) {
    trace_add(text, " ");
    trace_add_string(text, name);
  }
}

void trace_session(trace_text& text, const char* program, int64_t unix_ms) {
  // Days since 1970-01-01 to the civil date (H. Hinnant's algorithm).
  const int64_t ms = unix_ms < 0 ? 0 : unix_ms;
  const int64_t days = ms / 86400000;
  const int64_t in_day = ms % 86400000;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  trace_add(text, "session ");
  trace_add(text, program);
  trace_addf(text, " %s %s %04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", KESLOAD_VERSION, KESLOAD_PLATFORM,
             static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
             static_cast<long long>(in_day / 3600000), static_cast<long long>(in_day / 60000 % 60),
             static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
}

void trace_make_line(trace_text& line, long pid, int64_t time_us, int64_t duration_us, const trace_text& record) {
  trace_clear(line);
  trace_addf(line, "%ld ", pid);
  add_time(line, time_us < 0 ? 0 : time_us);
  trace_add(line, " ");
  if (duration_us < 0) {
    trace_add(line, "-");
  } else {
    add_time(line, duration_us);
  }
  trace_add(line, " ");
  // The record is cut short rather than its line feed lost.
  const size_t room = sizeof line.data - 2 - line.length;
  trace_add(line, std::string_view(record.data, record.length < room ? record.length : room));
  line.cut = line.cut || record.cut || record.length > room;
  line.data[line.length++] = '\n';
  line.data[line.length] = '\0';
}
