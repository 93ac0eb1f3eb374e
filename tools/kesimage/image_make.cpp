#include "image_make.h"

#include "image.h"

#include <cstring>

namespace {

void put_be32(uint8_t* bytes, uint32_t word) {
  bytes[0] = static_cast<uint8_t>(word >> 24);
  bytes[1] = static_cast<uint8_t>(word >> 16);
  bytes[2] = static_cast<uint8_t>(word >> 8);
  bytes[3] = static_cast<uint8_t>(word);
}

} // namespace

void image_write_header(uint8_t* header, uint32_t fw_crc, uint32_t fw_address, uint32_t fw_length) {
  std::memset(header, 0, fw_header_size);
  put_be32(header + fw_offset_crc, fw_crc);
  put_be32(header + fw_offset_address, fw_address);
  put_be32(header + fw_offset_length, fw_length);
  crc32_update(nullptr, 0);
  put_be32(header + fw_offset_hdr_crc, crc32_update(header, fw_offset_hdr_crc));
}

void image_make_header(uint8_t* header, const uint8_t* body, uint32_t body_length) {
  crc32_update(nullptr, 0);
  const uint32_t fw_crc = crc32_update(body, body_length);
  image_write_header(header, fw_crc, fw_body_address, body_length);
}
