// Creating, starting and inspecting an instrument.
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "instrument.h"
#include "memory.h"

using namespace ksim;

namespace {

uint32_t initial_app_mode(const settings& c) {
  if (c.app_mode != 0U) {
    return c.app_mode;
  }
  return c.mode >= 1 ? c.mode : 2;
}

// A new state as the configuration describes it.
int build_state(const settings& c, std::vector<uint8_t>& image, char* err, size_t err_size) {
  image.assign(state_total_size(), 0);
  state_init(image.data(), c.mode, initial_app_mode(c));
  if (!c.flash_image.empty()) {
    return load_image_file(c.flash_image.c_str(), image.data() + state_header_size, err, err_size);
  }
  return 0;
}

} // namespace

sim_instrument* sim_create() { return new (std::nothrow) sim_instrument(); }

int sim_start(sim_instrument* in, char* err, size_t err_size) {
  if ((in == nullptr) || in->started) {
    if ((err != nullptr) && (err_size != 0U)) {
      std::snprintf(err, err_size, "%s", in != nullptr ? "the instrument has already started" : "no instrument");
    }
    return 2;
  }
  in->ram.assign(ram_size, 0);
  if (in->cfg.state_path.empty()) {
    std::vector<uint8_t> image;
    if (int rc = build_state(in->cfg, image, err, err_size)) {
      return rc;
    }
    in->state.hold(std::move(image));
  } else {
    const char* path = in->cfg.state_path.c_str();
    int rc = in->state.open(path, true, err, err_size);
    if (rc == 1) {
      std::vector<uint8_t> image;
      if (build_state(in->cfg, image, err, err_size) != 0) {
        return 2;
      }
      // 1: another process created it just now; open what it made.
      if (state_create(path, image.data(), err, err_size) == 2) {
        return 2;
      }
      rc = in->state.open(path, true, err, err_size);
    }
    if (rc != 0) {
      return 2;
    }
  }
  in->started = true;
  return 0;
}

void sim_destroy(sim_instrument* in) {
  if (in == nullptr) {
    return;
  }
  delete in;
}

bool sim_peek(const sim_instrument* in, uint32_t address, uint8_t* out, uint32_t length) {
  if ((in == nullptr) || !in->started || ((out == nullptr) && (length != 0U))) {
    return false;
  }
  memory m = memory_of(address, length);
  if (m == memory::none) {
    return false;
  }
  if (m == memory::flash) {
    return in->state.read(address - flash_base, out, length);
  }
  if (length != 0U) {
    std::memcpy(out, in->ram.data() + (address - ram_base), length);
  }
  return true;
}

int32_t sim_mode(const sim_instrument* in) {
  uint32_t mode = 0;
  uint32_t app_mode = 0;
  if ((in == nullptr) || !in->started || !in->state.modes(mode, app_mode)) {
    return -1;
  }
  return int32_t(mode);
}
