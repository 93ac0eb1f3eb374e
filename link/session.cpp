// The VISA session layer: the only file of the program that calls VISA.
#include "link.h"
#include "recorder.h"

#include <visa.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The VISA functions the programs call, taken from the machine's VISA
// library the first time the layer is used (gpib_bind_visa).
struct visa_functions {
  decltype(&viOpenDefaultRM) open_default_rm;
  decltype(&viOpen) open;
  decltype(&viClose) close;
  decltype(&viSetAttribute) set_attribute;
  decltype(&viWrite) write;
  decltype(&viRead) read;
  decltype(&viClear) clear;
  decltype(&viFindRsrc) find_rsrc;
  decltype(&viFindNext) find_next;
  // Optional: only for reports of what the library is.
  decltype(&viGetAttribute) get_attribute;
};
// By name, in the order of the members above; the first nine are required.
constexpr std::array<const char*, 10> visa_function_names{
    "viOpenDefaultRM", "viOpen",     "viClose",    "viSetAttribute", "viWrite",
    "viRead",          "viClear",    "viFindRsrc", "viFindNext",     "viGetAttribute"};
constexpr size_t visa_required = 9;
static_assert(sizeof(visa_functions) == visa_function_names.size() * sizeof(void (*)()), "one name a function");

visa_functions visa{};

template <typename function> void take(function* pointer, void* address) {
  static_assert(sizeof(function) == sizeof address);
  std::memcpy(pointer, &address, sizeof address); // a library symbol's address, as the loader gives it
}

// Recording (KESLOAD_TRACE): the table holds these wrappers around the
// library's own functions, each timing its call and writing the call's line
// as it returns. Unset, the table is the library's functions themselves.
visa_functions library{};
trace_text record{}; // one thread records

trace_text& fresh_record() {
  trace_clear(record);
  return record;
}

ViStatus record_get_attribute(ViObject vi, ViAttr attribute, void* value) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.get_attribute(vi, attribute, value);
  const size_t width = trace_attribute_width(attribute);
  std::array<char, 257> text{};
  uint32_t number = 0;
  if (status >= VI_SUCCESS && value != nullptr && trace_attribute_known(attribute)) {
    if (width == 0) {
      std::memcpy(text.data(), value, text.size() - 1); // VISA's strings take at most 256 bytes with their NUL
    } else {
      std::memcpy(&number, value, width); // little-endian, as both platforms are
    }
  }
  const bool string = trace_attribute_known(attribute) && width == 0;
  trace_get_attribute(fresh_record(), vi, attribute, status, string ? text.data() : nullptr, number);
  recorder_call(started, record);
  return status;
}

// Who made the bound library, and its version: asked right after the
// resource manager opens, as ordinary calls of the recording.
void ask_about_library(ViSession rm) {
  if (library.get_attribute == nullptr) {
    return;
  }
  std::array<ViChar, 256> maker{};
  record_get_attribute(rm, VI_ATTR_RSRC_MANF_NAME, maker.data());
  ViVersion version = 0;
  record_get_attribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &version);
}

ViStatus record_open_default_rm(ViPSession vi) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.open_default_rm(vi);
  trace_open_default_rm(fresh_record(), status, vi != nullptr ? *vi : VI_NULL);
  recorder_call(started, record);
  if (status >= VI_SUCCESS && vi != nullptr) {
    ask_about_library(*vi);
  }
  return status;
}

ViStatus record_open(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.open(rm, name, mode, timeout, vi);
  trace_open(fresh_record(), rm, name, mode, timeout, status, vi != nullptr ? *vi : VI_NULL);
  recorder_call(started, record);
  if (status >= VI_SUCCESS && vi != nullptr) {
    recorder_set_send_end(*vi, true); // VISA's default on a new session
  }
  return status;
}

ViStatus record_close(ViObject vi) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.close(vi);
  trace_close(fresh_record(), vi, status);
  recorder_call(started, record);
  return status;
}

ViStatus record_set_attribute(ViObject vi, ViAttr attribute, ViAttrState value) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.set_attribute(vi, attribute, value);
  trace_set_attribute(fresh_record(), vi, attribute, value, status);
  recorder_call(started, record);
  if (status >= VI_SUCCESS && attribute == VI_ATTR_SEND_END_EN) {
    recorder_set_send_end(vi, value != VI_FALSE);
  }
  return status;
}

