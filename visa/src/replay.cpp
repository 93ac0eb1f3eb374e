// Replay mode: every VISA call is compared with the next one recorded
// (function, session and arguments; a data block by length, END and CRC)
// and answered with the recorded status and results. At the first call that
// differs the library answers VI_ERROR_SYSTEM_ERROR, then and ever after,
// and tells kessim where in the report file: "replayed N" (the last
// recorded call answered), then "differs N", the recorded and the asked
// call, or "beyond N" and the asked call.
#include "replay.h"

#include <files.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

namespace kesvisa {

namespace {

struct recorded_call {
  size_t number = 0; // in the session, from 1
  std::string function;
  std::string call;
  uint32_t session = 0;
  ViStatus status = VI_SUCCESS;
  std::string results;
  int64_t duration_us = 0;
  bool optional = false;  // the recorder's question about the library, which a replayed program may not ask
  std::string interrupt;  // an interrupt that came after this call
};

struct replay_state {
  enum class mode : uint8_t { undecided, off, on } state = mode::undecided;
  std::vector<recorded_call> calls;
  size_t next = 0;
  size_t answered = 0; // the number of the last recorded call answered
  bool stopped = false;
  std::set<uint32_t> resource_managers;
  std::map<uint32_t, bool> send_end; // VISA's default: on
  int report = -1;
  bool timing = false;
};

replay_state& replay() {
  static replay_state state;
  return state;
}

std::string variable(const char* name) {
  const char* value = ksim::process_variable(name);
  return value != nullptr ? value : "";
}

bool manufacturer_query(std::string_view call) {
  return call.find(", VI_ATTR_RSRC_MANF_NAME)") != std::string_view::npos ||
         call.find(", VI_ATTR_RSRC_IMPL_VERSION)") != std::string_view::npos;
}

// The session at line session_line of the trace: its calls and interrupts.
// kessim has read the trace before; a failure here leaves no call to answer.
void load(replay_state& r, const std::string& path, size_t session_line) {
  const int fd = ksim::file_open(path.c_str(), false);
  if (fd < 0) {
    return;
  }
  std::string text;
  char chunk[65536];
  long got = 0;
  while ((got = ksim::file_read_at(fd, chunk, sizeof chunk, text.size())) > 0) {
    text.append(chunk, size_t(got));
  }
  ksim::file_close(fd);
  size_t line_number = 0;
  long pid = -1;
  std::set<uint32_t> managers;
  for (size_t at = 0; at < text.size();) {
    const size_t newline = text.find('\n', at);
    if (newline == std::string::npos) {
      break; // a line cut short by a kill
    }
    std::string_view line(text.data() + at, newline - at);
    at = newline + 1;
    if (++line_number < session_line) {
      continue;
    }
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    trace_record record;
    if (!trace_parse(line, record, nullptr)) {
      continue;
    }
    if (line_number == session_line) {
      pid = record.pid;
      continue;
    }
    if (record.pid != pid) {
      continue;
    }
    if (record.kind == trace_kind::session || record.kind == trace_kind::end) {
      break;
    }
    if (record.kind == trace_kind::interrupt) {
      if (!r.calls.empty()) {
        r.calls.back().interrupt = record.word;
      }
      continue;
    }
    if (record.kind != trace_kind::call) {
      continue;
    }
    recorded_call call;
    call.number = r.calls.size() + 1;
    call.function = record.function;
    call.call = record.call;
    call.session = record.session;
    call.status = record.status;
    call.results = record.results;
    call.duration_us = record.duration_us < 0 ? 0 : record.duration_us;
    uint64_t rm = 0;
    if (call.function == "viOpenDefaultRM" && trace_result_number(record.results, "rm", rm)) {
      managers.insert(static_cast<uint32_t>(rm));
    }
    call.optional = call.function == "viGetAttribute" && managers.contains(call.session) &&
                    manufacturer_query(call.call);
    r.calls.push_back(std::move(call));
  }
}

void report(const replay_state& r, const std::string& text, size_t at) {
  if (r.report >= 0) {
    ksim::file_write_at(r.report, text.data(), text.size(), at);
  }
}

void note_progress(const replay_state& r) {
  char line[32];
  const int n = std::snprintf(line, sizeof line, "replayed %010zu\n", r.answered);
  report(r, std::string(line, size_t(n)), 0);
}

replay_state& ready() {
  replay_state& r = replay();
  if (r.state != replay_state::mode::undecided) {
    return r;
  }
  const std::string path = variable("KESVISA_REPLAY");
  if (path.empty()) {
    r.state = replay_state::mode::off;
    return r;
  }
  r.state = replay_state::mode::on;
  r.timing = variable("KESVISA_REPLAY_TIMING") == "1";
  const std::string report_path = variable("KESVISA_REPLAY_REPORT");
  if (!report_path.empty()) {
    r.report = ksim::file_open(report_path.c_str(), true);
  }
  load(r, path, std::strtoul(variable("KESVISA_REPLAY_SESSION").c_str(), nullptr, 10));
  note_progress(r);
  return r;
}

// The recorded call that answers this one, or null when it differs (told,
// and every later call fails). An optional question that was not recorded
// is answered VI_ERROR_NSUP_ATTR (*unasked).
const recorded_call* match(replay_state& r, const trace_text& asked, bool optional, bool& unasked) {
  unasked = false;
  if (r.stopped) {
    return nullptr;
  }
  const std::string_view got(asked.data, asked.length);
  while (r.next < r.calls.size() && r.calls[r.next].optional && r.calls[r.next].call != got) {
    r.answered = r.calls[r.next++].number; // recorded, not asked: passed over
  }
  if (r.next < r.calls.size() && r.calls[r.next].call == got) {
    const recorded_call& call = r.calls[r.next++];
    r.answered = call.number;
    note_progress(r);
    if (r.timing) {
      std::this_thread::sleep_for(std::chrono::microseconds(call.duration_us));
    }
    return &call;
  }
  if (optional) {
    unasked = true;
    return nullptr;
  }
  r.stopped = true;
  note_progress(r);
  if (r.next < r.calls.size()) {
    report(r, "differs " + std::to_string(r.calls[r.next].number) + "\n" + r.calls[r.next].call + "\n" +
                  std::string(got) + "\n",
           20);
  } else {
    report(r, "beyond " + std::to_string(r.answered) + "\n" + std::string(got) + "\n", 20);
  }
  return nullptr;
}

// The answer is out; an interrupt recorded after the call comes now.
ViStatus answer(const recorded_call& call) {
  if (!call.interrupt.empty()) {
    replay_raise(call.interrupt);
  }
  return call.status;
}

bool result(const recorded_call& call, const char* key, uint32_t& value) {
  uint64_t number = 0;
  if (call.status < VI_SUCCESS || !trace_result_number(call.results, key, number)) {
    return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

// A string result (a found resource name, an attribute) into a VISA buffer
// of VI_FIND_BUFLEN bytes.
void string_result(const recorded_call& call, ViChar* out) {
  size_t length = 0;
  if (out == nullptr) {
    return;
  }
  if (!trace_result_bytes(call.results, reinterpret_cast<uint8_t*>(out), VI_FIND_BUFLEN - 1, length)) {
    length = 0;
  }
  out[length] = '\0';
}

bool send_end(const replay_state& r, uint32_t vi) {
  const auto found = r.send_end.find(vi);
  return found == r.send_end.end() || found->second;
}

} // namespace

bool replay_on() { return ready().state == replay_state::mode::on; }

ViStatus replay_open_default_rm(ViPSession vi) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_open_default_rm(asked);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  uint32_t rm = VI_NULL;
  if (result(*call, "rm", rm)) {
    r.resource_managers.insert(rm);
  }
  if (vi != nullptr) {
    *vi = rm;
  }
  return answer(*call);
}

ViStatus replay_open(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_open(asked, rm, name, mode, timeout);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  uint32_t opened = VI_NULL;
  if (result(*call, "vi", opened)) {
    r.send_end[opened] = true;
  }
  if (vi != nullptr) {
    *vi = opened;
  }
  return answer(*call);
}

ViStatus replay_close(ViObject vi) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_close(asked, vi);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  return call != nullptr ? answer(*call) : VI_ERROR_SYSTEM_ERROR;
}

ViStatus replay_set_attribute(ViObject vi, ViAttr attr, ViAttrState value) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_set_attribute(asked, vi, attr, value);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (call->status >= VI_SUCCESS && attr == trace_attr_send_end_en) {
    r.send_end[vi] = value != VI_FALSE;
  }
  return answer(*call);
}

