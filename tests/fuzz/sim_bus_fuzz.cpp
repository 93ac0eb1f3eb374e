// The simulated instrument's command interpreter over arbitrary bus input.
// People point scripts at it, so whatever arrives it must not crash, hang or
// leak, and what it answers must fit the room the reader offers.
//
// Input: one byte of setup, then operations of one control byte each.
//   setup bits 0-1  the starting mode (0-3)
//   setup bits 2-7  faults from a fixed list (below), one per bit
//   control, top two bits:
//     00  a write without END of (low 6 bits) bytes
//     01  a write with END of (low 6 bits) bytes
//     10  a read with room (low 6 bits), 63 meaning a room of 1000
//     11  low bits 0: a device clear; else a write with END of 64 x (low 6
//         bits) bytes
// Write data is the bytes that follow the control byte. A write of no bytes
// passes a null pointer, which the interface allows.
#include "fuzz_check.h"
#include "sim.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// The instrument's own reply buffer; no reply can be longer.
constexpr size_t longest_reply = 256;

struct fault_choice {
  uint8_t bit;
  const char* line;
  bool odd_replies; // makes a reply that is not a number and a line feed
};

constexpr fault_choice fault_choices[] = {
    {0x04, "long-reply XXCMD? 2", true}, {0x08, "reply XXCRC? 1 0x1F and more", true},
    {0x10, "no-reply *OPC? 1", false},   {0x20, "corrupt-download 3", false},
    {0x40, "erase-error 1 -7", false},   {0x80, "prog-error 0 9", false},
};

sim_instrument* start(uint8_t setup, bool& odd_replies) {
  sim_instrument* in = sim_create();
  FUZZ_CHECK(in != nullptr);
  char err[200] = "";
  const std::string mode = std::to_string(setup & 0x03U);
  FUZZ_CHECK(sim_configure(in, "mode", mode.c_str(), err, sizeof err) == 0);
  FUZZ_CHECK(sim_configure(in, "restart_ms", "0", err, sizeof err) == 0);
  odd_replies = false;
  for (const fault_choice& f : fault_choices) {
    if ((setup & f.bit) != 0) {
      FUZZ_CHECK(sim_configure(in, "fault", f.line, err, sizeof err) == 0);
      odd_replies = odd_replies || f.odd_replies;
    }
  }
  if ((setup & 0x03U) == 3) {
    // An instrument that starts in mode 3 also comes back from XXBOOT 2 in
    // mode 3, as if the switch into BOOTROM had failed.
    FUZZ_CHECK(sim_configure(in, "fault", "boot-mode 3", err, sizeof err) == 0);
  }
  FUZZ_CHECK(sim_start(in, err, sizeof err) == 0);
  return in;
}

// A whole reply without faults: a decimal number, maybe negative, and a line
// feed.
bool plain_number(const std::string& reply) {
  if (reply.size() < 2 || reply.size() > 12 || reply.back() != '\n') {
    return false;
  }
  const size_t first = reply[0] == '-' ? 1 : 0;
  const size_t digits = reply.size() - 1 - first;
  return digits >= 1 && std::all_of(reply.begin() + static_cast<std::ptrdiff_t>(first), reply.end() - 1,
                                    [](char c) { return c >= '0' && c <= '9'; });
}

struct reply_reader {
  std::string partial; // the reply taken so far, until its END
  bool odd_replies = false;

  // One read; false when nothing was waiting.
  bool take(sim_instrument* in, uint32_t room) {
    std::string buffer(room + 1, '\x5A');
    uint32_t count = 0xFFFFFFFFU;
    bool end = false;
    if (!sim_take_reply(in, reinterpret_cast<uint8_t*>(buffer.data()), room, &count, &end)) {
      partial.clear(); // a reply not read to its end is gone for good
      return false;
    }
    FUZZ_CHECK(count <= room);
    FUZZ_CHECK(buffer[room] == '\x5A'); // nothing written past the room
    // A reply that fitted the room came whole.
    FUZZ_CHECK(count == room || end);
    partial.append(buffer, 0, count);
    FUZZ_CHECK(partial.size() <= longest_reply);
    if (end) {
      FUZZ_CHECK(odd_replies || plain_number(partial));
      partial.clear();
    }
    return true;
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  reply_reader reader;
  sim_instrument* in = start(data[0], reader.odd_replies);
  size_t at = 1;
  while (at < size) {
    const uint8_t control = data[at++];
    const uint32_t low = control & 0x3FU;
    const uint32_t op = control >> 6;
    if (op == 2) {
      reader.take(in, low == 0x3F ? 1000 : low);
      continue;
    }
    if (op == 3 && low == 0) {
      sim_clear(in);
      reader.partial.clear();
      // Output is dropped with the input.
      FUZZ_CHECK(!reader.take(in, 1000));
      continue;
    }
    const size_t wanted = op == 3 ? size_t{64} * low : low;
    const size_t length = std::min(wanted, size - at);
    // A write with END drops a reply half read. (Bytes without END drop it
    // only inside a download, and then nothing is waiting to be taken.)
    if (op != 0) {
      reader.partial.clear();
    }
    sim_receive(in, length == 0 ? nullptr : data + at, length, op != 0);
    at += length;
    const int32_t mode = sim_mode(in);
    FUZZ_CHECK(mode >= 0 && mode <= 3);
  }
  // Whatever is left must come out in a bounded number of reads.
  int reads = 0;
  while (reader.take(in, 100)) {
    FUZZ_CHECK(++reads <= 3);
  }
  sim_destroy(in);
  return 0;
}
