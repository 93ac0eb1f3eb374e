// A stand-in for the VISA session layer, linked in place of link/session.cpp
// so that the command and reply helpers can be driven without a bus: every
// read hands back the reply set here, every write is recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct fake_bus {
  std::string reply;   // what each gpib_read delivers (at most its room)
  std::string written; // the bytes of the last gpib_write
  int32_t last_end_flag = -1;
  uint32_t reads = 0;
  uint32_t writes = 0;
  uint32_t smallest_room = UINT32_MAX; // the least room any read offered
};

// The one fake bus of the process; reset by fake_bus_reset.
fake_bus& fake_bus_state();
void fake_bus_reset(const uint8_t* reply, size_t length);
