// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, register starts
// at all ones, result complemented), as the instrument's firmware computes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksim {

// Continues a CRC over more bytes: pass the previous result (0 to start).
uint32_t crc32(const uint8_t* data, size_t length, uint32_t previous = 0);

} // namespace ksim
