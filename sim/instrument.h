// The simulated instrument's insides, shared by the files that make it up.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "api.h"
#include "faults.h"
#include "state_file.h"

namespace ksim {

using clock = std::chrono::steady_clock;

inline constexpr uint32_t access_code = 6081;
inline constexpr int32_t error_protected = 3;  // sector holds the boot code
inline constexpr int32_t error_not_erased = 4; // programming over bytes that are not 0xFF
inline constexpr size_t max_command = 256;     // longer messages are not commands
inline constexpr size_t reply_room = 256;

struct settings {
  std::string state_path;
  uint32_t mode = 2;
  uint32_t app_mode = 0; // 0: follow mode
  std::string flash_image;
  uint32_t restart_ms = 1000;
  uint32_t bus_rate = 0;
  uint32_t erase_ms = 0;
  uint32_t program_ms = 0;
  uint32_t crc_ms_per_mib = 0;
  std::vector<fault> faults;
};

} // namespace ksim

// Fields grouped by what they serve; one instance per simulated instrument.
struct sim_instrument { // NOLINT(clang-analyzer-optin.performance.Padding)
  ksim::settings cfg;
  bool started = false;

  // Memory. The state (mode, application mode, flash) is in a state file or
  // held in the process. Once the state fails (a file cut short by another
  // process, a write error), the instrument says so once and goes silent.
  std::vector<uint8_t> ram;
  ksim::state_store state;
  bool told_state_failure = false;

  // The message being received.
  std::array<uint8_t, ksim::max_command> input{};
  size_t input_length = 0;
  bool input_overflow = false;

  // A download under way: the raw bytes of the next message go to RAM.
  bool downloading = false;
  uint32_t download_address = 0;
  uint32_t download_remaining = 0;
  uint32_t download_offset = 0;
  // The data message went on past its announced length: drop it up to END.
  bool discarding = false;

  // The reply waiting to be read.
  std::array<uint8_t, ksim::reply_room> reply{};
  size_t reply_length = 0;
  size_t reply_position = 0;
  bool reply_pending = false;

  bool unlocked = false;
  bool restarting = false;
  ksim::clock::time_point restart_done{};

  // Fault counters, for this process only.
  std::array<uint32_t, ksim::query_count> replies{};
  uint32_t programs = 0;
};

namespace ksim {

// commands.cpp: acts on one complete message.
void run_message(sim_instrument& in, const uint8_t* message, size_t length);
// bus.cpp
void begin_restart(sim_instrument& in, uint32_t mode);
bool still_restarting(sim_instrument& in);
void drop_io(sim_instrument& in);
void pause_us(uint64_t us);
// True when the state has failed; the first time, one line on standard error.
bool state_lost(sim_instrument& in);

} // namespace ksim
