// The stand-in VISA library's own state: the loaded configuration, the
// simulated instruments it declared, and the open sessions.
#pragma once

// The VISA functions are the library's interface; everything else stays
// inside it.
#pragma GCC visibility push(default)
#include <visa.h>
#pragma GCC visibility pop

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <trace.h>

struct sim_instrument;

namespace kesvisa {

// The calls a configuration can make fail.
enum class call : uint8_t { open_default_rm, open, write, read, clear, close };
inline constexpr size_t call_kinds = 6;

// The nth call of a kind (from 1; 0 means every call) returns status.
struct fault {
  call which;
  uint64_t nth;
  ViStatus status;
};

// First fault that matches the call numbered count, if any.
const fault* find_fault(const std::vector<fault>& faults, call which, uint64_t count);

// A resource string taken apart: "GPIB0::17::INSTR", "GPIB::17",
// "GPIB0::17::0::INSTR", ..., or an interface's, "GPIB0::INTFC".
struct resource_name {
  std::string canonical;      // the form every name of the resource shares, see parse_resource
  std::string interface_name; // "GPIB0": the interface's letters in capitals and its board number
  bool interface = false;     // the interface itself (class INTFC), not an instrument on it
  uint16_t board = 0;
  uint16_t primary = 0;
  uint16_t secondary = VI_NO_SEC_ADDR;
};

struct instrument {
  resource_name name; // as its section declares it
  sim_instrument* sim = nullptr;
  // The exclusive lock: the session of this process that holds it, and the
  // state file opened for the lock across processes (-1 without a state
  // file: the instrument then lives in this process only, and so does its
  // lock).
  ViSession lock_holder = VI_NULL;
  int lock_fd = -1;
  std::vector<fault> faults;
  bool cable_set = false;
  uint64_t cable = 0;              // bus transactions that still get through
  uint64_t calls[call_kinds] = {}; // calls so far, per kind
  uint64_t transactions = 0;       // writes, reads and clears that reached the bus

  instrument() = default;
  instrument(const instrument&) = delete;
  instrument& operator=(const instrument&) = delete;
  ~instrument(); // destroys the simulated instrument, drops the lock
};

// The exclusive lock on an instrument (lock.cpp). The state file opened for
// the lock, or false with the reason.
bool open_lock(instrument& inst, const std::string& state_path, std::string& reason);
// Takes the lock for session vi, about to open, waiting up to timeout_ms ×
// scale while another process holds it: VI_SUCCESS, VI_ERROR_RSRC_LOCKED, or
// VI_ERROR_SYSTEM_ERROR when the system cannot tell.
ViStatus take_lock(instrument& inst, ViSession vi, ViUInt32 timeout_ms, double scale);
void release_lock(instrument& inst, ViSession vi);
// Whether session vi may use the instrument: VI_ERROR_RSRC_LOCKED while
// another session, here or in another process, holds its lock.
ViStatus lock_allows(const instrument& inst, ViSession vi);
// The lock state of the instrument as session vi sees it, or nothing when
// the system cannot tell.
std::optional<ViAccessMode> lock_state(const instrument& inst, ViSession vi);

// One record of the trace, built on the stack (the per-call paths allocate
// nothing), in the format of trace/trace.h. Made when the call starts, so
// that its line tells how long the call took.
class trace_line {
public:
  trace_line();
  [[gnu::format(printf, 2, 3)]] void add(const char* format, ...);
  void add_status(ViStatus status);
  // A string argument: quoted and escaped, or NULL.
  void add_text(const char* text);
  trace_text& text() { return text_; }
  int64_t started_us() const { return started_us_; }

private:
  trace_text text_{};
  int64_t started_us_;
};

class trace_file {
public:
  trace_file() = default;
  trace_file(trace_file&& other) noexcept : fd_(other.fd_), started_us_(other.started_us_) { other.fd_ = -1; }
  trace_file& operator=(trace_file&& other) noexcept;
  trace_file(const trace_file&) = delete;
  trace_file& operator=(const trace_file&) = delete;
  ~trace_file() { close(); }

  // Opens the file for appending, creating it if need be (processes that
  // share a trace never erase each other's lines), and starts this
  // process's session with a line naming the configuration.
  bool open(const std::string& path, const std::string& config_path, std::string& reason);
  void close();
  bool on() const { return fd_ >= 0; }
  // Writes the line (process id, times, record, line feed) in one write, so
  // a killed run keeps it and lines of processes never interleave.
  void write(trace_line& line);

private:
  int fd_ = -1;
  int64_t started_us_ = 0;
};

struct configuration {
  std::vector<std::unique_ptr<instrument>> instruments;
  std::vector<fault> rm_faults;
  std::string trace_path;
  double timeout_scale = 1.0;
  trace_file trace; // opened at load when trace_path is set
  instrument* find(std::string_view canonical) const;
  // The interfaces the instruments sit on, "GPIB0::INTFC", in board order.
  std::vector<std::string> interfaces() const;
  bool has_interface(std::string_view canonical) const;
  // The instrument a name opens: the section of the same canonical name,
  // or for secondary address 0 the section without one when no section
  // declares 0 (see README.md).
  instrument* find(const resource_name& name) const;
};

// Reads the configuration file at path into out. On a fault prints one line
// "kesvisa: FILE[:LINE]: reason" on standard error and returns false.
bool load_configuration(const char* path, configuration& out);

// A resource string NAME[BOARD]::PRIMARY[::SECONDARY][::INSTR] or
// NAME[BOARD]::INTFC taken apart, or nothing when text is not one.
std::optional<resource_name> parse_resource(std::string_view text);

// Whether name matches a VISA resource expression ("?*::INSTR"); nothing
// when the expression is not one the library understands.
std::optional<bool> resource_matches(std::string_view expression, std::string_view name);

// The standard's description of a status, or null when it is not known.
const char* status_description(ViStatus status);

// A status written as a decimal or 0x hexadecimal number or as a VI_ name.
std::optional<ViStatus> parse_status(std::string_view text);

// Waits milliseconds × scale, really; VI_TMO_INFINITE waits for ever.
void wait_scaled(ViUInt32 milliseconds, double scale);

enum class session_kind : uint8_t { resource_manager, instrument, find_list };

struct session {
  session_kind kind = session_kind::resource_manager;
  instrument* inst = nullptr; // set for instrument sessions only
  ViSession rm = VI_NULL;     // the resource manager it was opened through
  bool send_end = true;
  ViUInt32 timeout_ms = 2000;
  ViUInt8 termchar = '\n';
  bool termchar_en = false;
  // A find list: the names found and how many viFindRsrc and viFindNext
  // gave out so far.
  std::vector<std::string> found;
  size_t given = 0;
};

enum class load_state : uint8_t { unloaded, loaded, failed };

struct library {
  std::mutex lock;
  load_state state = load_state::unloaded;
  configuration config;
  std::map<ViSession, session> sessions;
  ViSession next_session = 1;
  ViSession rm = VI_NULL; // the open resource-manager session
  uint64_t rm_calls = 0;

  session* find(ViSession vi);
  ViSession next_number() const; // the number new_session gives next
  ViSession new_session(const session& s);
  void reset();
};

library& lib();

} // namespace kesvisa
