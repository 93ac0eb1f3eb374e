// kescheck: what the instrument holds, asked with queries only. The only
// commands sent are the mode and operation-complete queries, the memory and
// CRC queries and, where the instrument needs it for those, the unlock.
#include "kescheck.h"

#include "image.h"
#include "link.h"
#include "report_out.h"
#include "update.h"

#include <array>
#include <cstdio>

namespace {

enum : int32_t { io_timeout_seconds = 10 };
enum : uint32_t { probe_timeout_ms = 1000 }; // a listing must not wait 10 s on each silent address

// The firmware header's place in flash, as the boot loader reads it.
constexpr uint32_t header_base = flash_image_base;

// A reply that is missing or not one number is no value: the check it
// belongs to can only be unknown.
bool read_number(uint32_t* value) { return gpib_uint32_checked(value) == 0; }

// The word at address, or the instrument's CRC over length bytes from start;
// false when the reply was no number.
bool read_word(uint32_t* value, uint32_t address) {
  gpib_send_format(cmd_read_word, address);
  return read_number(value);
}

bool read_crc(uint32_t* value, uint32_t start, uint32_t length) {
  gpib_send_format(cmd_crc, start, length);
  return read_number(value);
}

const char* mode_meaning(uint32_t mode) {
  switch (mode) {
  case 0:
    return "BOOTROM";
  case 1:
  case 2:
  case 3:
    return "application";
  default:
    return "unknown";
  }
}

// The session is closed before the verdict is printed: a close that fails
// ends the run with the link's status 1 and no verdict.
int check_verdict(const char* verdict, int status) {
  gpib_close();
  report_out("verdict: %s\n", verdict);
  return status;
}

// Another program holds the instrument (kesload updating it): nothing of
// this check could be asked, and nothing of the update was disturbed.
void report_in_use() { report_out("verdict: in use by another program\n"); }

int unknown_check(const char* check) {
  report_out("%s: unknown\n", check);
  return check_verdict("unknown", check_exit_failed);
}

// The firmware header words, in the order of the output lines.
struct flash_header {
  uint32_t crc;
  uint32_t address;
  uint32_t length;
  uint32_t word3;
  uint32_t hdr_crc;
};

struct header_word {
  const char* name;
  bool decimal; // else hexadecimal
  uint32_t offset;
  uint32_t flash_header::*word;
};

constexpr std::array<header_word, 5> header_words{{
    {"fw_crc", false, fw_offset_crc, &flash_header::crc},
    {"fw_address", false, fw_offset_address, &flash_header::address},
    {"fw_length", true, fw_offset_length, &flash_header::length},
    {"fw_word3", false, fw_offset_word3, &flash_header::word3},
    {"hdr_crc", false, fw_offset_hdr_crc, &flash_header::hdr_crc},
}};

} // namespace

int check_instrument(int32_t address, const char* interface_name, bool with_image, const char* image_path) {
  // What is asked, and through which VISA (the machine may have more than
  // one), before anything is: a failure to open or clear still says both.
  const char* visa = gpib_visa(); // a VISA that cannot be used is the binding's message alone
  std::array<char, gpib_resource_size> resource{};
  gpib_resource_name(address, interface_name, resource);
  std::array<char, 4 * gpib_path_room> text{};
  report_out("resource: %s\n", gpib_printable(resource.data(), text));
  report_out("visa: %s\n", gpib_printable(visa, text));
  if (with_image) {
    report_out("image: %s\n", gpib_printable(image_path, text));
  }

  // Opened as kesload opens it, but without its lock: a failure here is the
  // link's message and status 1, an update in progress the verdict.
  gpib_look_without_lock(report_in_use);
  gpib_open(address, interface_name);
  gpib_set_timeout(io_timeout_seconds);
  gpib_clear();

  // Not query_mode: an empty or unreadable reply is no mode here, not BOOTROM.
  uint32_t mode = 0;
  gpib_send(gpib_cmd_mode);
  if (!read_number(&mode)) {
    return unknown_check("mode");
  }
  report_out("mode: %u %s\n", mode, mode_meaning(mode));
  if (mode > 3) {
    return check_verdict("unknown", check_exit_failed);
  }
  if (mode == 2 || mode == 3) {
    // The memory queries are refused here until unlocked; the unlock lasts
    // until the instrument's next restart.
    gpib_send(cmd_enter);
    gpib_opc();
  }

  flash_header flash{};
  for (const header_word& word : header_words) {
    if (!read_word(&(flash.*word.word), header_base + word.offset)) {
      return unknown_check(word.name);
    }
    if (word.decimal) {
      report_out("%s: %u\n", word.name, flash.*word.word);
    } else {
      report_out("%s: 0x%08X\n", word.name, flash.*word.word);
    }
  }

  uint32_t calculated = 0;
  if (!read_crc(&calculated, header_base, header_crc_offset)) {
    return unknown_check("header_crc");
  }
  const bool header_ok = calculated == flash.hdr_crc;
  if (header_ok) {
    report_out("header_crc: ok\n");
  } else {
    report_out("header_crc: bad 0x%08X\n", calculated);
  }

  // A length beyond the firmware area (an erased header reads 0xFFFFFFFF)
  // is damage in itself; the instrument is not asked to read past the area.
  bool body_ok = false;
  if (uint64_t{fw_header_size} + flash.length > fw_max_size) {
    report_out("body_crc: skipped, length beyond the firmware area\n");
  } else {
    if (!read_crc(&calculated, header_base + header_size, flash.length)) {
      return unknown_check("body_crc");
    }
    body_ok = calculated == flash.crc;
    if (body_ok) {
      report_out("body_crc: ok\n");
    } else {
      report_out("body_crc: bad 0x%08X\n", calculated);
    }
  }

  if (!header_ok || !body_ok) {
    return check_verdict("damaged", check_exit_failed);
  }
  if (!with_image) {
    return check_verdict("intact", check_exit_ok);
  }
  const bool same = flash.crc == fw_get_crc() && flash.address == fw_get_address() && flash.length == fw_get_length() &&
                    flash.word3 == fw_get_word3() && flash.hdr_crc == fw_get_hdr_crc();
  return same ? check_verdict("same", check_exit_ok) : check_verdict("different", check_exit_failed);
}

