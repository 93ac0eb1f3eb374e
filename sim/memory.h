// The instrument's memory map, and the checks its boot loader makes on flash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksim {

inline constexpr uint32_t ram_base = 0x800000;
inline constexpr uint32_t ram_size = 0x200000;
inline constexpr uint32_t flash_base = 0xFFE00000;
inline constexpr uint32_t flash_size = 0x200000;
inline constexpr uint32_t sector_size = 0x10000;
inline constexpr uint32_t sector_count = 32;
inline constexpr uint32_t first_boot_sector = 28; // 28..31 hold the boot code
inline constexpr uint32_t firmware_area_size = first_boot_sector * sector_size;
inline constexpr uint32_t header_size = 64;

enum class memory { none, ram, flash };

// Which memory holds all of [address, address + length); a length of 0 is
// accepted at any address inside a memory or just past its end.
memory memory_of(uint32_t address, uint32_t length);

inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Sets a whole flash (flash_size bytes) as it leaves the factory: the
// firmware area erased, the boot sectors holding the boot code.
void flash_factory(uint8_t* flash);
// Writes the boot code into the boot sectors only.
void write_boot_code(uint8_t* flash);
bool sector_erased(const uint8_t* flash, uint32_t sector);

// What the boot loader sees at the start of flash.
struct image_check {
  uint32_t fw_crc, fw_address, fw_length, hdr_crc;
  bool header_ok; // hdr_crc is the CRC-32 of bytes 0..59
  bool length_ok; // header and body fit in the firmware area
  bool body_ok;   // fw_crc is the CRC-32 of the body (only when length_ok)
  bool valid() const { return header_ok && length_ok && body_ok; }
};
image_check check_image(const uint8_t* flash);
// The same from the first header_size bytes of flash alone; body_ok is left
// false for the caller to settle.
image_check check_header(const uint8_t* flash);

} // namespace ksim
