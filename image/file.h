// Reading the image file, where the platforms differ; used by the loader.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int { fw_file_read = 0, fw_file_cannot_open = 1, fw_file_stopped = 3 };

// Reads the file at path into buffer, up to room bytes, until its end or a
// read error; errno tells why it could not be opened. A FIFO nobody writes
// does not block the open; a pipe that stalls is read until stop_fd (when
// not negative) becomes readable, which ends the read at once.
int fw_file_read_all(const char* path, uint8_t* buffer, size_t room, int stop_fd, size_t* length);
