// The command interpreter: one complete message in, at most one reply out.
#include <charconv>
#include <cstring>
#include <string_view>

#include "crc32.h"
#include "instrument.h"
#include "memory.h"
#include "numbers.h"

namespace ksim {

namespace {

constexpr std::string_view long_reply_digits = "1234567890";
constexpr size_t long_reply_length = 150;
static_assert(reply_room > long_reply_length && reply_room >= max_reply_text);

// Queues a reply, unless a fault replaces or swallows it. text is the
// normal reply without its line feed.
void answer(sim_instrument& in, query q, std::string_view text) {
  uint32_t n = ++in.replies[size_t(q)];
  for (const fault& f : in.cfg.faults) {
    bool about_replies =
        f.kind == fault_kind::no_reply || f.kind == fault_kind::reply || f.kind == fault_kind::long_reply;
    if (!about_replies || f.cmd != q || f.n != n) {
      continue;
    }
    if (f.kind == fault_kind::no_reply) {
      return;
    }
    if (f.kind == fault_kind::reply) {
      std::memcpy(in.reply.data(), f.text.data(), f.text.size());
      in.reply_length = f.text.size();
      in.reply_position = 0;
      in.reply_pending = true;
      return;
    }
    if (f.kind == fault_kind::long_reply) {
      for (size_t i = 0; i < long_reply_length; ++i) {
        in.reply[i] = uint8_t(long_reply_digits[i % long_reply_digits.size()]);
      }
      in.reply[long_reply_length] = '\n';
      in.reply_length = long_reply_length + 1;
      in.reply_position = 0;
      in.reply_pending = true;
      return;
    }
  }
  std::memcpy(in.reply.data(), text.data(), text.size());
  in.reply[text.size()] = '\n';
  in.reply_length = text.size() + 1;
  in.reply_position = 0;
  in.reply_pending = true;
}

template <typename T> void answer_number(sim_instrument& in, query q, T value) {
  char text[16];
  auto r = std::to_chars(text, text + sizeof text, value);
  answer(in, q, std::string_view(text, size_t(r.ptr - text)));
}

// Splits "a,b,c" into exactly count numbers.
bool numbers(std::string_view args, uint32_t* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    size_t comma = args.find(',');
    bool last = i + 1 == count;
    if (last != (comma == std::string_view::npos)) {
      return false;
    }
    if (!parse_u32(args.substr(0, comma), out[i])) {
      return false;
    }
    args = last ? std::string_view{} : args.substr(comma + 1);
  }
  return true;
}

uint8_t* ram_at(sim_instrument& in, uint32_t address) { return in.ram.data() + (address - ram_base); }

// Copies RAM or flash; false when the range is outside both or the state
// cannot be read.
bool read_memory(const sim_instrument& in, uint32_t address, uint8_t* out, uint32_t length) {
  switch (memory_of(address, length)) {
  case memory::ram:
    std::memcpy(out, in.ram.data() + (address - ram_base), length);
    return true;
  case memory::flash:
    return in.state.read(address - flash_base, out, length);
  case memory::none:
    break;
  }
  return false;
}

// False too when the state cannot be read: a failed instrument does nothing.
bool service_allowed(const sim_instrument& in) {
  uint32_t mode = 0;
  uint32_t app_mode = 0;
  return in.state.modes(mode, app_mode) && (mode < 2 || in.unlocked);
}

void model_time(uint32_t ms_per_unit, uint64_t amount, uint64_t unit) {
  if (ms_per_unit != 0U) {
    pause_us(uint64_t(ms_per_unit) * 1000 * amount / unit);
  }
}

void erase(sim_instrument& in, uint32_t first, uint32_t count) {
  for (uint32_t s = first; s < first + count; ++s) {
    if (s >= first_boot_sector) {
      return answer_number(in, query::erase, error_protected);
    }
    bool failed = false;
    int32_t code = 0;
    for (const fault& f : in.cfg.faults) {
      if (f.kind == fault_kind::erase_error && f.n == s) {
        failed = true;
        code = f.code;
        break;
      }
    }
    model_time(in.cfg.erase_ms, 1, 1);
    if (failed) {
      return answer_number(in, query::erase, code);
    }
    if (!in.state.fill(s * sector_size, 0xFF, sector_size)) {
      return; // no answer: the state is gone
    }
  }
  answer_number(in, query::erase, 0);
}

void program(sim_instrument& in, uint32_t source, uint32_t length, uint32_t target) {
  uint32_t block = in.programs++;
  for (const fault& f : in.cfg.faults) {
    if (f.kind == fault_kind::prog_error && f.n == block) {
      return answer_number(in, query::prog, f.code);
    }
  }
  uint32_t offset = target - flash_base;
  if (length > 0 && (offset + length - 1) / sector_size >= first_boot_sector) {
    return answer_number(in, query::prog, error_protected);
  }
  bool erased = false;
  if (!in.state.erased(offset, length, erased)) {
    return;
  }
  if (!erased) {
    return answer_number(in, query::prog, error_not_erased);
  }
  model_time(in.cfg.program_ms, length, sector_size);
  if (in.state.write(offset, ram_at(in, source), length)) {
    answer_number(in, query::prog, 0);
  }
}

void restart_out_of_bootrom(sim_instrument& in) {
  // As a boot loader does: start the application only from intact firmware.
  uint8_t header[header_size];
  uint32_t mode = 0;
  uint32_t app_mode = 0;
  if (!in.state.modes(mode, app_mode) || !in.state.read(0, header, sizeof header)) {
    return;
  }
  image_check c = check_header(header);
  if (c.header_ok && c.length_ok) {
    uint32_t body_crc = 0;
    if (!in.state.crc(header_size, c.fw_length, body_crc)) {
      return;
    }
    c.body_ok = body_crc == c.fw_crc;
  }
  begin_restart(in, c.valid() ? app_mode : 0);
}

void restart_into_bootrom(sim_instrument& in) {
  uint32_t mode = 0;
  for (const fault& f : in.cfg.faults) {
    if (f.kind == fault_kind::boot_mode) {
      mode = f.n;
    }
  }
  begin_restart(in, mode);
}

} // namespace

