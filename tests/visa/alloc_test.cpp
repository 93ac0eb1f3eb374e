// The per-call paths must not allocate once the configuration is loaded.
#include "visa_fixture.h"

#include "alloc_count.h"

#include <vector>

namespace {

// Counts the allocations of calls on one instrument session.
template <typename Calls> long allocations_of(Calls&& calls) {
  start_counting_allocations();
  calls();
  return stop_counting_allocations();
}

TEST_F(VisaTest, CallsAfterLoadAllocateNothing) {
  configure("trace = " + trace_path() +
            "\ntimeout_scale = 0\n[GPIB0::17::INSTR]\nstate = bench.state\nfail = viWrite 3 VI_ERROR_IO\ncable = 6\n");
  const ViSession vi = open_instrument();
  const ViByte query[] = "XXCMD?\n";
  std::vector<ViByte> block(65536, 0xA5);
  ViByte buffer[100];
  ViUInt32 count = 0;
  const long n = allocations_of([&] {
    for (int round = 0; round < 2; ++round) { // the second round meets the fault and the cable
      viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE);
      viWrite(vi, query, 7, &count);
      viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE);
      viRead(vi, buffer, 1, &count);
      viRead(vi, buffer, sizeof buffer, &count);
      viRead(vi, buffer, sizeof buffer, &count); // times out
      viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
      viWrite(vi, query, 7, &count);
      viRead(vi, buffer, sizeof buffer, &count); // ends at the termination character
      viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_FALSE);
      ViUInt32 timeout = 0;
      viGetAttribute(vi, VI_ATTR_TMO_VALUE, &timeout);
      ViAccessMode lock = 0;
      viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &lock); // asks the state file's lock
      ViChar maker[VI_FIND_BUFLEN];
      viGetAttribute(1, VI_ATTR_RSRC_MANF_NAME, maker);
      viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000);
      viWrite(vi, block.data(), static_cast<ViUInt32>(block.size()), &count);
      viClear(vi);
      viWrite(VI_NULL, query, 7, &count);
    }
  });
  EXPECT_EQ(n, 0);
}

} // namespace
