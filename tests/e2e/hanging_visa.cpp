// A VISA library whose loading never ends, as one on a network folder that
// went away may: it says it has begun (the file KESTEST_LOADING names) and
// waits. Every function is there (lacking_visa.cpp's and viClear), so only
// the wait keeps it from use.
#include <visa.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

[[gnu::constructor]] void load_for_ever() {
  if (const char* marker = std::getenv("KESTEST_LOADING"); marker != nullptr) {
    close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }
  for (;;) {
    pause();
  }
}

} // namespace

// The others come from lacking_visa.cpp.
extern "C" ViStatus viClear(ViSession) { return VI_ERROR_SYSTEM_ERROR; }
