// The VISA session layer against the stand-in: what reaches VISA, and how
// each failing call ends the process.
#include "link.h"
#include "run_program.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <algorithm>

using testing::ExitedWithCode;

namespace {

bool has_line(const standin& setup, const std::string& line) {
  const std::vector<std::string> lines = setup.trace_lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct resource_case {
  const char* name;
  int32_t address;
  const char* interface_name;
  const char* resource; // what viOpen is asked for; null: VISA is never called
  int32_t result;
};

class ResourceString : public testing::TestWithParam<resource_case> {};

TEST_P(ResourceString, OpensTheNamedResourceOrNothing) {
  const resource_case& c = GetParam();
  const standin setup = standin_setup(0, "", "[GPIB1::5::INSTR]\n[GPIB0::30::INSTR]\n");
  EXPECT_EQ(gpib_open(c.address, c.interface_name), c.result);
  const std::vector<std::string> lines = setup.trace_lines();
  if (c.resource == nullptr) {
    EXPECT_TRUE(lines.empty()) << lines.front();
    return;
  }
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], "viOpenDefaultRM() = 0x00000000 VI_SUCCESS rm=1");
  EXPECT_EQ(lines[1], std::string("viOpen(1, \"") + c.resource + "\", 1, 0) = 0x00000000 VI_SUCCESS vi=2");
  EXPECT_EQ(lines[2], "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS");
}

INSTANTIATE_TEST_SUITE_P(Link, ResourceString,
                         testing::Values(resource_case{"default_interface", 17, nullptr, "GPIB0::17::INSTR", 0},
                                         resource_case{"empty_name_is_default", 17, "", "GPIB0::17::INSTR", 0},
                                         resource_case{"highest_address", 30, nullptr, "GPIB0::30::INSTR", 0},
                                         resource_case{"named_interface", 5, "GPIB1", "GPIB1::5::INSTR", 0},
                                         resource_case{"address_31", 31, nullptr, nullptr, 2},
                                         resource_case{"negative_address", -1, nullptr, nullptr, 2}),
                         [](const testing::TestParamInfo<resource_case>& info) { return info.param.name; });

TEST(Session, EndGoesOnlyWithFlagOneAndTheAttributeDropsAfterEveryWrite) {
  const standin setup = standin_setup(0);
  gpib_open(17, nullptr);
  const uint8_t bytes[] = {'a', 'b', 'c'};
  uint32_t written = 0;
  for (int32_t flag : {1, 0, 2}) {
    EXPECT_EQ(gpib_write(bytes, 3, &written, flag), 0);
    EXPECT_EQ(written, 3U);
  }
  const std::vector<std::string> lines = setup.trace_lines();
  const std::vector<std::string> expected = {
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 1) = 0x00000000 VI_SUCCESS",
      "viWrite(2, \"abc\" END, 3) = 0x00000000 VI_SUCCESS sent=3",
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS",
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS",
      "viWrite(2, \"abc\", 3) = 0x00000000 VI_SUCCESS sent=3",
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS",
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS",
      "viWrite(2, \"abc\", 3) = 0x00000000 VI_SUCCESS sent=3",
      "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS",
  };
  ASSERT_GE(lines.size(), 3 + expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), expected);
}

TEST(Session, TimeoutIsSetInMillisecondsAndItsStatusHandedBack) {
  const standin setup = standin_setup(0);
  gpib_open(17, nullptr);
  EXPECT_EQ(gpib_set_timeout(10), 0);
  EXPECT_TRUE(has_line(setup, "viSetAttribute(2, VI_ATTR_TMO_VALUE, 10000) = 0x00000000 VI_SUCCESS"));
}

TEST(Session, TimeoutOnAnUnopenedSessionFailsSilently) {
  const standin setup = standin_setup(0);
  testing::internal::CaptureStderr();
  EXPECT_LT(gpib_set_timeout(10), 0); // session 0: VISA refuses, nothing ends
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Session, PositiveOpenStatusCountsAsOpen) {
  const standin setup = standin_setup(0, "fail = viOpen 0x3FFF007D\n", "fail = viOpenDefaultRM 0x3FFF007D\n");
  EXPECT_EQ(gpib_open(17, nullptr), 0);
  EXPECT_TRUE(has_line(setup, "viOpen(1, \"GPIB0::17::INSTR\", 1, 0) = 0x3FFF007D VI_SUCCESS_DEV_NPRESENT vi=2"));
  EXPECT_TRUE(has_line(setup, "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS"));
}

// On Windows a death test's child runs the test again from its start, with
// a stand-in folder (and trace) of its own: the trace is not the parent's to read.
constexpr const char* child_trace_elsewhere = "a death test's child on Windows writes its trace elsewhere";

// A VISA whose resource manager cannot start is named with its status, and
// nothing else of it is called; a warning is still a resource manager.
TEST(Session, NoResourceManagerIsNamedAndNothingElseIsCalled) {
  if (on_windows) {
    GTEST_SKIP() << child_trace_elsewhere;
  }
  const standin setup = standin_setup(0, "", "fail = viOpenDefaultRM 0xBFFF009E\n");
  EXPECT_EXIT(gpib_open(17, nullptr), ExitedWithCode(1),
              "^viOpenDefaultRM: can't open the VISA resource manager, status 0xBFFF009E\n$");
  EXPECT_EQ(setup.trace_lines(), std::vector<std::string>{"viOpenDefaultRM() = 0xBFFF009E VI_ERROR_LIBRARY_NFOUND"});
}

