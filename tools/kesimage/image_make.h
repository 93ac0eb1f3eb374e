// Builds firmware image files: the 64-byte header in front of a body. Used by
// the kesimage tool, the tests and the demo, so all make images one way.
#pragma once

#include <cstdint>

// Writes the header words (big-endian) and the header CRC over bytes 0..59;
// bytes 12..59 are zero. Any address and length may be given, for making
// images the loader must refuse.
void image_write_header(uint8_t* header, uint32_t fw_crc, uint32_t fw_address, uint32_t fw_length);

// The header of an image that kesload accepts: the firmware address, the
// body's length and its CRC-32.
void image_make_header(uint8_t* header, const uint8_t* body, uint32_t body_length);

// Writes header and body to path, whole or not at all: image_written, or
// image_not_written when the file cannot be written, or image_folder_refused
// when no new file could be made in path's folder, where the image is
// written before it takes path's place (errno tells why; path is then as it
// was).
enum : int { image_written = 0, image_not_written = 1, image_folder_refused = 2 };
int image_write_file(const char* path, const uint8_t* header, const uint8_t* body, uint32_t body_length);

// The folder image_write_file last wrote in: path's own, "." for a bare name.
const char* image_write_folder();

// The temporary file image_write_file is writing, for a signal handler that
// removes it; empty when there is none. Safe to call in a signal handler.
const char* image_temp_file();
