// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), for the trace's
// summary of long or binary data.
#include "library.h"

#include <array>

namespace kesvisa {

namespace {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    }
    table[i] = c;
  }
  return table;
}

constexpr auto table = make_table();

} // namespace

uint32_t crc32(const uint8_t* data, size_t length) {
  uint32_t c = 0xFFFFFFFFU;
  for (size_t i = 0; i < length; ++i) {
    c = table[(c ^ data[i]) & 0xFFU] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFU;
}

} // namespace kesvisa