ViStatus replay_get_attribute(ViObject vi, ViAttr attr, void* value) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_get_attribute(asked, vi, attr);
  const bool optional = r.resource_managers.contains(vi) && manufacturer_query({asked.data, asked.length});
  bool unasked = false;
  const recorded_call* call = match(r, asked, optional, unasked);
  if (unasked) {
    return VI_ERROR_NSUP_ATTR;
  }
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (call->status >= VI_SUCCESS && value != nullptr) {
    const size_t width = trace_attribute_width(attr);
    if (trace_attribute_known(attr) && width == 0) {
      string_result(*call, static_cast<ViChar*>(value));
    } else {
      // The number after the status, decimal or 0x hexadecimal.
      const unsigned long long number = std::strtoull(call->results.c_str(), nullptr, 0);
      const uint8_t bytes8 = static_cast<uint8_t>(number);
      const uint16_t bytes16 = static_cast<uint16_t>(number);
      const uint32_t bytes32 = static_cast<uint32_t>(number);
      std::memcpy(value, width == 1 ? static_cast<const void*>(&bytes8) : width == 2 ? static_cast<const void*>(&bytes16)
                                                                                       : static_cast<const void*>(&bytes32),
                  width == 1 || width == 2 ? width : 4);
    }
  }
  return answer(*call);
}

