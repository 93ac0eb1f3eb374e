#include "crc32.h"

#include <array>

namespace ksim {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> entries{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t r = n;
    for (int k = 0; k < 8; ++k) {
      r = (r & 1) != 0U ? (r >> 1) ^ 0xEDB88320U : r >> 1;
    }
    entries[n] = r;
  }
  return entries;
}

constexpr std::array<uint32_t, 256> table = make_table();
static_assert(table[1] == 0x77073096U && table[128] == 0xEDB88320U && table[255] == 0x2D02EF8DU);

} // namespace

uint32_t crc32(const uint8_t* data, size_t length, uint32_t previous) {
  uint32_t r = ~previous;
  for (size_t i = 0; i < length; ++i) {
    r = table[(r ^ data[i]) & 0xFF] ^ (r >> 8);
  }
  return ~r;
}

} // namespace ksim
