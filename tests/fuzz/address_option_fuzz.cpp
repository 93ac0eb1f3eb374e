// The -a conversion over arbitrary text of any length: gpib_to_int32 as the
// option reads it, and gpib_to_uint32 beside it, since both share one parser.
#include "fuzz_check.h"
#include "link.h"
#include "number_reference.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An argument is a C string: a zero byte in the input ends it.
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(gpib_to_int32(text.c_str()) == number_reference::to_int32(text.c_str()));
  FUZZ_CHECK(gpib_to_uint32(text.c_str()) == number_reference::to_uint32(text.c_str()));
  return 0;
}
