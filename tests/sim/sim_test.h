// Helpers for driving the simulated instrument through its C interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim.h"

namespace simtest {

struct sim_deleter {
  void operator()(sim_instrument* in) const { sim_destroy(in); }
};
using sim_ptr = std::unique_ptr<sim_instrument, sim_deleter>;
using config = std::vector<std::pair<std::string, std::string>>;

inline constexpr uint32_t ram = 0x800000;
inline constexpr uint32_t flash = 0xFFE00000;
inline constexpr uint32_t sector = 0x10000;

// A started instrument; restart_ms 0 unless the config says otherwise.
sim_ptr start(const config& lines);
// Configures (which must succeed), then starts; returns sim_start's result
// and its reason.
std::pair<int, std::string> try_start(const config& lines);

void send(sim_instrument* in, const std::string& bytes, bool end = true);
// The whole reply waiting after a message, or nothing when none came.
std::optional<std::string> take(sim_instrument* in);
std::optional<std::string> query(sim_instrument* in, const std::string& command);
// Sends the command and expects a numeric reply.
uint32_t number(sim_instrument* in, const std::string& command);

std::vector<uint8_t> peek(sim_instrument* in, uint32_t address, uint32_t length);

// A firmware image whose header describes the body; CRCs right.
std::vector<uint8_t> make_image(const std::vector<uint8_t>& body, uint32_t fw_address = 0xFFE00040);
// Changes a header word and makes the header CRC right again.
void set_header_word(std::vector<uint8_t>& image, size_t offset, uint32_t value);
std::vector<uint8_t> pattern(size_t length, uint32_t seed = 1);
uint32_t crc(const std::vector<uint8_t>& bytes);

// Downloads bytes to RAM as the program does, in 64 KiB writes.
void download(sim_instrument* in, uint32_t address, const std::vector<uint8_t>& bytes);
// Erases the firmware sectors that bytes need and programs them from RAM
// at 0x800000 to the start of flash; returns the first non-zero reply.
int32_t program_flash(sim_instrument* in, const std::vector<uint8_t>& bytes);

struct run_result {
  int status; // the exit status, -1 when killed by a signal
  std::string out;
};
// A shell command line and its standard output.
run_result shell(const std::string& command);
// kessim with these arguments; its standard error is dropped.
run_result kessim(const std::string& args);

// A folder of its own for each test, removed afterwards.
class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
  std::string dir_;
};

} // namespace simtest