// Each failing call: its message, status 1, and no close of the session.
struct failure_case {
  const char* name;
  const char* fault;
  void (*call)();
  const char* message;
};

class FailingCall : public testing::TestWithParam<failure_case> {};

TEST_P(FailingCall, PrintsItsMessageAndEndsWithoutClosing) {
  const failure_case& c = GetParam();
  const standin setup = standin_setup(0, c.fault);
  EXPECT_EXIT(
      {
        gpib_open(17, nullptr);
        gpib_set_timeout(10);
        c.call();
      },
      ExitedWithCode(1), std::string("^") + c.message + "$");
  EXPECT_FALSE(has_line(setup, "viClose(2) = 0x00000000 VI_SUCCESS"));
}

INSTANTIATE_TEST_SUITE_P(
    Link, FailingCall,
    testing::Values(
        failure_case{"open", "fail = viOpen VI_ERROR_RSRC_NFOUND\n", [] {},
                     "viOpen: can't open device GPIB0::17::INSTR\n"},
        // Another program holds the lock: named as such, the rest of the path unchanged.
        failure_case{"open_locked", "fail = viOpen VI_ERROR_RSRC_LOCKED\n", [] {},
                     "viOpen: GPIB0::17::INSTR is in use by another program\n"},
        // kesload never takes a refusal of its writes for a lock (it holds one): the link's words.
        failure_case{"write_locked", "fail = viWrite 1 VI_ERROR_RSRC_LOCKED\n", [] { gpib_send("XXCMD?\n"); },
                     "viWrite: timeout\n"},
        failure_case{"write", "fail = viWrite 1 VI_ERROR_IO\n", [] { gpib_send("XXCMD?\n"); }, "viWrite: timeout\n"},
        failure_case{"positive_write_status", "fail = viWrite 1 0x3FFF0006\n", [] { gpib_send("XXCMD?\n"); },
                     "viWrite: timeout\n"},
        failure_case{"read_without_reply", "",
                     [] {
                       uint32_t value = 0;
                       gpib_uint32(&value);
                     },
                     "viRead: timeout\n"},
        failure_case{"read_status", "fail = viRead 1 VI_ERROR_CONN_LOST\n",
                     [] {
                       uint32_t value = 0;
                       gpib_uint32(&value);
                     },
                     "viRead: timeout\n"},
        failure_case{"clear", "fail = viClear 1 VI_ERROR_TMO\n", [] { gpib_clear(); }, "viClear: timeout\n"},
        failure_case{"positive_clear_status", "fail = viClear 1 0x3FFF0006\n", [] { gpib_clear(); },
                     "viClear: timeout\n"},
        failure_case{"close", "fail = viClose 1 VI_ERROR_IO\n", [] { gpib_close(); }, ""},
        failure_case{"positive_close_status", "fail = viClose 1 0x3FFF0082\n", [] { gpib_close(); }, ""},
        failure_case{"cable_pulled", "cable = 0\n", [] { gpib_send("XXCMD?\n"); }, "viWrite: timeout\n"}),
    [](const testing::TestParamInfo<failure_case>& info) { return info.param.name; });


TEST(Session, FailedOpenClosesTheResourceManager) {
  if (on_windows) {
    GTEST_SKIP() << child_trace_elsewhere;
  }
  const standin setup = standin_setup(0, "fail = viOpen VI_ERROR_RSRC_NFOUND\n");
  EXPECT_EXIT(gpib_open(17, nullptr), ExitedWithCode(1), "");
  EXPECT_TRUE(has_line(setup, "viClose(1) = 0x00000000 VI_SUCCESS"));
}

TEST(Session, FailedWriteStillDropsTheEndAttribute) {
  if (on_windows) {
    GTEST_SKIP() << child_trace_elsewhere;
  }
  const standin setup = standin_setup(0, "fail = viWrite 1 VI_ERROR_IO\n");
  EXPECT_EXIT(
      {
        gpib_open(17, nullptr);
        gpib_send("XXCMD?\n");
      },
      ExitedWithCode(1), "");
  const std::vector<std::string> lines = setup.trace_lines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines.back(), "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS");
}

TEST(Session, CloseEndsTheSession) {
  const standin setup = standin_setup(0);
  gpib_open(17, nullptr);
  EXPECT_EQ(gpib_close(), 0);
  EXPECT_EQ(setup.trace_lines().back(), "viClose(2) = 0x00000000 VI_SUCCESS");
}

TEST(Session, FailPathExitsWithOneWhateverTheStatus) {
  for (int32_t status : {0, 2, -1, 0x3FFF0006, static_cast<int32_t>(0xBFFF0015)}) {
    EXPECT_EXIT(gpib_fail(status), ExitedWithCode(1), "") << status;
  }
}

} // namespace