namespace {

// Each line as it is known (report_out flushes it): a bus of silent
// devices takes a second each.
void list_one(const char* resource, void* /*context*/) {
  uint32_t mode = 0;
  std::array<char, 4 * size_t{gpib_find_room}> name{};
  gpib_printable(resource, name);
  switch (gpib_probe_mode(resource, probe_timeout_ms, &mode)) {
  case 0:
    report_out("%s: %u %s\n", name.data(), mode, mode_meaning(mode));
    break;
  case 2:
    report_out("%s: in use by another program\n", name.data());
    break;
  default:
    report_out("%s: no answer\n", name.data());
    break;
  }
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The search expression for one interface: its name taken literally (every
// character but letters and digits escaped), then any address. VISA lists
// an interface by its board number, so a name of letters and digits is
// written as VISA writes it: "GPIB" is board 0 ("GPIB0"), "GPIB01" board 1.
void interface_pattern(const char* name, std::array<char, gpib_find_room>& pattern) {
  constexpr size_t suffix = sizeof "::?*INSTR";
  size_t letters = 0;
  while (is_letter(name[letters])) {
    ++letters;
  }
  size_t digits = letters;
  while (is_digit(name[digits])) {
    ++digits;
  }
  const bool board_form = letters > 0 && name[digits] == '\0';
  size_t at = 0;
  for (size_t i = 0; name[i] != '\0' && at + 2 + suffix <= pattern.size(); ++i) { // the command line keeps names shorter
    const char c = name[i];
    if (board_form && i >= letters && c == '0' && i + 1 < digits) {
      continue; // a leading zero of the board number
    }
    if (!is_letter(c) && !is_digit(c)) {
      pattern[at++] = '\\';
    }
    pattern[at++] = c;
  }
  if (board_form && digits == letters) {
    pattern[at++] = '0';
  }
  std::snprintf(&pattern[at], pattern.size() - at, "::?*INSTR");
}

} // namespace

int list_instruments(const char* interface_name) {
  // Room enough: the name is at most 88 characters, each escaped at most once.
  static_assert(2 * size_t{gpib_interface_name_max} + sizeof "::?*INSTR" <= size_t{gpib_find_room});
  std::array<char, gpib_find_room> pattern{};
  if (interface_name != nullptr && interface_name[0] != '\0') {
    interface_pattern(interface_name, pattern);
  } else {
    std::snprintf(pattern.data(), pattern.size(), "GPIB?*INSTR");
  }
  const int32_t found = gpib_find(pattern.data(), list_one, nullptr);
  if (found < 0) {
    std::array<char, 4 * size_t{gpib_find_room}> text{};
    report_error("viFindRsrc: can't search for %s\n", gpib_printable(pattern.data(), text));
    return check_exit_failed;
  }
  if (found == 0) {
    report_error("no instrument found\n");
    return check_exit_failed;
  }
  return check_exit_ok;
}
