// kescheck: what the instrument holds, asked with queries only. The only
// commands sent are the mode and operation-complete queries, the memory and
// CRC queries and, where the instrument needs it for those, the unlock.
#include "kescheck.h"

#include "image.h"
#include "link.h"
#include "update.h"

#include <array>
#include <cstdio>

namespace {

enum : int32_t { io_timeout_seconds = 10 };
enum : uint32_t { probe_timeout_ms = 1000 }; // a listing must not wait 10 s on each silent address

// The firmware header's place in flash, as the boot loader reads it.
constexpr uint32_t header_base = flash_image_base;

// The word at address, or the instrument's CRC over length bytes from
// start; false (after the reader's message) on an empty reply.
bool read_word(uint32_t* value, uint32_t address) {
  gpib_send_format(cmd_read_word, address);
  return gpib_uint32(value) == 0;
}

bool read_crc(uint32_t* value, uint32_t start, uint32_t length) {
  gpib_send_format(cmd_crc, start, length);
  return gpib_uint32(value) == 0;
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

int check_verdict(const char* verdict, int status) {
  std::printf("verdict: %s\n", verdict);
  gpib_close();
  return status;
}

// The firmware header words, in the order of the output lines.
struct flash_header {
  uint32_t crc;
  uint32_t address;
  uint32_t length;
  uint32_t word3;
  uint32_t hdr_crc;
};

} // namespace

int check_instrument(int32_t address, const char* interface_name, bool with_image, const char* image_path) {
  // Opened as kesload opens it; a failure here is the link's message and status 1.
  gpib_open(address, interface_name);
  gpib_set_timeout(io_timeout_seconds);
  gpib_clear();

  const bool named = interface_name != nullptr && interface_name[0] != '\0';
  std::printf("resource: %s::%d::INSTR\n", named ? interface_name : "GPIB0", static_cast<int>(address));
  // Which VISA the answers came through: the machine may have more than one.
  std::printf("visa: %s\n", gpib_visa_library());
  if (with_image) {
    std::printf("image: %s\n", image_path);
  }

  // Not query_mode: an empty reply is no mode here, not BOOTROM.
  uint32_t mode = 0;
  gpib_send(gpib_cmd_mode);
  if (gpib_uint32(&mode) != 0) {
    return check_verdict("unknown", check_exit_failed);
  }
  std::printf("mode: %u %s\n", mode, mode_meaning(mode));
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
  const bool read = read_word(&flash.crc, header_base + fw_offset_crc) &&
                    read_word(&flash.address, header_base + fw_offset_address) &&
                    read_word(&flash.length, header_base + fw_offset_length) &&
                    read_word(&flash.word3, header_base + fw_offset_word3) &&
                    read_word(&flash.hdr_crc, header_base + fw_offset_hdr_crc);
  if (!read) {
    return check_verdict("unknown", check_exit_failed);
  }
  std::printf("fw_crc: 0x%08X\nfw_address: 0x%08X\nfw_length: %u\nfw_word3: 0x%08X\nhdr_crc: 0x%08X\n", flash.crc,
              flash.address, flash.length, flash.word3, flash.hdr_crc);

  uint32_t calculated = 0;
  if (!read_crc(&calculated, header_base, header_crc_offset)) {
    return check_verdict("unknown", check_exit_failed);
  }
  const bool header_ok = calculated == flash.hdr_crc;
  if (header_ok) {
    std::printf("header_crc: ok\n");
  } else {
    std::printf("header_crc: bad 0x%08X\n", calculated);
  }

  // A length beyond the firmware area (an erased header reads 0xFFFFFFFF)
  // is damage in itself; the instrument is not asked to read past the area.
  bool body_ok = false;
  if (uint64_t{fw_header_size} + flash.length > fw_max_size) {
    std::printf("body_crc: skipped, length beyond the firmware area\n");
  } else {
    if (!read_crc(&calculated, header_base + header_size, flash.length)) {
      return check_verdict("unknown", check_exit_failed);
    }
    body_ok = calculated == flash.crc;
    if (body_ok) {
      std::printf("body_crc: ok\n");
    } else {
      std::printf("body_crc: bad 0x%08X\n", calculated);
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

void list_one(const char* resource, void* /*context*/) {
  uint32_t mode = 0;
  if (gpib_probe_mode(resource, probe_timeout_ms, &mode) != 0) {
    std::printf("%s: no answer\n", resource);
  } else {
    std::printf("%s: %u %s\n", resource, mode, mode_meaning(mode));
  }
  std::fflush(stdout); // each line as it is known: a bus of silent devices takes a second each
}

// The search expression for one interface: its name taken literally (every
// character but letters and digits escaped), then any address.
void interface_pattern(const char* name, std::array<char, gpib_find_room>& pattern) {
  constexpr size_t suffix = sizeof "::?*INSTR";
  size_t at = 0;
  for (; *name != '\0' && at + 2 + suffix <= pattern.size(); ++name) { // the command line keeps names shorter
    const char c = *name;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) {
      pattern[at++] = '\\';
    }
    pattern[at++] = c;
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
    report_error("viFindRsrc: can't search for %s\n", pattern.data());
    return check_exit_failed;
  }
  if (found == 0) {
    report_error("no instrument found\n");
    return check_exit_failed;
  }
  return check_exit_ok;
}
