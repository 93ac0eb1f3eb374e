// A simulated instrument on a bench, with its state in a file, and whole
// runs of kesload against it.
#pragma once

#include "images.h"
#include "run_program.h"
#include "standin.h" // read_trace, for whole runs' traces

#include <cstdint>
#include <string>
#include <vector>

struct bench {
  std::string dir;
  std::string state;  // the instrument's state file
  std::string config; // the stand-in's configuration
  std::string trace;
  std::string image; // the new firmware image file
  std::vector<uint8_t> image_bytes;
  // The runs record into this file (KESLOAD_TRACE) when it is set.
  std::string recording;

  // Writes the stand-in's configuration: the instrument (new: in mode 2 with
  // an older firmware) plus the given extra lines, such as faults.
  void configure(const std::string& extra = {}) const;

  // Runs program (the fast test build by default) with args, in dir.
  program_run run(const std::vector<std::string>& args = {"fw.bin"}, bool merged = false,
                  const std::string& program = KESLOAD_FAST_BIN) const;
  // The same, started in the background.
  running_program start(const std::vector<std::string>& args = {"fw.bin"}, const launch_options& options = {},
                        const std::string& program = KESLOAD_FAST_BIN) const;

  // Replays trace with kessim replay: program with args, against the
  // recording instead of the instrument.
  program_run replay(const std::string& trace, const std::vector<std::string>& args = {"fw.bin"},
                     const std::string& program = KESLOAD_FAST_BIN) const;

  int32_t mode() const;
  // The flash from the firmware area's start, as long as the new image.
  std::vector<uint8_t> flash() const;
};

// A bench whose new image has file_size bytes.
bench make_bench(uint32_t file_size);
