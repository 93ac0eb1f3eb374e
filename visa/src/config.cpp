// The configuration file: global keys, then one section per simulated
// instrument. Our own keys are handled here; every other key of a section
// goes to the simulated instrument.
#include "library.h"

#include <files.h>
#include <sim.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kesvisa {

instrument::~instrument() {
  if (sim != nullptr) {
    sim_destroy(sim);
  }
  if (lock_fd >= 0) {
    ksim::file_close(lock_fd);
  }
}

instrument* configuration::find(std::string_view canonical) const {
  for (const auto& inst : instruments) {
    if (inst->name.canonical == canonical) {
      return inst.get();
    }
  }
  return nullptr;
}

std::vector<std::string> configuration::interfaces() const {
  std::vector<const resource_name*> names;
  for (const auto& inst : instruments) {
    names.push_back(&inst->name);
  }
  std::ranges::sort(names, [](const resource_name* a, const resource_name* b) {
    return a->board != b->board ? a->board < b->board : a->interface_name < b->interface_name;
  });
  std::vector<std::string> out;
  for (const resource_name* name : names) {
    std::string interface = name->interface_name + "::INTFC";
    if (out.empty() || out.back() != interface) {
      out.push_back(std::move(interface));
    }
  }
  return out;
}

bool configuration::has_interface(std::string_view canonical) const {
  return std::ranges::any_of(
      instruments, [canonical](const auto& inst) { return inst->name.interface_name + "::INTFC" == canonical; });
}

instrument* configuration::find(const resource_name& name) const {
  if (name.interface) {
    return nullptr; // the stand-in serves instruments only
  }
  if (instrument* inst = find(name.canonical)) {
    return inst;
  }
  if (name.secondary != 0) {
    return nullptr;
  }
  // PyVISA 1.11 writes every GPIB name it opens with secondary address 0.
  for (const auto& inst : instruments) {
    const resource_name& declared = inst->name;
    if (declared.secondary == VI_NO_SEC_ADDR && declared.interface_name == name.interface_name &&
        declared.primary == name.primary) {
      return inst.get();
    }
  }
  return nullptr;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && is_blank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    s = trim(s);
    if (s.empty()) {
      return out;
    }
    size_t end = 0;
    while (end < s.size() && !is_blank(s[end])) {
      ++end;
    }
    out.push_back(s.substr(0, end));
    s.remove_prefix(end);
  }
}

std::optional<uint64_t> parse_count(std::string_view text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  return value;
}

struct call_name {
  const char* name;
  call which;
};

constexpr call_name call_names[] = {
    {"viOpenDefaultRM", call::open_default_rm},
    {"viOpen", call::open},
    {"viWrite", call::write},
    {"viRead", call::read},
    {"viClear", call::clear},
    {"viClose", call::close},
};

