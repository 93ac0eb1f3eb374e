#include "bus_trace.h"

#include <trace.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string_view>

namespace {

std::optional<bus_entry> parse_bus_line(const trace_record& record) {
  bus_entry entry;
  if (record.function == "viWrite") {
    entry.call = bus_call::write;
    // The data argument, when it is shown as text.
    std::string_view data = record.call.substr(record.call.find(", ") + 2);
    if (data.starts_with('"')) {
      uint8_t bytes[trace_write_text_max];
      size_t length = 0;
      if (trace_result_bytes(data, bytes, sizeof bytes, length)) {
        entry.text = std::string(reinterpret_cast<const char*>(bytes), length);
      }
    }
  } else if (record.function == "viRead") {
    entry.call = bus_call::read;
  } else if (record.function == "viClear") {
    entry.call = bus_call::clear;
  } else {
    return std::nullopt;
  }
  entry.ok = record.status == 0;
  if (entry.call == bus_call::read && entry.ok) {
    uint8_t bytes[trace_read_text_max];
    size_t length = 0;
    if (trace_result_bytes(record.results, bytes, sizeof bytes, length)) {
      entry.text = std::string(reinterpret_cast<const char*>(bytes), length);
    }
  }
  return entry;
}

std::string first_word(const std::string& command) { return command.substr(0, command.find_first_of(" \n")); }

std::string command(const char* format, uint32_t a, uint32_t b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// The four readings that confirm one copy of the image (in RAM or in flash),
// as the run last saw them.
struct copy_checks {
  std::string header_word, header_crc, body_word, body_crc; // the commands
  std::optional<uint32_t> values[4];

  uint32_t hdr_crc, fw_crc;

  copy_checks(uint32_t base, const image_words& image)
      : header_word(command("XXRDMEM? %u,%u\n", base + 60, 4)), header_crc(command("XXCRC? %u,%u\n", base, 60)),
        body_word(command("XXRDMEM? %u,%u\n", base, 4)),
        body_crc(command("XXCRC? %u,%u\n", base + 64, image.body_length)), hdr_crc(image.hdr_crc),
        fw_crc(image.fw_crc) {}

  void note(const std::string& sent, const std::optional<uint32_t>& value) {
    const std::string* commands[4] = {&header_word, &header_crc, &body_word, &body_crc};
    for (size_t i = 0; i < 4; ++i) {
      if (sent == *commands[i]) {
        values[i] = value;
      }
    }
  }

  bool confirmed() const {
    return values[0] && values[1] && values[2] && values[3] && *values[0] == *values[1] && *values[0] == hdr_crc &&
           *values[2] == *values[3] && *values[2] == fw_crc;
  }
};

} // namespace

const char* call_name(bus_call call) {
  switch (call) {
  case bus_call::write:
    return "viWrite";
  case bus_call::read:
    return "viRead";
  case bus_call::clear:
    return "viClear";
  }
  return "?";
}

std::vector<bus_entry> read_bus(const std::string& trace) {
  std::vector<bus_entry> bus;
  std::optional<uint32_t> instrument;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    trace_record record;
    if (!trace_parse(line, record, nullptr) || record.kind != trace_kind::call) {
      continue;
    }
    uint64_t vi = 0;
    if (record.function == "viOpen") {
      if (trace_result_number(record.results, "vi", vi)) {
        instrument = static_cast<uint32_t>(vi);
      }
      continue;
    }
    if (!instrument || record.session != *instrument) {
      continue;
    }
    if (std::optional<bus_entry> entry = parse_bus_line(record)) {
      bus.push_back(*entry);
    }
  }
  return bus;
}

std::vector<transaction> transactions_of(const std::vector<bus_entry>& bus) {
  std::vector<transaction> list;
  std::map<bus_call, size_t> calls;
  std::map<std::string, size_t> replies;
  std::string last_command;
  for (const bus_entry& entry : bus) {
    transaction t;
    t.k = list.size() + 1;
    t.call = entry.call;
    t.nth = ++calls[entry.call];
    if (entry.call == bus_call::write && entry.text) {
      last_command = *entry.text;
    }
    if (entry.call == bus_call::read) {
      t.command = last_command;
      t.query = first_word(last_command);
      t.reply_number = ++replies[t.query];
      t.reply = entry.text.value_or("");
    }
    list.push_back(t);
  }
  return list;
}

std::optional<uint32_t> reply_number(const std::string& reply) {
  const std::string_view digits =
      std::string_view(reply).substr(0, reply.ends_with('\n') ? reply.size() - 1 : reply.size());
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const unsigned long long value = std::stoull(std::string(digits));
  if (value > 0xFFFFFFFFULL) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::vector<std::string> safety_violations(const std::vector<bus_entry>& bus, const std::string& out,
                                           const image_words& image) {
  std::vector<std::string> found;
  copy_checks staged(0x800000, image);
  copy_checks flash(0xFFE00000, image);
  for (size_t i = 0; i < bus.size(); ++i) {
    if (bus[i].call != bus_call::write || !bus[i].text) {
      continue;
    }
    const std::string& sent = *bus[i].text;
    if (sent.starts_with("XXERASE?") && !staged.confirmed() && found.empty()) {
      found.push_back("sent " + sent.substr(0, sent.size() - 1) + " before the staged copy was confirmed");
    }
    // The reply, if the next transaction is a read that got one.
    std::optional<uint32_t> value;
    if (i + 1 < bus.size() && bus[i + 1].call == bus_call::read && bus[i + 1].ok && bus[i + 1].text) {
      value = reply_number(*bus[i + 1].text);
    }
    staged.note(sent, value);
    flash.note(sent, value);
  }
  if (out.find("Successfully F/W is updated") != std::string::npos && !flash.confirmed()) {
    found.push_back("reported success before the flash copy was confirmed");
  }
  return found;
}
