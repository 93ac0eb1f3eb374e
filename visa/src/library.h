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

struct instrument {
  std::string resource; // canonical form, see canonical_resource
  sim_instrument* sim = nullptr;
  std::vector<fault> faults;
  bool cable_set = false;
  uint64_t cable = 0;              // bus transactions that still get through
  uint64_t calls[call_kinds] = {}; // calls so far, per kind
  uint64_t transactions = 0;       // writes, reads and clears that reached the bus

  instrument() = default;
  instrument(const instrument&) = delete;
  instrument& operator=(const instrument&) = delete;
  ~instrument(); // destroys the simulated instrument
};

// One line of the trace, built on the stack: the per-call paths allocate
// nothing.
class trace_line {
public:
  [[gnu::format(printf, 2, 3)]] void add(const char* format, ...);
  void add_status(ViStatus status);
  // Bytes as a quoted string, or as their count and CRC when long or binary.
  void add_data(const uint8_t* data, size_t length);
  // A string argument: quoted and escaped, or NULL.
  void add_text(const char* text);
  // Closes the line with its newline, cutting it short if need be.
  void end();
  const char* data() const { return buffer_; }
  size_t size() const { return length_; }

private:
  void put(char c);
  void put_escaped(uint8_t byte);
  char buffer_[1024]{};
  size_t length_ = 0;
};

class trace_file {
public:
  trace_file() = default;
  trace_file(trace_file&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  trace_file& operator=(trace_file&& other) noexcept;
  trace_file(const trace_file&) = delete;
  trace_file& operator=(const trace_file&) = delete;
  ~trace_file() { close(); }

  // Creates or truncates the file.
  bool open(const std::string& path, std::string& reason);
  void close();
  bool on() const { return fd_ >= 0; }
  // Writes the line and its newline in one go, so a killed run keeps it.
  void write(trace_line& line);

private:
  int fd_ = -1;
};

struct configuration {
  std::vector<std::unique_ptr<instrument>> instruments;
  std::vector<fault> rm_faults;
  std::string trace_path;
  double timeout_scale = 1.0;
  trace_file trace; // opened at load when trace_path is set
  instrument* find(std::string_view canonical) const;
};

// Reads the configuration file at path into out. On a fault prints one line
// "kesvisa: FILE[:LINE]: reason" on standard error and returns false.
bool load_configuration(const char* path, configuration& out);

// "NAME::N::INSTR" in the form every name of the same resource shares
// (interface name in capitals, address without leading zeros), or nothing
// when text is not a resource string of that form.
std::optional<std::string> canonical_resource(std::string_view text);

// A status written as a decimal or 0x hexadecimal number or as a VI_ name.
std::optional<ViStatus> parse_status(std::string_view text);

// Waits milliseconds × scale, really; VI_TMO_INFINITE waits for ever.
void wait_scaled(ViUInt32 milliseconds, double scale);

struct session {
  instrument* inst = nullptr; // null for the resource manager
  ViSession rm = VI_NULL;     // the resource manager it was opened through
  bool send_end = true;
  ViUInt32 timeout_ms = 2000;
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
  ViSession new_session(const session& s);
  void reset();
};

library& lib();

} // namespace kesvisa
