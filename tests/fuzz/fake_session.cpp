// The fake session layer: only what the helpers call is defined, so a
// helper that starts to need more shows up as a link error here.
#include "fake_session.h"

#include "fuzz_check.h"
#include "link.h"

#include <algorithm>
#include <cstring>

fake_bus& fake_bus_state() {
  static fake_bus bus;
  return bus;
}

void fake_bus_reset(const uint8_t* reply, size_t length) {
  fake_bus& bus = fake_bus_state();
  bus = fake_bus{};
  bus.reply.assign(reinterpret_cast<const char*>(reply), length);
}

int32_t gpib_read(uint8_t* buffer, uint32_t max, uint32_t* count) {
  fake_bus& bus = fake_bus_state();
  ++bus.reads;
  bus.smallest_room = std::min(bus.smallest_room, max);
  // As VISA does: never more than the room offered.
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(bus.reply.size(), max));
  if (n > 0) {
    std::memcpy(buffer, bus.reply.data(), n);
  }
  *count = n;
  return 0;
}

int32_t gpib_write(const uint8_t* data, uint32_t length, uint32_t* written, int32_t end_flag) {
  fake_bus& bus = fake_bus_state();
  FUZZ_CHECK(data != nullptr && length > 0);
  ++bus.writes;
  bus.written.assign(reinterpret_cast<const char*>(data), length);
  bus.last_end_flag = end_flag;
  *written = length;
  return 0;
}

// The real one ends the process after a VISA failure; nothing here fails.
void gpib_fail(int32_t status) {
  std::fprintf(stderr, "gpib_fail(%d) called by a helper\n", static_cast<int>(status));
  std::abort();
}
