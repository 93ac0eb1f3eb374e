// Recording a session: KESLOAD_TRACE names the file. The session layer's
// table of VISA functions then holds wrappers that time each call and write
// its line as it returns (session.cpp); the pause, the interrupt and the
// end of the run have lines of their own. Each line goes out in one write to
// the file opened for appending, so a run killed at any point keeps every
// line but the one in flight, and two programs recording into one file keep
// their lines whole. Nothing here allocates.
#include "link.h"
#include "recorder.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct send_end_entry {
  uint32_t vi;
  bool on;
};

struct recording {
  intptr_t file = -1;
  const char* path = nullptr;
  const char* program = nullptr;
  std::array<const char*, 64> argv{}; // the command line as given; more is shown as "..."
  int argc = 0;
  bool more = false;
  int64_t start_us = 0;
  int64_t start_unix_ms = 0;
  bool begun = false;      // the session line is out
  bool failed = false;     // a write failed: nothing more is written
  std::array<char, gpib_reason_room> reason{};
  bool interrupt_written = false;
  const char* image_path = nullptr;
  const uint8_t* image = nullptr;
  uint32_t image_size = 0;
  std::array<send_end_entry, 16> send_end{};
  size_t send_end_count = 0;
};

recording rec{};

// The lines are made here, not on the stack: the program has one thread
// that records.
trace_text record_text{};
trace_text line_text{};

bool write_line(int64_t at_us, int64_t duration_us, const trace_text& record) {
  if (rec.failed) {
    return false;
  }
  trace_make_line(line_text, recorder_process_id(), at_us - rec.start_us, duration_us, record);
  if (!recorder_file_append(rec.file, line_text.data, line_text.length, rec.reason.data(), rec.reason.size())) {
    rec.failed = true;
    return false;
  }
  return true;
}

// A header word of the image, big-endian as the file holds it.
uint32_t word_at(uint32_t offset) {
  const uint8_t* bytes = rec.image + offset;
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

void add_image(trace_text& text) {
  if (rec.image_path == nullptr) {
    trace_add(text, " image=-");
    return;
  }
  trace_add(text, " image=");
  trace_add_quoted(text, reinterpret_cast<const uint8_t*>(rec.image_path), std::strlen(rec.image_path));
  if (rec.image == nullptr) {
    trace_add(text, " refused");
    return;
  }
  trace_addf(text, " size=%u fw_crc=0x%08X fw_address=0x%08X fw_length=%u fw_word3=0x%08X hdr_crc=0x%08X",
             static_cast<unsigned>(rec.image_size), static_cast<unsigned>(word_at(0)),
             static_cast<unsigned>(word_at(4)), static_cast<unsigned>(word_at(8)), static_cast<unsigned>(word_at(12)),
             static_cast<unsigned>(word_at(60)));
}

// The command line last, as many whole arguments as the line holds.
void add_arguments(trace_text& text) {
  trace_add(text, " argv=");
  for (size_t i = 0; i < static_cast<size_t>(rec.argc); ++i) {
    const size_t before = text.length;
    if (i > 0) {
      trace_add(text, " ");
    }
    trace_add_quoted(text, reinterpret_cast<const uint8_t*>(rec.argv[i]), std::strlen(rec.argv[i]));
    if (text.cut || text.length + 16 > sizeof text.data) {
      text.length = before;
      text.data[before] = '\0';
      text.cut = false;
      trace_add(text, " ...");
      return;
    }
  }
  if (rec.more) {
    trace_add(text, " ...");
  }
}

bool write_session(const char* visa_library) {
  rec.begun = true;
  trace_clear(record_text);
  trace_session(record_text, rec.program, rec.start_unix_ms);
  if (visa_library != nullptr) {
    trace_add(record_text, " visa=");
    trace_add_quoted(record_text, reinterpret_cast<const uint8_t*>(visa_library), std::strlen(visa_library));
  } else {
    trace_add(record_text, " visa=-");
  }
  add_image(record_text);
  add_arguments(record_text);
  return write_line(rec.start_us, -1, record_text);
}

// An interrupt not written yet, with the time it came.
void write_interrupt() {
  const char* cause = gpib_interrupt_cause();
  if (rec.interrupt_written || cause == nullptr) {
    return;
  }
  rec.interrupt_written = true;
  trace_clear(record_text);
  trace_add(record_text, "interrupt ");
  trace_add(record_text, cause);
  write_line(gpib_interrupt_time_us(), -1, record_text);
}

} // namespace

