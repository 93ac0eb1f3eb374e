// Instrument link: the one VISA session to the instrument, and the command
// and reply helpers the update phases speak through. A VISA failure never
// comes back from here: it is reported and ends the process with status 1.
#pragma once

#include <cstdint>

enum : int32_t {
  gpib_address_max = 30,
  gpib_interface_name_max = 88, // longest name that fits the resource string
  gpib_resource_size = 100,
  gpib_reply_room = 100
};

// Session layer
int32_t gpib_open(int32_t address, const char* interface_name);
int32_t gpib_close();
int32_t gpib_write(const uint8_t* data, uint32_t length, uint32_t* written, int32_t end_flag);
int32_t gpib_read(uint8_t* buffer, uint32_t max, uint32_t* count);
int32_t gpib_set_timeout(int32_t seconds);
int32_t gpib_clear();
[[noreturn]] void gpib_fail(int32_t status);

// The two commands the helpers send themselves.
inline constexpr char gpib_cmd_opc[] = "*OPC?\n";
inline constexpr char gpib_cmd_mode[] = "XXCMD?\n";

// Command and reply helpers; 0 done, 2 refused or empty reply (reported).
int32_t gpib_send(const char* text);
int32_t gpib_send_end(const char* text, int32_t end_flag);
int32_t gpib_send_block(const uint8_t* data, uint32_t length, int32_t end_flag);
// Formats a command into a 100-character buffer and sends it with END.
[[gnu::format(printf, 1, 2)]] int32_t gpib_send_format(const char* format, ...);
int32_t gpib_uint32(uint32_t* value);
int32_t gpib_int32(int32_t* value);
uint32_t gpib_opc();
int32_t query_mode();

// The number syntax of the replies (and of the -a option): leading white
// space, a sign, then decimal, "0x" hexadecimal or leading-zero octal digits,
// as C strtol with base 0 on a 32-bit long. The unsigned reading saturates
// the magnitude at 4294967295 first and then applies a minus sign, so "-1"
// is 4294967295 and a minus before a magnitude beyond 32 bits gives 1.
uint32_t gpib_to_uint32(const char* text);
int32_t gpib_to_int32(const char* text);
// For those who must not take a wrong reading for a value: *value as
// gpib_to_uint32 gives it, and true only when text is one number with
// nothing after it but white space.
bool gpib_reply_uint32(const char* text, uint32_t* value);
// gpib_uint32 for those: 0 a number, 2 an empty reply (reported), 3 a reply
// that is not one number (not reported).
int32_t gpib_uint32_checked(uint32_t* value);

// The -a and -g options of the programs, as kesload reads them: the address
// one whole number in the reply number syntax with nothing after it, 0 to
// 30; the interface name short enough for the resource string. Each prints
// its message ("invalid GPIB address %s" with the text as given when it is
// not one number, "invalid GPIB address %d" when out of range, "invalid GPIB
// interface name %s") and returns false when refused.
bool gpib_option_address(const char* text, int32_t* address);
bool gpib_option_interface(const char* name);

// A failure message on standard error, after flushing standard output so that
// both keep their order in a shared log.
[[gnu::format(printf, 1, 2)]] void report_error(const char* format, ...);

// The platform's pause; the one place the program waits on purpose. An
// interrupt ends it early.
void sleep_ms(uint32_t milliseconds);

// Interrupts: after gpib_catch_interrupts, SIGPIPE and SIGHUP are ignored,
// and the first SIGINT or SIGTERM only marks the run as interrupted (a
// second one ends the process). The session layer looks for the mark before
// it opens the session and before every write or device clear: it then says
// "Interrupted: update not complete, run kesload again", closes the session
// and ends the process with status 1, so a command already written always
// has its reply read.
void gpib_catch_interrupts();
bool gpib_interrupted();
// Readable once an interrupt has come; -1 before gpib_catch_interrupts.
int gpib_interrupt_fd();
// Ends the run as above when an interrupt has come; returns otherwise.
void gpib_stop_if_interrupted();

// Instrument search and probe, for programs that look at instruments without
// changing them. Unlike the session above they never end the process and
// print nothing: a device that does not answer is an answer too.
enum : int32_t { gpib_find_room = 256 }; // the longest resource name VISA hands back, with its terminator

// Hands every resource that matches the VISA search expression pattern to
// found, in the order VISA gives them. Returns how many were found (0 when
// none match), or -1 when VISA could not search at all.
int32_t gpib_find(const char* pattern, void (*found)(const char* resource, void* context), void* context);

// Opens resource in a session of its own, sends the mode query with END,
// waits up to timeout_ms for one reply and closes the session. 0 with the
// reply's number in *mode when it answered; 1 when it could not be opened,
// the query failed, or the reply was missing, empty or not one number.
int32_t gpib_probe_mode(const char* resource, uint32_t timeout_ms, uint32_t* mode);
