#include "images.h"

#include "image_make.h"
#include "run_program.h"

std::vector<uint8_t> make_image(uint32_t file_size, int64_t body_length) {
  std::vector<uint8_t> bytes(file_size);
  uint32_t state = 0x12345678U + file_size;
  for (uint32_t i = 64; i < file_size; ++i) {
    state = state * 1103515245U + 12345U;
    bytes[i] = static_cast<uint8_t>(state >> 24);
  }
  const uint32_t covered = body_length < 0 ? file_size - 64 : static_cast<uint32_t>(body_length);
  // Body bytes past the end of the file count as 0xFF, as the loader sees them.
  std::vector<uint8_t> body(bytes.begin() + 64, bytes.end());
  body.resize(covered, 0xFF);
  image_make_header(bytes.data(), body.data(), covered);
  return bytes;
}

std::string write_image(const std::string& dir, const std::vector<uint8_t>& bytes, const std::string& name) {
  const std::string path = dir + "/" + name;
  write_file(path, std::string(bytes.begin(), bytes.end()));
  return path;
}