ViStatus record_write(ViSession vi, ViConstBuf data, ViUInt32 count, ViPUInt32 sent) {
  const int64_t started = recorder_call_start();
  const bool end = recorder_send_end(vi) && count > 0;
  const ViStatus status = library.write(vi, data, count, sent);
  trace_write(fresh_record(), vi, data, count, end, status, sent != nullptr ? *sent : 0);
  // A data block is shown by its CRC; where in the image it came from is
  // what only the program knows.
  if (const int64_t offset = recorder_image_offset(data, count); offset >= 0 && count > trace_write_text_max) {
    trace_addf(record, " # image+0x%08llX", static_cast<unsigned long long>(offset));
  }
  recorder_call(started, record);
  return status;
}

ViStatus record_read(ViSession vi, ViPBuf buffer, ViUInt32 room, ViPUInt32 count) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.read(vi, buffer, room, count);
  trace_read(fresh_record(), vi, room, status, buffer, count != nullptr ? *count : 0);
  recorder_call(started, record);
  return status;
}

ViStatus record_clear(ViSession vi) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.clear(vi);
  trace_clear_call(fresh_record(), vi, status);
  recorder_call(started, record);
  return status;
}

ViStatus record_find_rsrc(ViSession rm, ViConstString pattern, ViPFindList list, ViPUInt32 count, ViChar name[]) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.find_rsrc(rm, pattern, list, count, name);
  trace_find_rsrc(fresh_record(), rm, pattern, status, list != nullptr ? *list : VI_NULL,
                  count != nullptr ? *count : 0, name);
  recorder_call(started, record);
  return status;
}

ViStatus record_find_next(ViFindList list, ViChar name[]) {
  const int64_t started = recorder_call_start();
  const ViStatus status = library.find_next(list, name);
  trace_find_next(fresh_record(), list, status, name);
  recorder_call(started, record);
  return status;
}

void take_all(visa_functions* table, std::span<void* const, visa_function_names.size()> found) {
  take(&table->open_default_rm, found[0]);
  take(&table->open, found[1]);
  take(&table->close, found[2]);
  take(&table->set_attribute, found[3]);
  take(&table->write, found[4]);
  take(&table->read, found[5]);
  take(&table->clear, found[6]);
  take(&table->find_rsrc, found[7]);
  take(&table->find_next, found[8]);
  take(&table->get_attribute, found[9]);
}

// With KESLOAD_TRACE set, the bound table's functions are wrapped, and the
// session's first line is written before the first call.
void record_calls(const char* path) {
  if (!recorder_on() || visa.open_default_rm == record_open_default_rm) {
    return;
  }
  library = visa;
  visa = {record_open_default_rm,
          record_open,
          record_close,
          record_set_attribute,
          record_write,
          record_read,
          record_clear,
          record_find_rsrc,
          record_find_next,
          library.get_attribute != nullptr ? record_get_attribute : nullptr};
  recorder_begin(path);
}

void bind_visa() {
  if (visa.open_default_rm != nullptr) {
    return;
  }
  std::array<void*, visa_function_names.size()> found{};
  const char* path = gpib_bind_visa(visa_function_names, visa_required, found);
  take_all(&visa, found);
  record_calls(path);
}

ViSession rm_session = VI_NULL;
ViSession instrument_session = VI_NULL;
// Set by programs that only look: no lock, and a lock refusal is theirs to report.
void (*look_only_in_use)() = nullptr;

void set_send_end(bool on) {
  // Attribute settings are not judged: a failure shows in the write that follows.
  visa.set_attribute(instrument_session, VI_ATTR_SEND_END_EN, on ? VI_TRUE : VI_FALSE);
}

// A resource manager that cannot be opened is a VISA that cannot work (a
// half-installed one says VI_ERROR_LIBRARY_NFOUND): nothing else is called.
void open_resource_manager() {
  bind_visa();
  const ViStatus status = visa.open_default_rm(&rm_session);
  if (status < VI_SUCCESS) {
    rm_session = VI_NULL;
    report_error("viOpenDefaultRM: can't open the VISA resource manager, status 0x%08X\n",
                 static_cast<unsigned>(static_cast<uint32_t>(status)));
    gpib_fail(status);
  }
}

// A failed call's end: the link's message, or for a program that only looks
// and finds the instrument locked by another, that program's own report.
[[noreturn]] void fail_call(const char* message, ViStatus status) {
  if (status == VI_ERROR_RSRC_LOCKED && look_only_in_use != nullptr) {
    look_only_in_use();
  } else {
    report_error("%s", message);
  }
  gpib_fail(status);
}

} // namespace

