// The bus side: messages in, replies out, device clear, and restarts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "instrument.h"
#include "memory.h"

namespace ksim {

void pause_us(uint64_t us) {
  timespec left{time_t(us / 1000000), long(us % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void drop_io(sim_instrument& in) {
  in.input_length = 0;
  in.input_overflow = false;
  in.downloading = false;
  in.discarding = false;
  in.reply_pending = false;
}

void begin_restart(sim_instrument& in, uint32_t mode) {
  if (!in.state.set_mode(mode)) {
    return; // the state is gone: the instrument falls silent instead
  }
  std::memset(in.ram.data(), 0, in.ram.size());
  in.unlocked = false;
  drop_io(in);
  in.restarting = in.cfg.restart_ms > 0;
  in.restart_done = clock::now() + std::chrono::milliseconds(in.cfg.restart_ms);
}

bool state_lost(sim_instrument& in) {
  if (!in.state.failed()) {
    return false;
  }
  if (!in.told_state_failure) {
    in.told_state_failure = true;
    std::fprintf(stderr, "kesvisa: %s; the simulated instrument stops answering\n", in.state.reason());
  }
  drop_io(in);
  return true;
}

bool still_restarting(sim_instrument& in) {
  if (in.restarting && clock::now() >= in.restart_done) {
    in.restarting = false;
  }
  return in.restarting;
}

namespace {

// Stores raw download bytes; those past the announced length are dropped.
void take_download(sim_instrument& in, const uint8_t* data, size_t length) {
  size_t n = std::min<size_t>(length, in.download_remaining);
  uint8_t* to = in.ram.data() + (in.download_address - ram_base) + in.download_offset;
  if (n != 0U) {
    std::memcpy(to, data, n); // an empty write may come with no buffer at all
  }
  uint64_t first = in.download_offset;
  uint64_t last = first + n;
  for (const fault& f : in.cfg.faults) {
    if (f.kind == fault_kind::corrupt_download && f.n >= first && f.n < last) {
      to[f.n - first] = uint8_t(~to[f.n - first]);
    }
  }
  in.download_offset += uint32_t(n);
  in.download_remaining -= uint32_t(n);
  if (in.download_remaining == 0) {
    in.downloading = false;
    // Anything more before END still belongs to the data message.
    in.discarding = true;
  }
}

} // namespace

} // namespace ksim

using namespace ksim;

void sim_receive(sim_instrument* in, const uint8_t* data, size_t length, bool end) {
  if ((in == nullptr) || !in->started || ((data == nullptr) && length > 0)) {
    return;
  }
  if (in->cfg.bus_rate != 0U) {
    pause_us(uint64_t(length) * 1000000 / in->cfg.bus_rate);
  }
  if (state_lost(*in) || still_restarting(*in)) {
    return; // nobody is listening
  }

  if (in->downloading) {
    in->reply_pending = false;
    take_download(*in, data, length);
    if (end) {
      // The data message is over, whether or not all announced bytes came.
      in->downloading = false;
      in->discarding = false;
    }
    return;
  }
  if (in->discarding) {
    if (end) {
      in->discarding = false;
    }
    return;
  }

  size_t room = in->input.size() - in->input_length;
  if (length > room) {
    in->input_overflow = true;
  }
  size_t n = std::min(length, room);
  if (n != 0U) {
    std::memcpy(in->input.data() + in->input_length, data, n);
  }
  in->input_length += n;
  if (!end) {
    return;
  }
  bool overflow = in->input_overflow;
  size_t message_length = in->input_length;
  in->input_length = 0;
  in->input_overflow = false;
  if (overflow) {
    in->reply_pending = false; // far too long for a command: not understood
  } else {
    // Each message looks at the state first: one cut short or overwritten by
    // another process silences the instrument, whatever the message was.
    if (in->state.check()) {
      run_message(*in, in->input.data(), message_length);
    }
    state_lost(*in);
  }
}

bool sim_take_reply(sim_instrument* in, uint8_t* buf, uint32_t room, uint32_t* count, bool* end) {
  if ((in == nullptr) || !in->started || state_lost(*in) || still_restarting(*in) || !in->reply_pending) {
    return false;
  }
  size_t left = in->reply_length - in->reply_position;
  size_t n = std::min<size_t>(left, room);
  if ((n != 0U) && (buf != nullptr)) {
    std::memcpy(buf, in->reply.data() + in->reply_position, n);
  } else {
    n = 0;
  }
  in->reply_position += n;
  bool last = in->reply_position == in->reply_length;
  if (last) {
    in->reply_pending = false;
  }
  if (count != nullptr) {
    *count = uint32_t(n);
  }
  if (end != nullptr) {
    *end = last;
  }
  return true;
}

void sim_clear(sim_instrument* in) {
  if ((in != nullptr) && in->started) {
    drop_io(*in);
  }
}