void run_message(sim_instrument& in, const uint8_t* message, size_t length) {
  // A new message takes the place of a reply that was never read.
  in.reply_pending = false;

  std::string_view line(reinterpret_cast<const char*>(message), length);
  if (line.empty() || line.back() != '\n') {
    return;
  }
  line.remove_suffix(1);
  if (line.find_first_of("\r\n") != std::string_view::npos) {
    return;
  }
  size_t blank = line.find(' ');
  std::string_view word = line.substr(0, blank);
  std::string_view args = blank == std::string_view::npos ? std::string_view{} : line.substr(blank + 1);
  bool has_args = blank != std::string_view::npos;
  uint32_t a[3];

  if (word == "XXCMD?") {
    uint32_t mode = 0;
    uint32_t app_mode = 0;
    if (!has_args && in.state.modes(mode, app_mode)) {
      answer_number(in, query::mode, mode);
    }
    return;
  }
  if (word == "*OPC?") {
    // Every command has finished by the time the next message is read.
    if (!has_args) {
      answer(in, query::opc, "1");
    }
    return;
  }
  if (word == "XXENTER") {
    if (numbers(args, a, 1) && a[0] == access_code) {
      in.unlocked = true;
    }
    return;
  }
  if (word == "XXBOOT") {
    if (!numbers(args, a, 1)) {
      return;
    }
    if (a[0] == 0) {
      restart_out_of_bootrom(in);
    } else if (a[0] == 2 && service_allowed(in)) {
      restart_into_bootrom(in);
    }
    return;
  }

  // The service commands.
  if (!service_allowed(in)) {
    return;
  }
  if (word == "XXFILL") {
    if (numbers(args, a, 3) && a[2] <= 0xFF && memory_of(a[0], a[1]) == memory::ram) {
      std::memset(ram_at(in, a[0]), int(a[2]), a[1]);
    }
  } else if (word == "XXDLDATA") {
    if (numbers(args, a, 2) && memory_of(a[0], a[1]) == memory::ram && a[1] > 0) {
      in.downloading = true;
      in.download_address = a[0];
      in.download_remaining = a[1];
      in.download_offset = 0;
    }
  } else if (word == "XXRDMEM?") {
    uint8_t bytes[4];
    if (numbers(args, a, 2) && a[1] == 4 && read_memory(in, a[0], bytes, sizeof bytes)) {
      answer_number(in, query::rdmem, be32(bytes));
    }
  } else if (word == "XXCRC?") {
    if (numbers(args, a, 2) && memory_of(a[0], a[1]) != memory::none) {
      model_time(in.cfg.crc_ms_per_mib, a[1], 1U << 20);
      uint32_t c = 0;
      if (memory_of(a[0], a[1]) == memory::ram) {
        answer_number(in, query::crc, crc32(ram_at(in, a[0]), a[1]));
      } else if (in.state.crc(a[0] - flash_base, a[1], c)) {
        answer_number(in, query::crc, c);
      }
    }
  } else if (word == "XXERASE?") {
    if (numbers(args, a, 2) && a[1] >= 1 && a[0] < sector_count && a[1] <= sector_count - a[0]) {
      erase(in, a[0], a[1]);
    }
  } else if (word == "XXPROG?") {
    if (numbers(args, a, 3) && a[1] <= sector_size && memory_of(a[0], a[1]) == memory::ram &&
        memory_of(a[2], a[1]) == memory::flash) {
      program(in, a[0], a[1], a[2]);
    }
  }
}

} // namespace ksim
