// The instrument's configuration keys, one `key = value` line at a time.
#include <cstdio>
#include <string_view>

#include "instrument.h"
#include "numbers.h"

using namespace ksim;

namespace {

int bad(char* err, size_t err_size, std::string_view key, const char* reason) {
  if ((err != nullptr) && (err_size != 0U)) {
    std::snprintf(err, err_size, "%.*s: %s", int(key.size()), key.data(), reason);
  }
  return 2;
}

int number(std::string_view key, std::string_view value, uint32_t low, uint32_t high, uint32_t& out, char* err,
           size_t err_size) {
  uint32_t v;
  if (!parse_u32(value, v)) {
    return bad(err, err_size, key, "expected an unsigned decimal number");
  }
  if (v < low || v > high) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "must be %u..%u", unsigned(low), unsigned(high));
    return bad(err, err_size, key, reason);
  }
  out = v;
  return 0;
}

constexpr uint32_t max_ms = 3600000; // an hour

} // namespace

int sim_configure(sim_instrument* in, const char* key_text, const char* value_text, char* err, size_t err_size) {
  std::string_view key = trim(key_text != nullptr ? key_text : "");
  std::string_view value = trim(value_text != nullptr ? value_text : "");

  bool known = key == "state" || key == "mode" || key == "app_mode" || key == "flash_image" || key == "restart_ms" ||
               key == "bus_rate" || key == "erase_ms" || key == "program_ms" || key == "crc_ms_per_mib" ||
               key == "fault";
  if (!known) {
    return 1;
  }
  if (in == nullptr) {
    return bad(err, err_size, key, "no instrument");
  }
  if (in->started) {
    return bad(err, err_size, key, "the instrument has already started");
  }
  settings& c = in->cfg;

  if (key == "state" || key == "flash_image") {
    if (value.empty()) {
      return bad(err, err_size, key, "expected a path");
    }
    (key == "state" ? c.state_path : c.flash_image).assign(value);
    return 0;
  }
  if (key == "mode") {
    return number(key, value, 0, 3, c.mode, err, err_size);
  }
  if (key == "app_mode") {
    return number(key, value, 1, 3, c.app_mode, err, err_size);
  }
  if (key == "restart_ms") {
    return number(key, value, 0, max_ms, c.restart_ms, err, err_size);
  }
  if (key == "bus_rate") {
    return number(key, value, 0, 0xFFFFFFFFU, c.bus_rate, err, err_size);
  }
  if (key == "erase_ms") {
    return number(key, value, 0, max_ms, c.erase_ms, err, err_size);
  }
  if (key == "program_ms") {
    return number(key, value, 0, max_ms, c.program_ms, err, err_size);
  }
  if (key == "crc_ms_per_mib") {
    return number(key, value, 0, max_ms, c.crc_ms_per_mib, err, err_size);
  }

  // fault: the text of a reply fault keeps its own blanks, so parse the
  // value as given (less the blanks around it).
  fault f;
  std::string line(value);
  if (int rc = parse_fault(line.c_str(), f, err, err_size)) {
    return rc;
  }
  c.faults.push_back(std::move(f));
  return 0;
}
