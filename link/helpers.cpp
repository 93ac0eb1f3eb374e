// Text commands, byte blocks and numeric replies over the session layer.
#include "link.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// One reply, terminated: room for the longest reply and its terminator.
using reply_buffer = std::array<uint8_t, gpib_reply_room + 1>;

// Reads one reply into buffer and terminates it; false (after the reader's
// message) when the reply was empty.
bool read_reply(reply_buffer& buffer, const char* reader) {
  uint32_t count = 0;
  gpib_read(buffer.data(), gpib_reply_room, &count);
  if (count == 0) {
    report_error(" %s: no data available\n", reader);
    return false;
  }
  buffer[std::min<uint32_t>(count, gpib_reply_room)] = '\0';
  return true;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return 99;
}

constexpr uint64_t magnitude_cap = uint64_t{1} << 32; // anything at or above is out of range

// The sign and the magnitude of a number, the magnitude capped at 2^32;
// rest is where the conversion stopped, digits whether it took any.
struct parsed_number {
  bool negative;
  uint64_t magnitude;
  const char* rest;
  bool digits;
};

parsed_number parse_number(const char* text) {
  parsed_number number{false, 0, text, false};
  while (is_space(*text)) {
    ++text;
  }
  if (*text == '+' || *text == '-') {
    number.negative = *text == '-';
    ++text;
  }
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && digit_value(text[2]) < 16) {
    base = 16;
    text += 2;
  } else if (text[0] == '0') {
    base = 8;
  }
  for (int digit = digit_value(*text); digit < base; digit = digit_value(*++text)) {
    number.digits = true;
    number.magnitude = number.magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (number.magnitude >= magnitude_cap) {
      number.magnitude = magnitude_cap;
    }
  }
  number.rest = text;
  return number;
}

// One number and nothing after it but, where allowed, white space (the line
// feed that ends a reply).
bool is_whole_number(const parsed_number& number, bool space_after) {
  const char* rest = number.rest;
  while (space_after && is_space(*rest)) {
    ++rest;
  }
  return number.digits && *rest == '\0';
}

} // namespace

uint32_t gpib_to_uint32(const char* text) {
  const parsed_number number = parse_number(text);
  const uint32_t value = number.magnitude >= magnitude_cap ? 0xFFFFFFFFU : static_cast<uint32_t>(number.magnitude);
  return number.negative ? 0U - value : value;
}

int32_t gpib_to_int32(const char* text) {
  const parsed_number number = parse_number(text);
  if (number.negative) {
    return number.magnitude >= uint64_t{1} << 31 ? INT32_MIN : -static_cast<int32_t>(number.magnitude);
  }
  return number.magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(number.magnitude);
}

void report_error(const char* format, ...) {
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

int32_t gpib_send(const char* text) { return gpib_send_end(text, 1); }

int32_t gpib_send_end(const char* text, int32_t end_flag) {
  if (text == nullptr) {
    report_error(" SYSTEM: null pointer\n");
    return 2;
  }
  const size_t length = std::strlen(text);
  if (length == 0) {
    report_error(" SYSTEM: null string\n");
    return 2;
  }
  uint32_t written = 0;
  gpib_write(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(length), &written, end_flag);
  return 0;
}

int32_t gpib_send_format(const char* format, ...) {
  std::array<char, 100> command{};
  va_list args;
  va_start(args, format);
  std::vsnprintf(command.data(), command.size(), format, args);
  va_end(args);
  return gpib_send(command.data());
}

bool gpib_option_address(const char* text, int32_t* address) {
  // A typo must not address another instrument: "09" or "1O" would be read
  // as 0 or 1 if the conversion were allowed to stop early.
  if (!is_whole_number(parse_number(text), false)) {
    report_error("invalid GPIB address %s\n", text);
    return false;
  }
  *address = gpib_to_int32(text);
  // Read as unsigned, so that every negative address is out of range too.
  if (static_cast<uint32_t>(*address) > gpib_address_max) {
    report_error("invalid GPIB address %d\n", *address);
    return false;
  }
  return true;
}

bool gpib_option_interface(const char* name) {
  // A longer name would not fit the resource string.
  if (std::strlen(name) > gpib_interface_name_max) {
    report_error("invalid GPIB interface name %s\n", name);
    return false;
  }
  return true;
}

int32_t gpib_send_block(const uint8_t* data, uint32_t length, int32_t end_flag) {
  if (data == nullptr) {
    report_error(" SYSTEM: null pointer\n");
    return 2;
  }
  if (length == 0) {
    report_error(" SYSTEM: zero bytes for block size\n");
    return 2;
  }
  uint32_t written = 0;
  gpib_write(data, length, &written, end_flag);
  return 0;
}

int32_t gpib_uint32(uint32_t* value) {
  reply_buffer reply;
  if (!read_reply(reply, "gpib_uint32")) {
    *value = 0;
    return 2;
  }
  *value = gpib_to_uint32(reinterpret_cast<const char*>(reply.data()));
  return 0;
}

int32_t gpib_int32(int32_t* value) {
  reply_buffer reply;
  if (!read_reply(reply, "gpib_int32")) {
    *value = 0;
    return 2;
  }
  *value = gpib_to_int32(reinterpret_cast<const char*>(reply.data()));
  return 0;
}

bool gpib_reply_uint32(const char* text, uint32_t* value) {
  *value = gpib_to_uint32(text);
  return is_whole_number(parse_number(text), true);
}

int32_t gpib_uint32_checked(uint32_t* value) {
  reply_buffer reply;
  if (!read_reply(reply, "gpib_uint32")) {
    *value = 0;
    return 2;
  }
  return gpib_reply_uint32(reinterpret_cast<const char*>(reply.data()), value) ? 0 : 3;
}

uint32_t gpib_opc() {
  gpib_send_end(gpib_cmd_opc, 1);
  uint32_t value = 0;
  gpib_uint32(&value);
  return value;
}

int32_t query_mode() {
  gpib_send(gpib_cmd_mode);
  uint32_t value = 0;
  gpib_uint32(&value);
  return static_cast<int32_t>(value);
}