bool recorder_on() { return rec.file >= 0; }

void gpib_trace_command(int argc, char** argv) {
  rec.argc = 0;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    if (static_cast<size_t>(rec.argc) == rec.argv.size()) {
      rec.more = true;
      break;
    }
    rec.argv[static_cast<size_t>(rec.argc++)] = argv[i];
  }
}

void gpib_trace_start(const char* program) {
  const char* path = recorder_variable();
  if (path == nullptr) {
    return;
  }
  rec.path = path;
  rec.program = program;
  rec.start_us = recorder_clock_us();
  rec.start_unix_ms = recorder_unix_ms();
  rec.file = recorder_file_open(path, rec.reason.data(), rec.reason.size());
  if (rec.file < 0) {
    // The user asked for a record: no update without one.
    report_error("Can't write the trace %s: %s\n", path, rec.reason.data());
    std::exit(1);
  }
}

void gpib_trace_image(const char* path, const uint8_t* image, uint32_t size) {
  rec.image_path = path;
  rec.image = size >= 64 ? image : nullptr;
  rec.image_size = size;
}

void recorder_begin(const char* visa_library) {
  if (!recorder_on() || rec.begun) {
    return;
  }
  if (!write_session(visa_library)) {
    report_error("Can't write the trace %s: %s\n", rec.path, rec.reason.data());
    std::exit(1);
  }
}

int64_t recorder_call_start() {
  write_interrupt();
  return recorder_clock_us();
}

void recorder_call(int64_t started_us, const trace_text& record) {
  write_line(started_us, recorder_clock_us() - started_us, record);
  write_interrupt();
}

bool recorder_send_end(uint32_t vi) {
  for (size_t i = 0; i < rec.send_end_count; ++i) {
    if (rec.send_end[i].vi == vi) {
      return rec.send_end[i].on;
    }
  }
  return true;
}

void recorder_set_send_end(uint32_t vi, bool on) {
  for (size_t i = 0; i < rec.send_end_count; ++i) {
    if (rec.send_end[i].vi == vi) {
      rec.send_end[i].on = on;
      return;
    }
  }
  if (rec.send_end_count < rec.send_end.size()) {
    rec.send_end[rec.send_end_count++] = {vi, on};
  }
}

int64_t recorder_image_offset(const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (rec.image == nullptr || bytes == nullptr || length == 0) {
    return -1;
  }
  // Compared as addresses: the data may come from anywhere.
  const auto at = reinterpret_cast<uintptr_t>(bytes);
  const auto start = reinterpret_cast<uintptr_t>(rec.image);
  if (at < start || at - start + length > rec.image_size) {
    return -1;
  }
  return static_cast<int64_t>(at - start);
}

void recorder_pause(int64_t started_us, uint32_t milliseconds) {
  if (!recorder_on()) {
    return;
  }
  const int64_t started = started_us;
  write_interrupt(); // one that cut the pause short came before its end
  trace_clear(record_text);
  trace_addf(record_text, "pause %u", static_cast<unsigned>(milliseconds));
  write_line(started, recorder_clock_us() - started, record_text);
}

void gpib_exit(int status) {
  if (recorder_on()) {
    if (!rec.begun) {
      write_session(gpib_visa_library());
    }
    write_interrupt();
    trace_clear(record_text);
    trace_addf(record_text, "end %d", status);
    write_line(recorder_clock_us(), -1, record_text);
    if (rec.failed) {
      report_error("The trace %s is incomplete: %s\n", rec.path, rec.reason.data());
    }
    recorder_file_close(rec.file);
    rec.file = -1;
  }
  std::exit(status);
}
