// What kesimage asks of the file system: the body read whole, the output
// judged before it is replaced, and no temporary file left by a signal.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int { body_read = 0, body_cannot_open = 1, body_not_regular = 2, body_read_failed = 3 };

// Reads the regular file at path into buffer, at most room bytes, without
// waiting at the open (a FIFO nobody writes would hang it); errno tells why
// it could not be opened.
int files_read_body(const char* path, uint8_t* buffer, size_t room, size_t* length);

enum : int { output_replaceable = 0, output_not_regular = 1, output_symbolic_link = 2, output_is_body = 3 };

// Whether image_path may be created or replaced: only a regular file that
// is not the body itself (a symbolic link is refused, not followed).
int files_check_output(const char* image_path, const char* body_path);

// Interrupts and termination remove the temporary image file before they end
// the process; the file size limit fails the write instead of killing it.
void files_clean_up_on_signals();