std::optional<call> call_named(std::string_view name) {
  for (const auto& entry : call_names) {
    if (name == entry.name) {
      return entry.which;
    }
  }
  return std::nullopt;
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

class loader {
public:
  loader(const char* file, configuration& config) : file_(file), config_(config) {}

  bool run(std::string_view text) {
    while (!text.empty()) {
      const size_t newline = text.find('\n');
      std::string_view line = text.substr(0, newline);
      text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
      ++line_;
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
      }
      if (!take_line(line)) {
        return false;
      }
    }
    if (!end_section()) {
      return false;
    }
    std::string reason;
    if (!config_.trace_path.empty() && !config_.trace.open(config_.trace_path, file_, reason)) {
      return fail_at(trace_line_, reason);
    }
    return true;
  }

  void report() const { std::fprintf(stderr, "kesvisa: %s:%zu: %s\n", file_, error_line_, reason_.c_str()); }

private:
  bool fail(std::string reason) { return fail_at(line_, std::move(reason)); }

  bool fail_at(size_t line, std::string reason) {
    error_line_ = line;
    reason_ = std::move(reason);
    return false;
  }

  bool take_line(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) {
      return fail("a NUL byte in the line");
    }
    line = trim(line);
    if (line.empty() || line.front() == '#') {
      return true;
    }
    if (line.front() == '[') {
      if (line.back() != ']') {
        return fail("a section header ends with ']'");
      }
      return end_section() && begin_section(trim(line.substr(1, line.size() - 2)));
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      return fail("expected 'key = value', '[RESOURCE]' or a '#' comment");
    }
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    if (key.empty()) {
      return fail("a key is missing before '='");
    }
    return section_ == nullptr ? global_key(key, value) : section_key(key, value);
  }

  bool begin_section(std::string_view name) {
    auto parsed = parse_resource(name);
    if (!parsed) {
      return fail(quoted(name) + " is not a resource name of the form NAME[BOARD]::ADDRESS[::SECONDARY][::INSTR]");
    }
    if (parsed->interface) {
      return fail(quoted(name) + " names an interface; a section declares an instrument on one, "
                                 "NAME[BOARD]::ADDRESS[::SECONDARY][::INSTR]");
    }
    if (config_.find(parsed->canonical) != nullptr) {
      return fail(quoted(name) + " is declared twice");
    }
    auto inst = std::make_unique<instrument>();
    inst->name = std::move(*parsed);
    inst->sim = sim_create();
    if (inst->sim == nullptr) {
      return fail("the simulated instrument could not be created");
    }
    section_ = inst.get();
    section_line_ = line_;
    key_lines_.clear();
    config_.instruments.push_back(std::move(inst));
    return true;
  }

  bool end_section() {
    if (section_ == nullptr) {
      return true;
    }
    char err[256] = {};
    const int result = sim_start(section_->sim, err, sizeof err);
    instrument& started = *section_;
    section_ = nullptr;
    if (result != 0) {
      return fail_at(line_of_key_in(err), err[0] != '\0' ? err : "the simulated instrument could not start");
    }
    // The state file is the instrument: its lock is taken there.
    std::string reason;
    if (!state_path_.empty() && !open_lock(started, state_path_, reason)) {
      return fail_at(line_of_key_in(reason), reason);
    }
    state_path_.clear();
    return true;
  }

  // The instrument names the key its start failed on first ("state ...:
  // reason"); the error points at that key's line, else at the section's.
  size_t line_of_key_in(std::string_view reason) const {
    const std::string_view key = reason.substr(0, reason.find_first_of(" :"));
    const auto it = key_lines_.find(std::string(key));
    return it != key_lines_.end() ? it->second : section_line_;
  }

  bool global_key(std::string_view key, std::string_view value) {
    if (key == "trace") {
      if (value.empty()) {
        return fail("trace needs a file name");
      }
      if (!config_.trace_path.empty()) {
        return fail("trace is given twice");
      }
      config_.trace_path = value;
      trace_line_ = line_;
      return true;
    }
    if (key == "timeout_scale") {
      if (scale_seen_) {
        return fail("timeout_scale is given twice");
      }
      double scale = 0;
      const char* end = value.data() + value.size();
      const auto [stop, error] = std::from_chars(value.data(), end, scale);
      if (value.empty() || error != std::errc{} || stop != end || !std::isfinite(scale) || scale < 0) {
        return fail("timeout_scale wants a number of 0 or more, not " + quoted(value));
      }
      config_.timeout_scale = scale;
      scale_seen_ = true;
      return true;
    }
    if (key == "fail") {
      return fail_key(value, config_.rm_faults, true);
    }
    return fail("unknown key " + quoted(key) + " before the first [RESOURCE] section");
  }

  bool section_key(std::string_view key, std::string_view value) {
    if (key == "cable") {
      if (section_->cable_set) {
        return fail("cable is given twice");
      }
      const auto count = parse_count(value);
      if (!count) {
        return fail("cable wants the number of bus transactions that still get through, not " + quoted(value));
      }
      section_->cable_set = true;
      section_->cable = *count;
      return true;
    }
    const auto parts = words(value);
    if (key == "fail" && !parts.empty() && call_named(parts[0])) {
      return fail_key(value, section_->faults, false);
    }
    char err[256] = {};
    const std::string k(key);
    std::string v(value);
    // The instrument's state belongs with its configuration: a run from
    // another folder must find the same instrument, not create a new one.
    if (key == "state" && !v.empty() && !ksim::path_absolute(v)) {
      const std::string file(file_);
      v = file.substr(0, ksim::path_folder_length(file)) + v;
    }
    switch (sim_configure(section_->sim, k.c_str(), v.c_str(), err, sizeof err)) {
    case 0:
      key_lines_[k] = line_;
      if (key == "state") {
        state_path_ = v;
      }
      return true;
    case 1:
      if (key == "fail") {
        return fail("fail wants 'FUNCTION [N] STATUS' with one of viOpen, viWrite, viRead, viClear, viClose");
      }
      return fail("unknown key " + quoted(key));
    default:
      return fail(err[0] != '\0' ? std::string(err) : "bad value for " + quoted(key));
    }
  }

  // fail = FUNCTION [N] STATUS
  bool fail_key(std::string_view value, std::vector<fault>& faults, bool global) {
    const auto parts = words(value);
    if (parts.size() < 2 || parts.size() > 3) {
      return fail("fail wants 'FUNCTION [N] STATUS', not " + quoted(value));
    }
    const auto which = call_named(parts[0]);
    if (!which) {
      return fail(quoted(parts[0]) + " is not a VISA function that can be made to fail");
    }
    if (global && *which != call::open_default_rm) {
      return fail(std::string(parts[0]) + " faults belong in an instrument's [RESOURCE] section");
    }
    if (!global && *which == call::open_default_rm) {
      return fail("viOpenDefaultRM faults belong before the first [RESOURCE] section");
    }
    // Opening may fail every time; the bus calls and the close fail once,
    // at the call named.
    const bool every_allowed = *which == call::open_default_rm || *which == call::open;
    if (!every_allowed && parts.size() != 3) {
      return fail(std::string(parts[0]) + " faults want 'N STATUS': which call, counted from 1, and its status");
    }
    uint64_t nth = 0;
    if (parts.size() == 3) {
      const auto count = parse_count(parts[1]);
      if (!count || *count == 0) {
        return fail("the call number counts from 1, not " + quoted(parts[1]));
      }
      nth = *count;
    }
    const auto status = parse_status(parts.back());
    if (!status) {
      return fail(quoted(parts.back()) + " is not a status (a number, 0x hexadecimal or a VI_ name)");
    }
    for (const auto& f : faults) {
      if (f.which == *which && f.nth == nth) {
        return fail("this fault of " + std::string(parts[0]) + " is given twice");
      }
    }
    faults.push_back({*which, nth, *status});
    return true;
  }

  const char* file_;
  configuration& config_;
  size_t line_ = 0;
  instrument* section_ = nullptr;
  size_t section_line_ = 0;
  std::map<std::string, size_t> key_lines_; // the section's instrument keys, each at its last line
  std::string state_path_;                  // the section's state file, as the instrument has it
  bool scale_seen_ = false;
  size_t trace_line_ = 0;
  size_t error_line_ = 0;
  std::string reason_;
};

} // namespace

const fault* find_fault(const std::vector<fault>& faults, call which, uint64_t count) {
  for (const auto& f : faults) {
    if (f.which == which && (f.nth == 0 || f.nth == count)) {
      return &f;
    }
  }
  return nullptr;
}

bool load_configuration(const char* path, configuration& out) {
  // By the simulator's file access, which takes UTF-8 names everywhere.
  const int file = ksim::file_open(path, false);
  std::string text;
  bool read = file >= 0;
  if (read) {
    char chunk[4096];
    long got = 0;
    while ((got = ksim::file_read_at(file, chunk, sizeof chunk, text.size())) > 0) {
      text.append(chunk, size_t(got));
    }
    read = got == 0;
    const int saved = errno;
    ksim::file_close(file);
    errno = saved;
  }
  if (!read) {
    std::fprintf(stderr, "kesvisa: %s: cannot read the configuration: %s\n", path, std::strerror(errno));
    return false;
  }
  configuration config;
  loader load(path, config);
  if (!load.run(text)) {
    load.report();
    return false;
  }
  out = std::move(config);
  return true;
}

} // namespace kesvisa
