// The exclusive lock of viOpen. One session holds it at a time: a session of
// this process (kept here), or one of another process, seen through a lock
// on the instrument's state file that the system drops when that process
// ends, however it ends.
#include "library.h"

#include <files.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kesvisa {

namespace {

// Tries the state file's lock until it is taken or the open timeout (scaled
// as every wait of the library) has passed.
ViStatus take_file_lock(int fd, ViUInt32 timeout_ms, double scale) {
  using clock = std::chrono::steady_clock;
  const bool for_ever = timeout_ms == VI_TMO_INFINITE;
  const auto deadline =
      clock::now() + std::chrono::duration_cast<clock::duration>(
                         std::chrono::duration<double, std::milli>(static_cast<double>(timeout_ms) * scale));
  const auto step = std::chrono::duration_cast<clock::duration>(std::chrono::milliseconds(10));
  for (;;) {
    switch (ksim::file_lock_try(fd)) {
    case ksim::file_lock::taken:
      return VI_SUCCESS;
    case ksim::file_lock::failed:
      return VI_ERROR_SYSTEM_ERROR;
    case ksim::file_lock::busy:
      break;
    }
    const auto now = clock::now();
    if (!for_ever && now >= deadline) {
      return VI_ERROR_RSRC_LOCKED;
    }
    std::this_thread::sleep_for(for_ever || deadline - now > step ? step : deadline - now);
  }
}

// 1 held by a session other than vi, 0 not, -1 cannot tell.
int held_by_another(const instrument& inst, ViSession vi) {
  if (inst.lock_holder != VI_NULL) {
    return inst.lock_holder != vi ? 1 : 0;
  }
  return inst.lock_fd < 0 ? 0 : ksim::file_lock_held_elsewhere(inst.lock_fd);
}

} // namespace

bool open_lock(instrument& inst, const std::string& state_path, std::string& reason) {
  inst.lock_fd = ksim::file_open(state_path.c_str(), true);
  if (inst.lock_fd < 0) {
    reason = "state " + state_path + ": cannot open it for its lock: " + std::strerror(errno);
    return false;
  }
  return true;
}

ViStatus take_lock(instrument& inst, ViSession vi, ViUInt32 timeout_ms, double scale) {
  // Held in this process: nothing could let it go while this call waits,
  // calls being serialised.
  if (inst.lock_holder != VI_NULL) {
    return VI_ERROR_RSRC_LOCKED;
  }
  const ViStatus status = inst.lock_fd < 0 ? VI_SUCCESS : take_file_lock(inst.lock_fd, timeout_ms, scale);
  if (status == VI_SUCCESS) {
    inst.lock_holder = vi;
  }
  return status;
}

void release_lock(instrument& inst, ViSession vi) {
  if (vi == VI_NULL || inst.lock_holder != vi) {
    return;
  }
  inst.lock_holder = VI_NULL;
  if (inst.lock_fd >= 0) {
    ksim::file_lock_release(inst.lock_fd);
  }
}

ViStatus lock_allows(const instrument& inst, ViSession vi) {
  switch (held_by_another(inst, vi)) {
  case 0:
    return VI_SUCCESS;
  case 1:
    return VI_ERROR_RSRC_LOCKED;
  default:
    return VI_ERROR_SYSTEM_ERROR;
  }
}

std::optional<ViAccessMode> lock_state(const instrument& inst, ViSession vi) {
  if (vi != VI_NULL && inst.lock_holder == vi) {
    return VI_EXCLUSIVE_LOCK;
  }
  const int other = held_by_another(inst, vi);
  if (other < 0) {
    return std::nullopt;
  }
  return other != 0 ? VI_EXCLUSIVE_LOCK : VI_NO_LOCK;
}

} // namespace kesvisa
