// The pause of the benchmark's kesload: it only adds up what was asked for,
// without allocating, so that a run measures the program and not its fixed
// waits. The shim reads the totals by name at the end of the run.
#include "link.h"

extern "C" {
uint32_t kesbench_pause_count = 0;
uint64_t kesbench_pause_ms = 0;
}

void sleep_ms(uint32_t milliseconds) {
  ++kesbench_pause_count;
  kesbench_pause_ms += milliseconds;
}