ViStatus replay_write(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 sent) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_write(asked, vi, buf, count, send_end(r, vi) && count > 0);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  uint64_t recorded = 0; // shown for an error too when some bytes went
  if (call == nullptr || !trace_result_number(call->results, "sent", recorded)) {
    recorded = 0;
  }
  if (sent != nullptr) {
    *sent = static_cast<ViUInt32>(recorded);
  }
  return call != nullptr ? answer(*call) : VI_ERROR_SYSTEM_ERROR;
}

ViStatus replay_read(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 got) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_read(asked, vi, count);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  size_t length = 0;
  if (call != nullptr && call->results.starts_with('[')) {
    // Too long to be recorded as text: nothing to answer with.
    r.stopped = true;
    report(r, "differs " + std::to_string(call->number) + "\n" + call->call + " = " + call->results +
                  " (the bytes read are not in the trace)\n" + call->call + "\n",
           20);
    call = nullptr;
  }
  if (call != nullptr && buf != nullptr) {
    trace_result_bytes(call->results, buf, count, length);
  }
  if (got != nullptr) {
    *got = static_cast<ViUInt32>(length);
  }
  return call != nullptr ? answer(*call) : VI_ERROR_SYSTEM_ERROR;
}

ViStatus replay_clear(ViSession vi) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_clear(asked, vi);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  return call != nullptr ? answer(*call) : VI_ERROR_SYSTEM_ERROR;
}

ViStatus replay_find_rsrc(ViSession rm, ViConstString expr, ViPFindList list, ViPUInt32 count, ViChar desc[]) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_find_rsrc(asked, rm, expr);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  uint32_t value = 0;
  if (list != nullptr) {
    *list = result(*call, "list", value) ? value : VI_NULL;
  }
  if (count != nullptr) {
    *count = result(*call, "count", value) ? value : 0;
  }
  if (call->status >= VI_SUCCESS) {
    string_result(*call, desc);
  }
  return answer(*call);
}

ViStatus replay_find_next(ViFindList list, ViChar desc[]) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_call_find_next(asked, list);
  bool unasked = false;
  const recorded_call* call = match(r, asked, false, unasked);
  if (call == nullptr) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (call->status >= VI_SUCCESS) {
    string_result(*call, desc);
  }
  return answer(*call);
}

ViStatus replay_other(const char* function, ViObject vi) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  replay_state& r = ready();
  trace_text asked;
  trace_clear(asked);
  trace_addf(asked, "%s(%u, ...)", function, static_cast<unsigned>(vi));
  bool unasked = false;
  match(r, asked, false, unasked);
  return VI_ERROR_SYSTEM_ERROR;
}

} // namespace kesvisa
