#include "standin.h"

#include "run_program.h"

#include <kesvisa.h>
#include <sim.h>

#include <cstdlib>
#include <sstream>

namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

} // namespace

std::vector<std::string> standin::trace_lines() const { return split_lines(read_file(trace)); }

std::vector<std::string> standin::bus_lines() const {
  std::vector<std::string> bus;
  for (const std::string& line : trace_lines()) {
    if (line.rfind("viWrite(", 0) == 0 || line.rfind("viRead(", 0) == 0) {
      bus.push_back(line);
    }
  }
  return bus;
}

standin standin_setup(int mode, const std::string& extra_section, const std::string& extra_global) {
  standin setup;
  setup.dir = make_temp_dir();
  setup.config = setup.dir + "/visa.conf";
  setup.trace = setup.dir + "/trace.txt";
  write_file(setup.config, "trace = " + setup.trace + "\ntimeout_scale = 0.001\n" + extra_global +
                               "[GPIB0::17::INSTR]\nmode = " + std::to_string(mode) + "\nrestart_ms = 0\n" +
                               extra_section);
  setenv("KESVISA_CONFIG", setup.config.c_str(), 1);
  kesvisa_reset();
  return setup;
}

sim_instrument* standin_instrument() { return kesvisa_instrument("GPIB0::17::INSTR"); }

std::vector<uint8_t> standin_peek(uint32_t address, uint32_t length) {
  std::vector<uint8_t> bytes(length);
  sim_instrument* inst = standin_instrument();
  if (inst == nullptr || !sim_peek(inst, address, bytes.data(), length)) {
    bytes.clear();
  }
  return bytes;
}
