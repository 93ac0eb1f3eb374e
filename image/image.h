// Firmware image: the CRC-32 engine, the image loader and the header accessors.
#pragma once

#include <cstdint>

// Image file layout and limits.
enum : uint32_t {
  fw_header_size = 64,
  fw_buffer_size = 0x200000,   // the image buffer, as large as the instrument's staging area
  fw_max_size = 0x1C0000,      // 28 transfer blocks of 64 KiB
  fw_body_address = 0xFFE00040 // the one firmware address the instrument's flash layout allows
};

// Byte offsets of the header words.
enum : uint32_t {
  fw_offset_crc = 0,
  fw_offset_address = 4,
  fw_offset_length = 8,
  fw_offset_word3 = 12,
  fw_offset_hdr_crc = 60
};

// Load results; 0 is success. Stopped: the read was ended by the stop
// descriptor (nothing said about the file).
enum : int { fw_load_ok = 0, fw_load_cannot_open = 1, fw_load_rejected = 2, fw_load_stopped = 3 };

// A descriptor that becomes readable when reading an image must stop (an
// interrupt); -1, the default, for none.
void fw_set_stop_fd(int fd);

// The running CRC register, uncomplemented; all ones at program start.
extern uint32_t crc32_state;

// Null data resets the register and returns 0; otherwise continues over
// length bytes and returns the CRC-32 of everything since the last reset.
uint32_t crc32_update(const uint8_t* data, uint32_t length);

uint32_t read_be32(const uint8_t* bytes);

// Reads and checks the image file; 0 loaded, 1 cannot open, 2 rejected, 3
// stopped.
// A non-zero silent suppresses every message.
int load_fw_file(const char* path, int silent);
// The programs' own check of an image: loads it silently and, when it is not
// accepted, says so in the operator's words ("Can not open ...", "Data file
// ... is corrupted"); a stopped load says nothing. Returns the load result.
int load_fw_file_reported(const char* path);

const uint8_t* fw_get_buffer();
uint32_t fw_get_size();
uint32_t fw_get_length();
uint32_t fw_get_flash_base();
// The header words as the loader verified them.
uint32_t fw_get_crc();
uint32_t fw_get_address();
uint32_t fw_get_word3();
uint32_t fw_get_hdr_crc();