bool gpib_resource_name(int32_t address, const char* interface_name, std::span<char, gpib_resource_size> resource) {
  const bool named = interface_name != nullptr && interface_name[0] != '\0';
  const int length = named ? std::snprintf(resource.data(), resource.size(), "%s::%d::INSTR", interface_name, address)
                           : std::snprintf(resource.data(), resource.size(), "GPIB0::%d::INSTR", address);
  return length >= 0 && static_cast<size_t>(length) < resource.size();
}

void gpib_look_without_lock(void (*in_use)()) { look_only_in_use = in_use; }

const char* gpib_visa() {
  bind_visa();
  return gpib_visa_library();
}

int32_t gpib_open(int32_t address, const char* interface_name) {
  if (address < 0 || address > gpib_address_max) {
    return 2;
  }
  gpib_stop_if_interrupted();
  std::array<char, gpib_resource_size> resource{};
  if (!gpib_resource_name(address, interface_name, resource)) {
    return 2; // a truncated name would open some other resource
  }
  open_resource_manager();
  // The lock keeps a second updater off the instrument until this session
  // closes or the process ends; 0: a held lock is refused at once.
  const ViAccessMode access = look_only_in_use != nullptr ? VI_NO_LOCK : VI_EXCLUSIVE_LOCK;
  const ViStatus status = visa.open(rm_session, resource.data(), access, 0, &instrument_session);
  if (status >= VI_SUCCESS) {
    set_send_end(false);
    return 0;
  }
  visa.close(rm_session);
  rm_session = VI_NULL;
  instrument_session = VI_NULL;
  if (status == VI_ERROR_RSRC_LOCKED && look_only_in_use != nullptr) {
    fail_call("", status);
  }
  if (status == VI_ERROR_RSRC_LOCKED) {
    report_error("viOpen: %s is in use by another program\n", resource.data());
  } else {
    report_error("viOpen: can't open device %s\n", resource.data());
  }
  gpib_fail(2);
}

int32_t gpib_close() {
  bind_visa();
  const ViStatus status = visa.close(instrument_session);
  if (status != VI_SUCCESS) {
    gpib_fail(status);
  }
  return 0;
}

int32_t gpib_write(const uint8_t* data, uint32_t length, uint32_t* written, int32_t end_flag) {
  gpib_stop_if_interrupted();
  bind_visa();
  set_send_end(end_flag == 1);
  ViUInt32 sent = 0;
  const ViStatus status = visa.write(instrument_session, data, length, &sent);
  set_send_end(false);
  if (status != VI_SUCCESS) {
    fail_call("viWrite: timeout\n", status);
  }
  *written = sent;
  return 0;
}

int32_t gpib_read(uint8_t* buffer, uint32_t max, uint32_t* count) {
  bind_visa();
  ViUInt32 received = 0;
  const ViStatus status = visa.read(instrument_session, buffer, max, &received);
  if (status != VI_SUCCESS) {
    fail_call("viRead: timeout\n", status);
  }
  *count = received;
  return 0;
}

int32_t gpib_set_timeout(int32_t seconds) {
  bind_visa();
  const uint32_t milliseconds = static_cast<uint32_t>(seconds) * 1000U;
  return visa.set_attribute(instrument_session, VI_ATTR_TMO_VALUE, milliseconds);
}

int32_t gpib_clear() {
  gpib_stop_if_interrupted();
  bind_visa();
  const ViStatus status = visa.clear(instrument_session);
  if (status != VI_SUCCESS) {
    fail_call("viClear: timeout\n", status);
  }
  return 0;
}

void gpib_stop_if_interrupted() {
  if (!gpib_interrupted()) {
    return;
  }
  report_error("%s", gpib_interrupted_message);
  if (instrument_session != VI_NULL) {
    visa.close(instrument_session); // the exit status is 1 whatever the close says
  }
  gpib_exit(1);
}

void gpib_fail(int32_t /*status*/) {
  // Whatever VISA said, the operator sees one exit status for a link failure.
  gpib_exit(1);
}

// Search and probe: sessions of their own, every failure an answer but a
// resource manager that cannot be opened.

static_assert(gpib_find_room >= VI_FIND_BUFLEN, "a found name must fit");

