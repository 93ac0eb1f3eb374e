// Image files for tests, made with the same code as kesimage makes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A valid image file of file_size bytes (at least 64): a body of
// file_size - 64 bytes of a fixed pseudo-random pattern, unless body_length
// is given, in which case the header covers that many body bytes and the rest
// of the file (if any) is trailing data.
std::vector<uint8_t> make_image(uint32_t file_size, int64_t body_length = -1);

// Writes bytes to dir/name and returns the path.
std::string write_image(const std::string& dir, const std::vector<uint8_t>& bytes, const std::string& name = "fw.bin");
