// Sets up the stand-in VISA library and its simulated instrument for one test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sim_instrument;

// A trace without its marks: each line loses its process id, time and
// duration (the words before its record), and the session lines, which hold
// times and paths, are left out. Every reader of traces in the tests goes
// through this.
std::string strip_trace_marks(const std::string& trace);
// The trace file at path, without its process marks.
std::string read_trace(const std::string& path);

struct standin {
  std::string dir;    // the test's own folder: configuration, trace, images
  std::string config; // the configuration file, named by KESVISA_CONFIG
  std::string trace;  // the VISA trace the stand-in writes

  // The trace as written so far, one entry a line.
  std::vector<std::string> trace_lines() const;
  // The trace lines that record writes and reads, the traffic on the bus.
  std::vector<std::string> bus_lines() const;
};

// Writes a configuration with a trace, short timeouts, and one instrument at
// GPIB0::17::INSTR in the given mode (restarting at once) plus the extra
// section lines; points KESVISA_CONFIG at it and has the stand-in forget any
// earlier configuration. extra_global goes before the section.
standin standin_setup(int mode, const std::string& extra_section = {}, const std::string& extra_global = {});

// The instrument behind GPIB0::17::INSTR once the configuration is loaded.
sim_instrument* standin_instrument();

// Reads length bytes of instrument memory; empty when out of range.
std::vector<uint8_t> standin_peek(uint32_t address, uint32_t length);
