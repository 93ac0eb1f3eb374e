// CRC-32 (IEEE 802.3, reflected, as zlib's crc32), eight bytes a step over
// tables made at compile time: a recording CRCs every data block of a
// download, and must cost the update next to nothing.
#include "trace.h"

#include <array>

namespace {

using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr crc_tables make_tables() {
  crc_tables made{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
    }
    made[0][byte] = crc;
  }
  for (uint32_t byte = 0; byte < 256; ++byte) {
    for (size_t k = 1; k < made.size(); ++k) {
      const uint32_t previous = made[k - 1][byte];
      made[k][byte] = (previous >> 8) ^ made[0][previous & 0xFFU];
    }
  }
  return made;
}

constexpr crc_tables tables = make_tables();

} // namespace

uint32_t trace_crc32(const uint8_t* bytes, size_t length) {
  uint32_t crc = 0xFFFFFFFFU;
  size_t at = 0;
  for (; at + 8 <= length; at += 8) {
    const uint32_t low = crc ^ (uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
                                uint32_t{bytes[at + 3]} << 24);
    crc = tables[7][low & 0xFFU] ^ tables[6][(low >> 8) & 0xFFU] ^ tables[5][(low >> 16) & 0xFFU] ^
          tables[4][low >> 24] ^ tables[3][bytes[at + 4]] ^ tables[2][bytes[at + 5]] ^ tables[1][bytes[at + 6]] ^
          tables[0][bytes[at + 7]];
  }
  for (; at < length; ++at) {
    crc = (crc >> 8) ^ tables[0][(crc ^ bytes[at]) & 0xFFU];
  }
  return crc ^ 0xFFFFFFFFU;
}
