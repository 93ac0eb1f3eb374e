// Instrument link: the one VISA session to the instrument, and the command
// and reply helpers the update phases speak through. A VISA failure never
// comes back from here: it is reported and ends the process with status 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

enum : int32_t {
  gpib_address_max = 30,
  gpib_interface_name_max = 88, // longest name that fits the resource string
  gpib_resource_size = 100,
  gpib_reply_room = 100
};

// Session layer. The machine's VISA library is bound when the layer is first
// used, before anything is sent (see gpib_bind_visa below). gpib_open takes
// the instrument with an exclusive lock, held until the session is closed or
// the process ends, so that no second program can interleave its commands
// with an update.
int32_t gpib_open(int32_t address, const char* interface_name);
int32_t gpib_close();
int32_t gpib_write(const uint8_t* data, uint32_t length, uint32_t* written, int32_t end_flag);
int32_t gpib_read(uint8_t* buffer, uint32_t max, uint32_t* count);
int32_t gpib_set_timeout(int32_t seconds);
int32_t gpib_clear();
[[noreturn]] void gpib_fail(int32_t status);

// The resource string gpib_open opens: "NAME::ADDRESS::INSTR", GPIB0 when no
// name is given. False when it does not fit the room.
bool gpib_resource_name(int32_t address, const char* interface_name, std::span<char, gpib_resource_size> resource);

// For programs that look without changing anything (kescheck): gpib_open
// then takes no lock, so an update that holds the instrument is neither held
// up nor disturbed, and a call that VISA refuses because another program
// holds the lock calls in_use (the program's own report of it) instead of
// the link's message; the run then ends with status 1 as for every failure.
void gpib_look_without_lock(void (*in_use)());

// The path of the machine's VISA library, bound now if it was not yet (the
// process ends with the binding's message when none can be used).
const char* gpib_visa();

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
// The pause the phases take: sleep_ms, and its line in the recording.
void gpib_pause(uint32_t milliseconds);

// Recording (KESLOAD_TRACE, see the manual's TRACE section). The command
// line as given, for the session's first line: noted before the options are
// read, which reorders argv (the strings are kept, not copied). When the
// variable names a file, gpib_trace_start opens it for appending, or says
// "Can't write the trace FILE: REASON" and ends the process with status 1;
// unset, nothing is recorded and nothing costs. program names the program
// in the session's first line.
void gpib_trace_command(int argc, char** argv);
void gpib_trace_start(const char* program);
// The image file the run checked, for the session's first line: image and
// size when it was accepted, null when it was refused.
void gpib_trace_image(const char* path, const uint8_t* image, uint32_t size);
// Every end of the programs' runs: the recording's last line ("end STATUS")
// and, when a line could not be written, "The trace FILE is incomplete:
// REASON" on standard error; then the process ends with status.
[[noreturn]] void gpib_exit(int status);

// Interrupts: after gpib_catch_interrupts, SIGPIPE and SIGHUP are ignored,
// and the first SIGINT or SIGTERM only marks the run as interrupted (a
// second one ends the process); on Windows the same holds for Ctrl-C and
// Ctrl-Break, and closing the console, logging off or shutting down marks
// it too. The session layer looks for the mark before it opens the session
// and before every write or device clear: it then says
// "Interrupted: update not complete, run kesload again", closes the session
// and ends the process with status 1, so a command already written always
// has its reply read.
void gpib_catch_interrupts();
bool gpib_interrupted();
// The first interrupt, for the recording: its name ("SIGINT", "SIGTERM",
// "CTRL_C_EVENT", ...; null before one) and when it came, on the recording's
// clock.
const char* gpib_interrupt_cause();
int64_t gpib_interrupt_time_us();
// POSIX: a descriptor readable once an interrupt has come, for a read that
// must not outlast one; -1 before gpib_catch_interrupts, and on Windows.
int gpib_interrupt_fd();
// Waits up to milliseconds, less when an interrupt comes (or, on POSIX,
// another signal wakes the wait): the pause's one call to the platform.
void gpib_wait_for_interrupt(uint32_t milliseconds);
// Ends the run as above when an interrupt has come; returns otherwise.
void gpib_stop_if_interrupted();
// While on, an interrupt ends the process at once with the same message:
// nothing has been sent yet, and a wait that is not ours (the loader
// opening a library) must not outlast it.
void gpib_interrupt_ends_at_once(bool on);
inline constexpr char gpib_interrupted_message[] = "Interrupted: update not complete, run kesload again\n";

// Instrument search and probe, for programs that look at instruments without
// changing them. Unlike the session above they never end the process and
// print nothing: a device that does not answer is an answer too.
enum : int32_t { gpib_find_room = 256 }; // the longest resource name VISA hands back, with its terminator

