// The pause the phases take, and its line in the recording. Apart from the
// recorder, so that a program that never pauses (kescheck) needs no sleep_ms.
#include "link.h"
#include "recorder.h"

void gpib_pause(uint32_t milliseconds) {
  const int64_t started = recorder_clock_us();
  sleep_ms(milliseconds);
  recorder_pause(started, milliseconds);
}
