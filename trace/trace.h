// The trace: one record a line, for every trace the project writes (the
// programs' recordings, the stand-in VISA library's own trace) and for the
// replay that reads them. Free functions over fixed buffers, no heap, so
// that the programs can use it as they use everything else.
//
// A line is "PID TIME DURATION RECORD": the writing process's id; the
// milliseconds since its session started and the duration of what the line
// records, each to 0.1 ms ("-" where there is none); then the record:
//
//   session PROGRAM VERSION PLATFORM START [key=value ...]
//   viWrite(2, "XXCMD?\n" END, 7) = 0x00000000 VI_SUCCESS sent=7[ # comment]
//   pause 2000
//   interrupt SIGINT
//   end 1
//
// man/kesload.1 (TRACE) describes the records for other readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

enum : size_t {
  trace_line_room = 4608,    // one line, its line feed included
  trace_write_text_max = 100, // longer writes are shown by count and CRC
  trace_read_text_max = 1024, // longer reads likewise; kesload's replies are at most 100 bytes
  trace_string_text_max = 100 // resource names and other strings of the calls
};

// One record (or a whole line) under construction. What does not fit is
// dropped and marks the text cut; it is never written past its room.
struct trace_text {
  char data[trace_line_room];
  size_t length;
  bool cut;
};

void trace_clear(trace_text& text);
void trace_add(trace_text& text, std::string_view piece);
[[gnu::format(printf, 2, 3)]] void trace_addf(trace_text& text, const char* format, ...);
// Bytes between double quotes: \n \r \t \\ \" escaped, other bytes outside
// printable ASCII as \xHH, so no control character is ever written raw.
void trace_add_quoted(trace_text& text, const uint8_t* bytes, size_t length);
// Bytes as quoted text when there are at most text_max of them, otherwise
// "[N bytes crc=0x%08X]".
void trace_add_data(trace_text& text, const uint8_t* bytes, size_t length, size_t text_max);
// A string argument or result: quoted up to trace_string_text_max bytes,
// "NULL" for none.
void trace_add_string(trace_text& text, const char* string);
// "0x%08X" and, for a status VISA defines, a blank and its name.
void trace_add_status(trace_text& text, int32_t status);
// An attribute by its VISA name, or "0x%08X".
void trace_add_attribute(trace_text& text, uint32_t attribute);

// VISA facts the records need: status names, attribute names and the width
// viGetAttribute stores each attribute in (0 for a string; 0 also when
// unknown, see trace_attribute_known).
const char* trace_status_name(int32_t status); // null when not one VISA defines
bool trace_status_from_name(std::string_view name, int32_t& status);
const char* trace_attribute_name(uint32_t attribute);
bool trace_attribute_known(uint32_t attribute);
size_t trace_attribute_width(uint32_t attribute);

enum : uint32_t {
  trace_attr_send_end_en = 0x3FFF0016,
  trace_attr_rsrc_manf_name = 0xBFFF0174,
  trace_attr_rsrc_impl_version = 0x3FFF0003
};
enum : int32_t { trace_status_success = 0, trace_status_nsup_attr = static_cast<int32_t>(0xBFFF001DU) };

// CRC-32 (IEEE 802.3, as zlib's crc32) of the bytes; eight bytes a step, so
// that recording a download costs little.
uint32_t trace_crc32(const uint8_t* bytes, size_t length);

// The VISA calls the programs make, as records: the call part
// ("viWrite(2, ...)"), which a replay compares, and the whole record with
// the status and what the call gave back. Results are shown when the
// status is 0 or above (a count also when it is not 0).
void trace_call_open_default_rm(trace_text& text);
void trace_call_open(trace_text& text, uint32_t rm, const char* name, uint32_t mode, uint32_t timeout);
void trace_call_close(trace_text& text, uint32_t vi);
void trace_call_set_attribute(trace_text& text, uint32_t vi, uint32_t attribute, uint64_t value);
void trace_call_get_attribute(trace_text& text, uint32_t vi, uint32_t attribute);
// end: END goes with the last byte (the session's VI_ATTR_SEND_END_EN, and
// at least one byte); null data with a count is "NULL".
void trace_call_write(trace_text& text, uint32_t vi, const uint8_t* data, uint32_t count, bool end);
void trace_call_read(trace_text& text, uint32_t vi, uint32_t room);
void trace_call_clear(trace_text& text, uint32_t vi);
void trace_call_find_rsrc(trace_text& text, uint32_t rm, const char* expression);
void trace_call_find_next(trace_text& text, uint32_t list);

void trace_open_default_rm(trace_text& text, int32_t status, uint32_t rm);
void trace_open(trace_text& text, uint32_t rm, const char* name, uint32_t mode, uint32_t timeout, int32_t status,
                uint32_t vi);
void trace_close(trace_text& text, uint32_t vi, int32_t status);
void trace_set_attribute(trace_text& text, uint32_t vi, uint32_t attribute, uint64_t value, int32_t status);
// string: the value when the attribute is a string, else number.
void trace_get_attribute(trace_text& text, uint32_t vi, uint32_t attribute, int32_t status, const char* string,
                         uint64_t number);
void trace_write(trace_text& text, uint32_t vi, const uint8_t* data, uint32_t count, bool end, int32_t status,
                 uint32_t sent);
// The bytes read; " END" when the status is VI_SUCCESS, VISA's word that END
// came with the last byte.
void trace_read(trace_text& text, uint32_t vi, uint32_t room, int32_t status, const uint8_t* data, uint32_t got);
void trace_clear_call(trace_text& text, uint32_t vi, int32_t status);
void trace_find_rsrc(trace_text& text, uint32_t rm, const char* expression, int32_t status, uint32_t list,
                     uint32_t count, const char* first);
void trace_find_next(trace_text& text, uint32_t list, int32_t status, const char* name);

// The start of a session's first record: "session PROGRAM VERSION PLATFORM
// START", START the UTC time of unix_ms as 2026-12-11T16:18:00.123Z. The
// writer adds its fields as " key=value" after it.
void trace_session(trace_text& text, const char* program, int64_t unix_ms);

// A whole line: "PID TIME DURATION RECORD\n" into line (cleared first).
// Times in microseconds, shown in milliseconds to 0.1 ms; a negative
// duration is "-".
void trace_make_line(trace_text& line, long pid, int64_t time_us, int64_t duration_us, const trace_text& record);

// Reading a line back.
enum class trace_kind : uint8_t { session, call, pause, interrupt, end };

struct trace_record {
  trace_kind kind = trace_kind::call;
  long pid = 0;
  int64_t time_us = 0;
  int64_t duration_us = -1; // -1: "-"
  std::string_view record;  // RECORD, without a comment
  // A call: its function, its call part, its status and what follows the
  // status (and its name), without a comment.
  std::string_view function;
  std::string_view call;
  uint32_t session = 0; // the first argument
  int32_t status = 0;
  std::string_view results;
  // session: the program; pause: the milliseconds asked; interrupt: which;
  // end: the exit status.
  std::string_view word;
  int64_t number = 0;
};

// Parses one line, without its line feed. False, with why in *reason, when
// it is not a trace line.
bool trace_parse(std::string_view line, trace_record& out, const char** reason);

// Results: " key=N" (decimal), a quoted string's bytes, a number or a string
// of viGetAttribute.
bool trace_result_number(std::string_view results, std::string_view key, uint64_t& value);
// The first quoted string of text, unescaped into out (at most room bytes);
// false when there is none or it does not fit.
bool trace_result_bytes(std::string_view text, uint8_t* out, size_t room, size_t& length);
