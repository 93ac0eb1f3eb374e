// The VISA session layer: the only file of the program that calls VISA.
#include "link.h"

#include <visa.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

ViSession rm_session = VI_NULL;
ViSession instrument_session = VI_NULL;

void set_send_end(bool on) {
  // Attribute settings are not judged: a failure shows in the write that follows.
  viSetAttribute(instrument_session, VI_ATTR_SEND_END_EN, on ? VI_TRUE : VI_FALSE);
}

} // namespace

int32_t gpib_open(int32_t address, const char* interface_name) {
  if (address < 0 || address > gpib_address_max) {
    return 2;
  }
  gpib_stop_if_interrupted();
  if (viOpenDefaultRM(&rm_session) < VI_SUCCESS) {
    return 2;
  }
  std::array<char, gpib_resource_size> resource{};
  const bool named = interface_name != nullptr && interface_name[0] != '\0';
  const int length = named ? std::snprintf(resource.data(), resource.size(), "%s::%d::INSTR", interface_name, address)
                           : std::snprintf(resource.data(), resource.size(), "GPIB0::%d::INSTR", address);
  if (length < 0 || static_cast<size_t>(length) >= resource.size()) {
    return 2; // a truncated name would open some other resource
  }
  const ViStatus status = viOpen(rm_session, resource.data(), VI_NO_LOCK, 0, &instrument_session);
  if (status >= VI_SUCCESS) {
    set_send_end(false);
    return 0;
  }
  viClose(rm_session);
  instrument_session = VI_NULL;
  report_error("viOpen: can't open device %s\n", resource.data());
  gpib_fail(2);
}

int32_t gpib_close() {
  const ViStatus status = viClose(instrument_session);
  if (status != VI_SUCCESS) {
    gpib_fail(status);
  }
  return 0;
}

int32_t gpib_write(const uint8_t* data, uint32_t length, uint32_t* written, int32_t end_flag) {
  gpib_stop_if_interrupted();
  set_send_end(end_flag == 1);
  ViUInt32 sent = 0;
  const ViStatus status = viWrite(instrument_session, data, length, &sent);
  set_send_end(false);
  if (status != VI_SUCCESS) {
    report_error("viWrite: timeout\n");
    gpib_fail(status);
  }
  *written = sent;
  return 0;
}

int32_t gpib_read(uint8_t* buffer, uint32_t max, uint32_t* count) {
  ViUInt32 received = 0;
  const ViStatus status = viRead(instrument_session, buffer, max, &received);
  if (status != VI_SUCCESS) {
    report_error("viRead: timeout\n");
    gpib_fail(status);
  }
  *count = received;
  return 0;
}

int32_t gpib_set_timeout(int32_t seconds) {
  const uint32_t milliseconds = static_cast<uint32_t>(seconds) * 1000U;
  return viSetAttribute(instrument_session, VI_ATTR_TMO_VALUE, milliseconds);
}

int32_t gpib_clear() {
  gpib_stop_if_interrupted();
  const ViStatus status = viClear(instrument_session);
  if (status != VI_SUCCESS) {
    report_error("viClear: timeout\n");
    gpib_fail(status);
  }
  return 0;
}

void gpib_stop_if_interrupted() {
  if (!gpib_interrupted()) {
    return;
  }
  report_error("Interrupted: update not complete, run kesload again\n");
  if (instrument_session != VI_NULL) {
    viClose(instrument_session); // the exit status is 1 whatever the close says
  }
  std::exit(1);
}

void gpib_fail(int32_t /*status*/) {
  // Whatever VISA said, the operator sees one exit status for a link failure.
  std::exit(1);
}

// Search and probe: sessions of their own, every failure an answer.

namespace {

static_assert(gpib_find_room >= VI_FIND_BUFLEN, "a found name must fit");

bool have_resource_manager() { return rm_session != VI_NULL || viOpenDefaultRM(&rm_session) >= VI_SUCCESS; }

} // namespace

int32_t gpib_find(const char* pattern, void (*found)(const char* resource, void* context), void* context) {
  if (pattern == nullptr || found == nullptr || !have_resource_manager()) {
    return -1;
  }
  std::array<ViChar, gpib_find_room> name{};
  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  const ViStatus status = viFindRsrc(rm_session, pattern, &list, &count, name.data());
  if (status == VI_ERROR_RSRC_NFOUND) {
    return 0;
  }
  if (status < VI_SUCCESS) {
    return -1;
  }
  // The first name comes with the search; count says how many follow it.
  int32_t listed = 0;
  for (ViUInt32 i = 0; i < count; ++i) {
    if (i > 0 && viFindNext(list, name.data()) < VI_SUCCESS) {
      break;
    }
    name.back() = '\0'; // never trust a name to be terminated
    found(name.data(), context);
    ++listed;
  }
  viClose(list);
  return listed;
}

int32_t gpib_probe_mode(const char* resource, uint32_t timeout_ms, uint32_t* mode) {
  *mode = 0;
  if (resource == nullptr || !have_resource_manager()) {
    return 1;
  }
  ViSession probe = VI_NULL;
  if (viOpen(rm_session, resource, VI_NO_LOCK, 0, &probe) < VI_SUCCESS) {
    return 1;
  }
  viSetAttribute(probe, VI_ATTR_TMO_VALUE, timeout_ms);
  viSetAttribute(probe, VI_ATTR_SEND_END_EN, VI_TRUE);
  const auto* query = reinterpret_cast<const ViByte*>(gpib_cmd_mode);
  const ViUInt32 query_length = sizeof gpib_cmd_mode - 1;
  ViUInt32 sent = 0;
  std::array<char, gpib_reply_room + 1> reply{};
  ViUInt32 received = 0;
  const bool answered =
      viWrite(probe, query, query_length, &sent) == VI_SUCCESS && sent == query_length &&
      viRead(probe, reinterpret_cast<ViByte*>(reply.data()), gpib_reply_room, &received) >= VI_SUCCESS && received > 0;
  viClose(probe);
  if (!answered) {
    return 1;
  }
  const auto room = static_cast<ViUInt32>(gpib_reply_room);
  reply[received < room ? received : room] = '\0';
  // A reply that is not one number is no mode: it is no answer either.
  return gpib_reply_uint32(reply.data(), mode) ? 0 : 1;
}
