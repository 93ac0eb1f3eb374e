// Pieces shared by the phases; not part of the module's interface.
#pragma once

#include <cstdint>

// How many 64 KiB transfer blocks a file of size bytes takes.
constexpr uint32_t phase_block_count(uint32_t size) { return (size + 0xFFFFU) >> 16; }

// Progress on standard output when verbose is on; a dot is flushed at once.
[[gnu::format(printf, 1, 2)]] void phase_progress(const char* format, ...);
void phase_dot();

// Reads the instrument's answer to an erase or programming command: 0 done;
// 1 no reply (the reader has said so); 2 a failure code, reported with
// failure_format, which takes the code as its one "%d".
int32_t phase_read_code(const char* failure_format);

// Has the instrument compare the CRC word stored at stored_at with the CRC
// it calculates over length bytes from start, and the stored word with
// file_word, the image file's own. 0 when all three agree; 1 when a reply was
// missing (the reader has said so); 2 otherwise, reported as the line failure
// followed by the expected word (the stored one, or the file's when only that
// differs) and the calculated one. So an intact copy of some other image
// never passes.
int32_t phase_check_crc(uint32_t stored_at, uint32_t start, uint32_t length, uint32_t file_word,
                        const char* failure);
