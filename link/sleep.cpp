// The real pause. Kept in a file of its own so that tests can link a pause
// that only records its length.
#include "link.h"

#include <chrono>

void sleep_ms(uint32_t milliseconds) {
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(milliseconds);
  // The wait may end early: look again at what is left. An interrupt ends
  // the pause, so the run stops without waiting it out.
  while (!gpib_interrupted()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) {
      return;
    }
    gpib_wait_for_interrupt(static_cast<uint32_t>(left));
  }
}
