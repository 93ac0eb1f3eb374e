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
