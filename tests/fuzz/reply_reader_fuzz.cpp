// The reply readers (gpib_uint32, gpib_int32 and the two queries built on
// them) over arbitrary replies of 0 to 100 bytes. A longer reply cannot
// reach them: VISA stops at the 100 bytes of room the reader offers, and the
// session layer ends the run when more is waiting, so a 101st byte and
// beyond are cut off here.
#include "fake_session.h"
#include "fuzz_check.h"
#include "link.h"
#include "number_reference.h"

#include <algorithm>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = std::min<size_t>(size, gpib_reply_room);
  // What the reader converts: the reply as text, ended at a zero byte in it.
  const std::string text(reinterpret_cast<const char*>(data), length);
  const uint32_t expected_unsigned = length == 0 ? 0 : number_reference::to_uint32(text.c_str());
  const int32_t expected_signed = length == 0 ? 0 : number_reference::to_int32(text.c_str());
  const int32_t expected_result = length == 0 ? 2 : 0;

  fake_bus_reset(data, length);
  uint32_t unsigned_value = 0xA5A5A5A5U;
  FUZZ_CHECK(gpib_uint32(&unsigned_value) == expected_result);
  FUZZ_CHECK(unsigned_value == expected_unsigned);

  int32_t signed_value = 0x5A5A5A5A;
  FUZZ_CHECK(gpib_int32(&signed_value) == expected_result);
  FUZZ_CHECK(signed_value == expected_signed);

  FUZZ_CHECK(gpib_opc() == expected_unsigned);
  FUZZ_CHECK(fake_bus_state().written == gpib_cmd_opc);
  FUZZ_CHECK(fake_bus_state().last_end_flag == 1);

  FUZZ_CHECK(query_mode() == static_cast<int32_t>(expected_unsigned));
  FUZZ_CHECK(fake_bus_state().written == gpib_cmd_mode);
  FUZZ_CHECK(fake_bus_state().last_end_flag == 1);

  // One read per reader, each offering the full reply room.
  FUZZ_CHECK(fake_bus_state().reads == 4);
  FUZZ_CHECK(fake_bus_state().smallest_room == gpib_reply_room);
  return 0;
}
