// The command and reply helpers on the bus: what the instrument receives,
// and what a reply reads as.
#include "link.h"
#include "standin.h"

#include <gtest/gtest.h>

using testing::ExitedWithCode;

namespace {

class Helpers : public testing::Test {
protected:
  // An instrument whose first mode reply is the given text.
  void open_with_reply(const std::string& reply) {
    setup = standin_setup(0, "fault = reply XXCMD? 1 " + reply + "\n");
    gpib_open(17, nullptr);
  }
  void open_plain() {
    setup = standin_setup(0);
    gpib_open(17, nullptr);
  }
  standin setup;
};

TEST_F(Helpers, TextGoesWithoutItsTerminatorAndWithEnd) {
  open_plain();
  EXPECT_EQ(gpib_send("XXCMD?\n"), 0);
  EXPECT_EQ(gpib_send_end("XXCMD?\n", 0), 0);
  const uint8_t block[] = {0x00, 0xFF, 'A'};
  EXPECT_EQ(gpib_send_block(block, 3, 0), 0);
  EXPECT_EQ(gpib_send_block(block, 3, 1), 0);
  const std::vector<std::string> bus = setup.bus_lines();
  ASSERT_EQ(bus.size(), 4U);
  EXPECT_EQ(bus[0], "viWrite(2, \"XXCMD?\\n\" END, 7) = 0x00000000 VI_SUCCESS sent=7");
  EXPECT_EQ(bus[1], "viWrite(2, \"XXCMD?\\n\", 7) = 0x00000000 VI_SUCCESS sent=7");
  // Raw bytes escaped, and END only on the block that asked for it.
  EXPECT_EQ(bus[2], "viWrite(2, \"\\x00\\xFFA\", 3) = 0x00000000 VI_SUCCESS sent=3");
  EXPECT_EQ(bus[3], "viWrite(2, \"\\x00\\xFFA\" END, 3) = 0x00000000 VI_SUCCESS sent=3");
}

TEST_F(Helpers, RefusedArgumentsPrintTheirMessageAndSendNothing) {
  open_plain();
  const uint8_t block[] = {1};
  struct refusal {
    int32_t (*send)(const uint8_t*);
    const char* message;
  };
  const refusal refusals[] = {
      {[](const uint8_t*) { return gpib_send(nullptr); }, " SYSTEM: null pointer\n"},
      {[](const uint8_t*) { return gpib_send(""); }, " SYSTEM: null string\n"},
      {[](const uint8_t*) { return gpib_send_end("", 1); }, " SYSTEM: null string\n"},
      {[](const uint8_t*) { return gpib_send_block(nullptr, 0, 1); }, " SYSTEM: null pointer\n"},
      {[](const uint8_t* data) { return gpib_send_block(data, 0, 1); }, " SYSTEM: zero bytes for block size\n"},
  };
  for (const refusal& r : refusals) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.send(block), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message);
  }
  EXPECT_TRUE(setup.bus_lines().empty());
}

TEST_F(Helpers, QueryModeReadsTheReplyAsSignedBits) {
  struct mode_case {
    const char* reply;
    int32_t mode;
  };
  for (const mode_case& c : {mode_case{"2", 2}, mode_case{"0x3", 3}, mode_case{"4294967295", -1}, mode_case{"-1", -1},
                             mode_case{"abc", 0}}) {
    open_with_reply(c.reply);
    EXPECT_EQ(query_mode(), c.mode) << c.reply;
  }
}

TEST_F(Helpers, EmptyRepliesReadAsZeroWithTheReadersMessage) {
  open_with_reply("");
  testing::internal::CaptureStderr();
  EXPECT_EQ(query_mode(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " gpib_uint32: no data available\n");

  open_with_reply("");
  gpib_send("XXCMD?\n");
  int32_t value = 7;
  testing::internal::CaptureStderr();
  EXPECT_EQ(gpib_int32(&value), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " gpib_int32: no data available\n");
  EXPECT_EQ(value, 0);

  setup = standin_setup(0, "fault = reply *OPC? 1\n");
  gpib_open(17, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(gpib_opc(), 0U);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " gpib_uint32: no data available\n");
}

TEST_F(Helpers, OpcSendsItsQueryWithEnd) {
  open_plain();
  EXPECT_EQ(gpib_opc(), 1U);
  const std::vector<std::string> bus = setup.bus_lines();
  ASSERT_EQ(bus.size(), 2U);
  EXPECT_EQ(bus[0], "viWrite(2, \"*OPC?\\n\" END, 6) = 0x00000000 VI_SUCCESS sent=6");
  EXPECT_EQ(bus[1], "viRead(2, 100) = 0x00000000 VI_SUCCESS \"1\\n\" END");
}

TEST_F(Helpers, RepliesOfAHundredBytesFitAndLongerOnesEndTheRun) {
  open_with_reply("0x" + std::string(96, '0') + "2A");
  EXPECT_EQ(query_mode(), 42);

  open_with_reply("0x" + std::string(97, '0') + "2A");
  EXPECT_EXIT(query_mode(), ExitedWithCode(1), "^viRead: timeout\n$");
}

} // namespace
