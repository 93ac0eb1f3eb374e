// The real pause. Kept in a file of its own so that tests can link a pause
// that only records its length.
#include "link.h"

#include <chrono>
#include <thread>

void sleep_ms(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
