// The real pause on Windows. Kept in a file of its own so that tests can
// link a pause that only records its length.
#include "link.h"

#include <chrono>
#include <windows.h>

void sleep_ms(uint32_t milliseconds) {
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline = clock::now() + std::chrono::milliseconds(milliseconds);
  // The wait may end early (the event is set by an interrupt): look again at
  // what is left. An interrupt ends the pause, so the run stops without
  // waiting it out.
  while (!gpib_interrupted()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) {
      return;
    }
    HANDLE wake = gpib_interrupt_event();
    if (wake != nullptr) {
      WaitForSingleObject(wake, static_cast<DWORD>(left));
    } else {
      Sleep(static_cast<DWORD>(left));
    }
  }
}
