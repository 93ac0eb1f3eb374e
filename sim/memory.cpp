#include "memory.h"

#include <cstring>

#include "crc32.h"

namespace ksim {

namespace {
bool inside(uint32_t address, uint32_t length, uint32_t base, uint32_t size) {
  uint64_t a = address;
  uint64_t end = uint64_t(address) + length;
  return a >= base && end <= uint64_t(base) + size;
}
} // namespace

memory memory_of(uint32_t address, uint32_t length) {
  if (inside(address, length, ram_base, ram_size)) {
    return memory::ram;
  }
  if (inside(address, length, flash_base, flash_size)) {
    return memory::flash;
  }
  return memory::none;
}

void write_boot_code(uint8_t* flash) {
  // Not real code, just a fixed pattern that is plainly not erased flash.
  uint32_t x = 0x4B455354; // seed
  for (uint32_t i = first_boot_sector * sector_size; i < flash_size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    flash[i] = uint8_t(x);
  }
}

void flash_factory(uint8_t* flash) {
  std::memset(flash, 0xFF, firmware_area_size);
  write_boot_code(flash);
}

bool sector_erased(const uint8_t* flash, uint32_t sector) {
  const uint8_t* p = flash + size_t(sector) * sector_size;
  for (uint32_t i = 0; i < sector_size; ++i) {
    if (p[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

image_check check_image(const uint8_t* flash) {
  image_check c = check_header(flash);
  c.body_ok = c.length_ok && crc32(flash + header_size, c.fw_length) == c.fw_crc;
  return c;
}

image_check check_header(const uint8_t* flash) {
  image_check c{};
  c.fw_crc = be32(flash + 0);
  c.fw_address = be32(flash + 4);
  c.fw_length = be32(flash + 8);
  c.hdr_crc = be32(flash + 60);
  c.header_ok = crc32(flash, 60) == c.hdr_crc;
  c.length_ok = uint64_t(header_size) + c.fw_length <= firmware_area_size;
  c.body_ok = false;
  return c;
}

} // namespace ksim
