// Faults from the configuration: each one fires exactly where it is told to.
#include <string>
#include <vector>

#include "sim_test.h"

using namespace simtest;

namespace {

TEST(Faults, NoReplyToTheNthOccurrence) {
  auto in = start({{"mode", "0"}, {"fault", "no-reply XXCRC? 2"}});
  EXPECT_TRUE(query(in.get(), "XXCRC? 8388608,4\n"));
  EXPECT_EQ(query(in.get(), "XXCRC? 8388608,4\n"), std::nullopt);
  EXPECT_TRUE(query(in.get(), "XXCRC? 8388608,4\n"));
  EXPECT_TRUE(query(in.get(), "XXCMD?\n")) << "other commands untouched";
}

TEST(Faults, ReplyTextReplacesTheReply) {
  struct row {
    const char* fault;
    std::string reply;
  } rows[] = {
      {"reply XXCMD? 1 4", "4"}, {"reply XXCMD? 1 4294967295", "4294967295"},         {"reply XXCMD? 1 ", ""},
      {"reply XXCMD? 1", ""},    {"reply XXCMD? 1 no digits here", "no digits here"}, {"reply XXCMD? 1 0x3", "0x3"},
  };
  for (const auto& r : rows) {
    auto in = start({{"mode", "2"}, {"fault", r.fault}});
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), r.reply) << r.fault;
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), "2\n") << r.fault << ": only the first";
  }
}

TEST(Faults, EmptyReplyStillComesWithEnd) {
  auto in = start({{"mode", "0"}, {"fault", "reply *OPC? 1"}});
  send(in.get(), "*OPC?\n");
  uint8_t buf[8];
  uint32_t count = 99;
  bool end = false;
  ASSERT_TRUE(sim_take_reply(in.get(), buf, sizeof buf, &count, &end));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(end);
}

TEST(Faults, LongReplyIsMoreThanAHundredBytes) {
  auto in = start({{"mode", "0"}, {"fault", "long-reply XXRDMEM? 1"}});
  send(in.get(), "XXRDMEM? 8388608,4\n");
  uint8_t buf[100];
  uint32_t count = 0;
  bool end = true;
  ASSERT_TRUE(sim_take_reply(in.get(), buf, sizeof buf, &count, &end));
  EXPECT_EQ(count, 100u);
  EXPECT_FALSE(end);
  auto rest = take(in.get());
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->size(), 51u);
  EXPECT_EQ(rest->back(), '\n');
}

TEST(Faults, CountsOnlyRepliesGiven) {
  // A query refused while locked gives no reply and does not count.
  auto in = start({{"mode", "2"}, {"fault", "reply XXCRC? 1 77"}});
  EXPECT_EQ(query(in.get(), "XXCRC? 8388608,4\n"), std::nullopt);
  send(in.get(), "XXENTER 6081\n");
  EXPECT_EQ(query(in.get(), "XXCRC? 8388608,4\n"), "77");
  // A new instrument counts from 1 again.
  auto again = start({{"mode", "0"}, {"fault", "reply XXCRC? 1 77"}});
  EXPECT_EQ(query(again.get(), "XXCRC? 8388608,4\n"), "77");
}

TEST(Faults, EraseErrorOnOneSector) {
  auto in = start({{"mode", "0"}, {"fault", "erase-error 2 -7"}, {"fault", "erase-error 5 0"}});
  send(in.get(), "XXFILL 8388608,65536,0\n");
  for (uint32_t s : {2u, 5u})
    ASSERT_EQ(number(in.get(), "XXPROG? 8388608,65536," + std::to_string(flash + s * sector) + "\n"), 0u);
  EXPECT_EQ(query(in.get(), "XXERASE? 1,1\n"), "0\n");
  EXPECT_EQ(query(in.get(), "XXERASE? 2,1\n"), "-7\n");
  EXPECT_EQ(query(in.get(), "XXERASE? 2,1\n"), "-7\n") << "every time";
  EXPECT_EQ(peek(in.get(), flash + 2 * sector, 1), std::vector<uint8_t>{0}) << "not erased";
  // Code 0: claims success, erases nothing.
  EXPECT_EQ(query(in.get(), "XXERASE? 5,1\n"), "0\n");
  EXPECT_EQ(peek(in.get(), flash + 5 * sector, 1), std::vector<uint8_t>{0});
}

TEST(Faults, ProgErrorOnTheNthBlockCountedFromZero) {
  auto in = start({{"mode", "0"}, {"fault", "prog-error 1 12"}});
  send(in.get(), "XXFILL 8388608,256,0\n");
  EXPECT_EQ(query(in.get(), "XXPROG? 8388608,16,4292870144\n"), "0\n");
  EXPECT_EQ(query(in.get(), "XXPROG? 8388608,16,4292870160\n"), "12\n");
  EXPECT_EQ(peek(in.get(), flash + 16, 16), std::vector<uint8_t>(16, 0xFF)) << "nothing written";
  EXPECT_EQ(query(in.get(), "XXPROG? 8388608,16,4292870160\n"), "0\n");
}

TEST(Faults, BootModeAfterBootIntoBootrom) {
  auto in = start({{"mode", "2"}, {"fault", "boot-mode 1"}});
  send(in.get(), "XXENTER 6081\n");
  send(in.get(), "XXBOOT 2\n");
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "1\n");
}

TEST(Faults, CorruptDownloadInvertsOneByte) {
  for (uint32_t offset : {0u, 5u, 65535u, 65536u, 99999u}) {
    auto in = start({{"mode", "0"}, {"fault", "corrupt-download " + std::to_string(offset)}});
    auto data = pattern(100000, offset);
    download(in.get(), ram, data);
    auto expected = data;
    expected[offset] = uint8_t(~expected[offset]);
    EXPECT_EQ(peek(in.get(), ram, 100000), expected) << offset;
  }
  auto in = start({{"mode", "0"}, {"fault", "corrupt-download 100000"}});
  auto data = pattern(100000);
  download(in.get(), ram, data);
  EXPECT_EQ(peek(in.get(), ram, 100000), data) << "an offset past the data changes nothing";
}

} // namespace
