// The recording of a session (KESLOAD_TRACE), as the session layer drives
// it: recorder.cpp keeps the session and writes its lines in the format of
// trace/trace.h; recorder_<platform>.cpp has the file, the clocks and the
// environment. Inside the link module only.
#pragma once

#include <trace.h>

#include <cstddef>
#include <cstdint>

// Whether this run records; false until gpib_trace_start found KESLOAD_TRACE.
bool recorder_on();
// The session's first line, once the VISA library is bound and before the
// first call. When it cannot be written the run ends there with "Can't
// write the trace FILE: REASON" and status 1: nothing has been sent.
void recorder_begin(const char* visa_library);
// A call starts: an interrupt that came before it is written first. Returns
// when the call started (recorder_clock_us).
int64_t recorder_call_start();
// The call's record, written as one line once it returned; an interrupt
// that came during the call follows it.
void recorder_call(int64_t started_us, const trace_text& record);
// A pause of the asked milliseconds that started then has ended.
void recorder_pause(int64_t started_us, uint32_t milliseconds);
// The END attribute the program last set on session vi (VISA's default: on).
bool recorder_send_end(uint32_t vi);
void recorder_set_send_end(uint32_t vi, bool on);
// The offset of data in the image the program checked, or -1 when it lies
// elsewhere.
int64_t recorder_image_offset(const void* data, uint32_t length);

// The platform's part. The file is a handle in an integer, -1 for none; the
// failures give the system's words in reason.
const char* recorder_variable(); // KESLOAD_TRACE in UTF-8, or null when unset or empty
// Opened for appending, created when missing; a last line left without its
// line feed (a full disk, a power cut) is ended first, so that this
// session's lines start lines of their own.
intptr_t recorder_file_open(const char* path, char* reason, size_t room);
// Appends the bytes in one piece at the file's end, whole even when other
// processes append to the same file.
bool recorder_file_append(intptr_t file, const char* data, size_t length, char* reason, size_t room);
void recorder_file_close(intptr_t file);
int64_t recorder_clock_us(); // steady, from any origin; safe in a signal handler
int64_t recorder_unix_ms();  // UTC
long recorder_process_id();