// Hands every resource that matches the VISA search expression pattern to
// found, in the order VISA gives them. Returns how many were found (0 when
// none match), or -1 when VISA could not search at all.
int32_t gpib_find(const char* pattern, void (*found)(const char* resource, void* context), void* context);

// Opens resource in a session of its own without a lock, sends the mode
// query with END, waits up to timeout_ms for one reply and closes the
// session. 0 with the reply's number in *mode when it answered; 1 when it
// could not be opened, the query failed, or the reply was missing, empty or
// not one number; 2 when VISA refused a call because another program holds
// the instrument's lock.
int32_t gpib_probe_mode(const char* resource, uint32_t timeout_ms, uint32_t* mode);
// Both of these (and gpib_open) need the resource manager: when VISA cannot
// open it, they say so with its status and end the process with status 1.

// What the machine's VISA libraries are, for a report a technician can send
// (kescheck -V): every library the binding would consider, in its order
// (KESLOAD_VISA's last when it is set), each with what became of it.
struct gpib_library_seen {
  const char* name;    // as the search or KESLOAD_VISA gives it
  const char* path;    // the file it became, or null when no file was loaded
  const char* outcome; // "used", "complete", or why it cannot be used
  bool named;          // KESLOAD_VISA's
  bool used;           // the one the programs bind
  bool loaded;         // loaded whole: the rest below was asked
  // For a library that was loaded whole: its maker and versions as it tells
  // them on its resource manager (empty and 0 when it does not), and the
  // status of opening that resource manager.
  const char* maker;
  uint32_t implementation_version;
  uint32_t specification_version;
  int32_t resource_manager_status;
};
// Hands each library to seen; returns 1 when the one the programs would use
// opens its resource manager, else 0. The search for interfaces (gpib_find)
// then goes through that library.
int32_t gpib_survey_visa(void (*seen)(const gpib_library_seen* library, void* context), void* context);

// The machine's VISA, bound at run time: the library KESLOAD_VISA names (a
// path or a library name) and only that one when it is set, otherwise the
// first complete library of the platform's search. A library that lacks one
// of the first `required` functions is passed over, so none is ever used
// halfway; the others are optional (null when the library lacks them).
// Fills functions[i] with the address of names[i] and returns the library's
// path; when no library can be used, says what was tried and why, and ends
// the process with status 1. An interrupt while the library is being found
// and loaded ends the process at once: nothing has been sent.
const char* gpib_bind_visa(std::span<const char* const> names, size_t required, std::span<void*> functions);
// The path of the bound VISA library; null before gpib_bind_visa.
const char* gpib_visa_library();
// The same search, for a report: every candidate is loaded when it can be
// and handed to visit with its functions (null when it was not loaded); the
// one the binding chooses stays bound, the others are unloaded afterwards.
// With KESLOAD_VISA set, its library comes last.
void gpib_survey_libraries(std::span<const char* const> names, size_t required, std::span<void*> functions,
                           void (*visit)(gpib_library_seen* library, void* context), void* context);

// Text for a report or a message with every control character shown
// escaped ("\n", "\x1B"), so that a name cannot add lines of its own; cut
// to the room.
const char* gpib_printable(const char* text, std::span<char> room);

// What the platform gives the VISA binding (library_<platform>.cpp). All
// text is UTF-8.
enum : size_t { gpib_path_room = 1024, gpib_reason_room = 256 };
inline constexpr char gpib_path_too_long[] = "path longer than 1023 characters";
// The library KESLOAD_VISA names, or null when it is unset or empty.
const char* platform_visa_override();
// Hands each place the platform's VISA libraries are found to try_one, in
// search order, until it returns true. A candidate is a path, or a bare name
// for the platform's own search.
void platform_visa_search(bool (*try_one)(const char* candidate, void* context), void* context);
// What loading a candidate found out.
struct gpib_load_note {
  std::array<char, gpib_reason_room> reason; // why it was refused
  std::array<char, gpib_path_room> path;     // the file it is or would be; empty when none is known
  bool path_too_long;                        // that file's path did not fit
  bool searched;                             // a bare name: path is what the system's search found
};
// Loads candidate with all its symbols resolved now; null when it is
// refused, with why in note->reason: "missing" when nothing by that name
// exists, "not a regular file", "built for another architecture (NAME)",
// the system's words for a file that cannot be read, otherwise "not
// loadable (the loader's words)". A FIFO or a device is never handed to the
// loader.
void* platform_library_load(const char* candidate, gpib_load_note* note);
void* platform_library_symbol(void* library, const char* name);
void platform_library_unload(void* library);
