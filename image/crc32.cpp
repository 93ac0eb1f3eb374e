// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), one byte per step.
#include "image.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> crc32_make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < table.size(); ++n) {
    uint32_t c = n;
    for (int round = 0; round < 8; ++round) {
      c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> crc32_table = crc32_make_table();
static_assert(crc32_table[1] == 0x77073096U);
static_assert(crc32_table[128] == 0xEDB88320U);
static_assert(crc32_table[255] == 0x2D02EF8DU);

} // namespace

uint32_t crc32_state = 0xFFFFFFFFU;

uint32_t crc32_update(const uint8_t* data, uint32_t length) {
  if (data == nullptr) {
    crc32_state = 0xFFFFFFFFU;
    return 0;
  }
  uint32_t reg = crc32_state;
  for (uint32_t i = 0; i < length; ++i) {
    reg = crc32_table[(reg ^ data[i]) & 0xFFU] ^ (reg >> 8);
  }
  crc32_state = reg;
  return reg ^ 0xFFFFFFFFU;
}
