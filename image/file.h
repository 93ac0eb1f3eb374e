// Reading the image file, where the platforms differ; used by the loader.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens the file for reading without waiting at the open (a FIFO nobody
// writes would block it for ever); -1 with errno set when it cannot.
int fw_file_open(const char* path);

enum : int { fw_file_read = 0, fw_file_stopped = 1 };

// Reads fd into buffer, up to room bytes, until its end or a read error. A
// pipe that stalls is waited on until stop_fd (when not negative) becomes
// readable, which ends the read at once: fw_file_stopped.
int fw_file_read_all(int fd, uint8_t* buffer, size_t room, int stop_fd, size_t* length);

void fw_file_close(int fd);
