// The image loader over arbitrary file contents and sizes, from empty to
// past 3 MiB. The loader's verdict is held to a model of its checks written
// here with a CRC of its own, and an accepted file must sit in the buffer
// byte for byte with 0xFF after it.
//
// Input: one control byte, then the file.
//   bit 0  report on standard error (silent 0); otherwise silent
//   bit 1  stretch: the next 3 bytes are a big-endian file length (at most
//          4 MiB), the byte after them a fill; the rest of the input starts
//          the file and the fill makes up the length
//   bit 2  put the first word of the header right: the CRC of the body
//   bit 3  put the last word of the header right: the header CRC
//   bit 4  put the firmware address into the header
//   bit 5  set the header's body length to the file's length less 64
// The repairs (in the order 5, 4, 2, 3) let short runs get past the CRCs to
// the checks that follow them.
#include "fuzz_check.h"
#include "image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t stretch_limit = 0x400000;

// Bitwise reflected CRC-32 (polynomial 0xEDB88320), apart from the engine.
std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

uint32_t model_crc(const uint8_t* data, size_t length) {
  static const std::array<uint32_t, 256> table = make_table();
  uint32_t c = 0xFFFFFFFFU;
  for (size_t i = 0; i < length; ++i) {
    c = table[(c ^ data[i]) & 0xFFU] ^ (c >> 8);
  }
  return ~c;
}

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The body as the loader's CRC sees it: the file, then 0xFF to the end of
// the buffer; false when the header's length does not fit the firmware area.
bool body_view(const std::vector<uint8_t>& file, uint32_t body_length, std::vector<uint8_t>& body) {
  if (uint64_t{fw_header_size} + body_length > fw_max_size) {
    return false;
  }
  body.assign(body_length, 0xFF);
  if (file.size() > fw_header_size) {
    const size_t present = std::min<size_t>(file.size() - fw_header_size, body_length);
    std::copy_n(file.begin() + fw_header_size, present, body.begin());
  }
  return true;
}

std::vector<uint8_t> build_file(const uint8_t* data, size_t size, uint8_t control) {
  std::vector<uint8_t> file;
  if ((control & 0x02U) != 0 && size >= 4) {
    const uint32_t length = (uint32_t{data[0]} << 16 | uint32_t{data[1]} << 8 | data[2]) % (stretch_limit + 1);
    const uint8_t fill = data[3];
    file.assign(data + 4, data + 4 + std::min<size_t>(size - 4, length));
    file.resize(length, fill);
  } else {
    file.assign(data, data + size);
  }
  if (file.size() < fw_header_size) {
    return file;
  }
  uint8_t* header = file.data();
  if ((control & 0x20U) != 0) {
    put_be32(header + fw_offset_length, static_cast<uint32_t>(file.size() - fw_header_size));
  }
  if ((control & 0x10U) != 0) {
    put_be32(header + fw_offset_address, fw_body_address);
  }
  std::vector<uint8_t> body;
  if ((control & 0x04U) != 0 && body_view(file, be32(header + fw_offset_length), body)) {
    put_be32(header + fw_offset_crc, model_crc(body.data(), body.size()));
  }
  if ((control & 0x08U) != 0) {
    put_be32(header + fw_offset_hdr_crc, model_crc(header, fw_offset_hdr_crc));
  }
  return file;
}

// What the loader must say of a file it could open.
int expected_result(const std::vector<uint8_t>& file) {
  // One read into the buffer: a longer file shows as a full buffer.
  const size_t n = std::min<size_t>(file.size(), fw_buffer_size);
  if (n > fw_max_size || n < fw_header_size) {
    return fw_load_rejected;
  }
  const uint8_t* header = file.data();
  if (model_crc(header, fw_offset_hdr_crc) != be32(header + fw_offset_hdr_crc)) {
    return fw_load_rejected;
  }
  if (be32(header + fw_offset_address) != fw_body_address) {
    return fw_load_rejected;
  }
  std::vector<uint8_t> body;
  if (!body_view(file, be32(header + fw_offset_length), body)) {
    return fw_load_rejected;
  }
  return model_crc(body.data(), body.size()) == be32(header + fw_offset_crc) ? fw_load_ok : fw_load_rejected;
}

// One in-memory file for the whole run, opened by the loader by its path.
const std::string& file_path(int& fd) {
  static int file = -1;
  static std::string path;
  if (file < 0) {
    file = memfd_create("kesload-fuzz-image", 0);
    FUZZ_CHECK(file >= 0);
    path = "/proc/self/fd/" + std::to_string(file);
  }
  fd = file;
  return path;
}

void write_file(int fd, const std::vector<uint8_t>& bytes) {
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const uint8_t control = data[0];
  const std::vector<uint8_t> file = build_file(data + 1, size - 1, control);
  int fd = -1;
  const std::string& path = file_path(fd);
  write_file(fd, file);

  const int result = load_fw_file(path.c_str(), (control & 0x01U) != 0 ? 0 : 1);
  FUZZ_CHECK(result == fw_load_ok || result == fw_load_rejected);
  FUZZ_CHECK(result == expected_result(file));
  if (result != fw_load_ok) {
    return 0;
  }
  const uint32_t loaded = fw_get_size();
  FUZZ_CHECK(loaded >= fw_header_size && loaded <= fw_max_size);
  FUZZ_CHECK(loaded == file.size());
  const uint8_t* buffer = fw_get_buffer();
  FUZZ_CHECK(std::memcmp(buffer, file.data(), loaded) == 0);
  FUZZ_CHECK(std::all_of(buffer + loaded, buffer + fw_buffer_size, [](uint8_t b) { return b == 0xFF; }));
  FUZZ_CHECK(fw_get_length() == be32(file.data() + fw_offset_length));
  FUZZ_CHECK(fw_get_flash_base() == fw_body_address - fw_header_size);
  return 0;
}
