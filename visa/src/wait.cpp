// The stand-in's one real wait: a read that times out.
#include "library.h"

#include <cerrno>
#include <ctime>

namespace kesvisa {

void wait_scaled(ViUInt32 milliseconds, double scale) {
  if (milliseconds == VI_TMO_INFINITE) {
    // No reply can come later from a simulated instrument; like VISA, wait
    // for ever all the same.
    for (;;) {
      timespec day{86400, 0};
      nanosleep(&day, nullptr);
    }
  }
  double seconds = static_cast<double>(milliseconds) * scale / 1000.0;
  if (!(seconds > 0)) {
    return;
  }
  if (seconds > 1e9) {
    seconds = 1e9;
  }
  timespec left{};
  left.tv_sec = static_cast<time_t>(seconds);
  left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
  if (left.tv_nsec >= 1000000000L) {
    left.tv_nsec = 999999999L;
  }
  timespec rest{};
  while (nanosleep(&left, &rest) != 0 && errno == EINTR) {
    left = rest;
  }
}

} // namespace kesvisa
