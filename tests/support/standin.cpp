#include "standin.h"

#include "run_program.h"

#include <kesvisa.h>
#include <sim.h>

#include <cstdlib>

std::string strip_trace_marks(const std::string& trace) {
  std::string out;
  out.reserve(trace.size());
  size_t pos = 0;
  while (pos < trace.size()) {
    const size_t newline = trace.find('\n', pos);
    const size_t end = newline == std::string::npos ? trace.size() : newline + 1;
    const std::string line = trace.substr(pos, end - pos);
    pos = end;
    // PID, TIME and DURATION: three words, each digits (and a dot) or "-".
    size_t at = 0;
    bool marked = true;
    for (int word = 0; word < 3 && marked; ++word) {
      const size_t blank = line.find(' ', at);
      marked = blank != std::string::npos && blank > at &&
               line.find_first_not_of(word == 0 ? "0123456789" : "0123456789.-", at) == blank;
      at = blank + 1;
    }
    if (!marked) {
      out += line; // a line without its marks stays as it is, for the comparison to show
    } else if (line.compare(at, 8, "session ") != 0) {
      out.append(line, at, std::string::npos);
    }
  }
  return out;
}

std::string read_trace(const std::string& path) { return strip_trace_marks(read_file(path)); }

std::vector<std::string> standin::trace_lines() const { return split_lines(read_trace(trace)); }

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
  set_environment("KESVISA_CONFIG", setup.config.c_str());
  // The session layer inside the test binds the same library it links.
  set_environment("KESLOAD_VISA", STANDIN_VISA_LIBRARY);
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
