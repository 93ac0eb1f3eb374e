// Reads the firmware image file into the static image buffer and checks it
// before anything is sent to the instrument.
#include "image.h"

#include "file.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::array<uint8_t, fw_buffer_size> fw_buffer{};
uint32_t fw_size = 0;
uint32_t fw_crc = 0;
uint32_t fw_address = 0;
uint32_t fw_length = 0;
uint32_t fw_word3 = 0;
uint32_t hdr_crc = 0;

// Standard output is flushed first, so that a message never overtakes the
// progress printed before it when both streams go to one log.
[[gnu::format(printf, 2, 3)]] void fw_message(int silent, const char* format, ...) {
  if (silent != 0) {
    return;
  }
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

} // namespace

uint32_t read_be32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

namespace {

int stop_fd = -1;

} // namespace

void fw_set_stop_fd(int fd) { stop_fd = fd; }

int load_fw_file(const char* path, int silent) {
  const int fd = fw_file_open(path);
  if (fd < 0) {
    fw_message(silent, " can't open %s: %s\n", path, std::strerror(errno));
    return fw_load_cannot_open;
  }
  fw_buffer.fill(0xFF);
  size_t n = 0;
  const int read = fw_file_read_all(fd, fw_buffer.data(), fw_buffer.size(), stop_fd, &n);
  fw_file_close(fd);
  if (read == fw_file_stopped) {
    return fw_load_stopped;
  }

  if (n > fw_max_size) {
    fw_message(silent, " corrupted?, size too large, %d\n", static_cast<int>(n));
    return fw_load_rejected;
  }
  if (n < fw_header_size) {
    fw_message(silent, " corrupted?, size too small, %d\n", static_cast<int>(n));
    return fw_load_rejected;
  }
  fw_size = static_cast<uint32_t>(n);

  hdr_crc = read_be32(&fw_buffer[fw_offset_hdr_crc]);
  crc32_update(nullptr, 0);
  uint32_t c = crc32_update(fw_buffer.data(), fw_offset_hdr_crc);
  if (c != hdr_crc) {
    fw_message(silent, " corrupted?, hdr CRC error 0x%08X <> 0x%08X\n", hdr_crc, c);
    return fw_load_rejected;
  }

  fw_crc = read_be32(&fw_buffer[fw_offset_crc]);
  fw_address = read_be32(&fw_buffer[fw_offset_address]);
  fw_length = read_be32(&fw_buffer[fw_offset_length]);
  fw_word3 = read_be32(&fw_buffer[fw_offset_word3]);

  // The instrument's flash checks always read the firmware area; an image
  // meant for any other address would be programmed where nothing checks it.
  if (fw_address != fw_body_address) {
    fw_message(silent, " corrupted?, F/W address error 0x%08X <> 0x%08X\n", fw_address,
               static_cast<uint32_t>(fw_body_address));
    return fw_load_rejected;
  }
  // The body must fit the firmware area; the sum is taken in 64 bits so that
  // a length near 2^32 cannot wrap round to a small one.
  if (uint64_t{fw_header_size} + fw_length > fw_max_size) {
    fw_message(silent, " corrupted?, F/W length too large, %u\n", fw_length);
    return fw_load_rejected;
  }

  crc32_update(nullptr, 0);
  c = crc32_update(&fw_buffer[fw_header_size], fw_length);
  if (c != fw_crc) {
    fw_message(silent, " corrupted?, F/W CRC error 0x%08X <> 0x%08X\n", fw_crc, c);
    return fw_load_rejected;
  }
  return fw_load_ok;
}

int load_fw_file_reported(const char* path) {
  const int result = load_fw_file(path, 1);
  if (result == fw_load_cannot_open) {
    fw_message(0, "Can not open %s\n", path);
  } else if (result != fw_load_ok && result != fw_load_stopped) {
    fw_message(0, "Data file %s is corrupted\n", path);
  }
  return result;
}

const uint8_t* fw_get_buffer() { return fw_buffer.data(); }
uint32_t fw_get_size() { return fw_size; }
uint32_t fw_get_length() { return fw_length; }
uint32_t fw_get_flash_base() { return fw_address - fw_header_size; }
uint32_t fw_get_crc() { return fw_crc; }
uint32_t fw_get_address() { return fw_address; }
uint32_t fw_get_word3() { return fw_word3; }
uint32_t fw_get_hdr_crc() { return hdr_crc; }