namespace {

int32_t find_with(const visa_functions& table, ViSession rm, const char* pattern,
                  void (*found)(const char* resource, void* context), void* context) {
  std::array<ViChar, gpib_find_room> name{};
  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  const ViStatus status = table.find_rsrc(rm, pattern, &list, &count, name.data());
  if (status == VI_ERROR_RSRC_NFOUND) {
    return 0;
  }
  if (status < VI_SUCCESS) {
    return -1;
  }
  // The first name comes with the search; count says how many follow it.
  int32_t listed = 0;
  for (ViUInt32 i = 0; i < count; ++i) {
    if (i > 0 && table.find_next(list, name.data()) < VI_SUCCESS) {
      break;
    }
    name.back() = '\0'; // never trust a name to be terminated
    found(name.data(), context);
    ++listed;
  }
  table.close(list);
  return listed;
}

} // namespace

int32_t gpib_find(const char* pattern, void (*found)(const char* resource, void* context), void* context) {
  if (pattern == nullptr || found == nullptr) {
    return -1;
  }
  if (rm_session == VI_NULL) {
    open_resource_manager();
  }
  return find_with(visa, rm_session, pattern, found, context);
}

int32_t gpib_probe_mode(const char* resource, uint32_t timeout_ms, uint32_t* mode) {
  *mode = 0;
  if (resource == nullptr) {
    return 1;
  }
  if (rm_session == VI_NULL) {
    open_resource_manager();
  }
  ViSession probe = VI_NULL;
  if (visa.open(rm_session, resource, VI_NO_LOCK, 0, &probe) < VI_SUCCESS) {
    return 1;
  }
  visa.set_attribute(probe, VI_ATTR_TMO_VALUE, timeout_ms);
  visa.set_attribute(probe, VI_ATTR_SEND_END_EN, VI_TRUE);
  const auto* query = reinterpret_cast<const ViByte*>(gpib_cmd_mode);
  const ViUInt32 query_length = sizeof gpib_cmd_mode - 1;
  ViUInt32 sent = 0;
  std::array<char, gpib_reply_room + 1> reply{};
  ViUInt32 received = 0;
  ViStatus status = visa.write(probe, query, query_length, &sent);
  const bool written = status == VI_SUCCESS && sent == query_length;
  if (written) {
    status = visa.read(probe, reinterpret_cast<ViByte*>(reply.data()), gpib_reply_room, &received);
  }
  visa.close(probe);
  if (status == VI_ERROR_RSRC_LOCKED) {
    return 2;
  }
  if (!written || status < VI_SUCCESS || received == 0) {
    return 1;
  }
  const auto room = static_cast<ViUInt32>(gpib_reply_room);
  reply[received < room ? received : room] = '\0';
  // A reply that is not one number is no mode: it is no answer either.
  return gpib_reply_uint32(reply.data(), mode) ? 0 : 1;
}

// The survey: what each library tells of itself on a resource manager of
// its own, closed again (closing it closes nothing of anyone else's).

namespace {

struct survey {
  void (*seen)(const gpib_library_seen* library, void* context);
  void* context;
  std::array<void*, visa_function_names.size()> found;
  int32_t usable;
  std::array<ViChar, VI_FIND_BUFLEN> maker;
};

void ask_maker(const visa_functions& table, ViSession rm, gpib_library_seen* library, survey* state) {
  if (table.get_attribute == nullptr) {
    return;
  }
  ViUInt32 version = 0;
  if (table.get_attribute(rm, VI_ATTR_RSRC_MANF_NAME, state->maker.data()) >= VI_SUCCESS) {
    state->maker.back() = '\0';
    library->maker = state->maker.data();
  }
  if (table.get_attribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &version) >= VI_SUCCESS) {
    library->implementation_version = version;
  }
  version = 0;
  if (table.get_attribute(rm, VI_ATTR_RSRC_SPEC_VERSION, &version) >= VI_SUCCESS) {
    library->specification_version = version;
  }
}

void describe(gpib_library_seen* library, void* context) {
  auto* state = static_cast<survey*>(context);
  state->maker.fill('\0');
  library->maker = "";
  if (library->loaded) {
    visa_functions table{};
    take_all(&table, state->found);
    if (library->used) {
      visa = table; // the bound table: these calls are the run's own, recorded
      record_calls(library->path);
      table = visa;
    }
    ViSession rm = VI_NULL;
    library->resource_manager_status = table.open_default_rm(&rm);
    if (library->resource_manager_status >= VI_SUCCESS) {
      ask_maker(table, rm, library, state);
      state->usable += library->used ? 1 : 0;
      table.close(rm);
    }
  }
  state->seen(library, state->context);
}

} // namespace

int32_t gpib_survey_visa(void (*seen)(const gpib_library_seen* library, void* context), void* context) {
  survey state{seen, context, {}, 0, {}};
  gpib_survey_libraries(visa_function_names, visa_required, state.found, describe, &state);
  return state.usable;
}
