// The faults the sweep plants: for one bus transaction of a fault-free
// run, each way the instrument can fail there, the configuration lines that
// plant it and what the run should then show. The sweep runs every one; the
// recording tests replay a few.
#pragma once

#include "bus_trace.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a fault at one transaction should lead to.
enum class outcome : uint8_t {
  fails,     // status 1, the program's own message, and a second run completes
  completes, // not a failure by design: the update completes
  either,    // the instrument's state decides; either way the rules hold
};

struct plan {
  std::string line; // the configuration lines that plant it
  outcome expect = outcome::fails;
  std::string names; // what standard error must show when it fails
};

using planner = std::optional<plan> (*)(const transaction&);

struct fault_kind {
  const char* name;
  planner make; // nothing where the kind does not apply to the transaction
};

// Every kind, in the sweep's order.
extern const std::vector<fault_kind> fault_kinds;
