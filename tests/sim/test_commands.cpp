// The command interpreter and the message framing, in BOOTROM mode where
// every command is accepted.
#include <string>
#include <vector>

#include "crc32.h"
#include "sim_test.h"

using namespace simtest;

namespace {

sim_ptr bootrom() { return start({{"mode", "0"}}); }

TEST(Crc32, MatchesTheStandardCheckValuesAndContinues) {
  const std::string digits = "123456789";
  auto bytes = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(ksim::crc32(bytes, 9), 0xCBF43926u);
  EXPECT_EQ(ksim::crc32(bytes, 0), 0u);
  EXPECT_EQ(ksim::crc32(bytes + 4, 5, ksim::crc32(bytes, 4)), 0xCBF43926u);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(ksim::crc32(reinterpret_cast<const uint8_t*>(fox.data()), fox.size()), 0x414FA339u);
}

TEST(Commands, QueriesAnswerWithDecimalAndLineFeed) {
  auto in = bootrom();
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
  EXPECT_EQ(query(in.get(), "*OPC?\n"), "1\n");
}

TEST(Commands, FillThenReadWordsBigEndian) {
  auto in = bootrom();
  send(in.get(), "XXFILL 8388608,2097152,255\n");
  EXPECT_FALSE(take(in.get())) << "XXFILL does not reply";
  EXPECT_EQ(number(in.get(), "XXRDMEM? 8388608,4\n"), 0xFFFFFFFFu);
  EXPECT_EQ(number(in.get(), "XXRDMEM? 10485756,4\n"), 0xFFFFFFFFu); // last word of RAM
  send(in.get(), "XXFILL 8388609,2,18\n");
  EXPECT_EQ(number(in.get(), "XXRDMEM? 8388608,4\n"), 0xFF1212FFu);
  EXPECT_EQ(peek(in.get(), ram, 4), (std::vector<uint8_t>{0xFF, 0x12, 0x12, 0xFF}));
}

TEST(Commands, DownloadStoresRawBytesAcrossBlocks) {
  auto in = bootrom();
  // Raw data holds line feeds, zeros and text that looks like a command.
  auto data = pattern(3 * 0x10000 + 77);
  const std::string fake = "XXBOOT 2\n";
  std::copy(fake.begin(), fake.end(), data.begin() + 0x10000);
  download(in.get(), ram + 16, data);
  EXPECT_EQ(peek(in.get(), ram + 16, uint32_t(data.size())), data);
  EXPECT_EQ(number(in.get(), "XXCRC? 8388624," + std::to_string(data.size()) + "\n"), crc(data));
  EXPECT_EQ(number(in.get(), "XXCMD?\n"), 0u) << "data are never commands";
}

TEST(Commands, DownloadTakesWritesOfAnySize) {
  auto in = bootrom();
  auto data = pattern(1000, 7);
  send(in.get(), "XXDLDATA 8388608,1000\n");
  size_t sizes[] = {1, 2, 500, 96, 401};
  size_t at = 0;
  for (size_t n : sizes) {
    sim_receive(in.get(), data.data() + at, n, at + n == data.size());
    at += n;
  }
  EXPECT_EQ(peek(in.get(), ram, 1000), data);
  EXPECT_EQ(query(in.get(), "*OPC?\n"), "1\n");
}

TEST(Commands, DownloadBeyondItsLengthIsDroppedUntilEnd) {
  auto in = bootrom();
  send(in.get(), "XXFILL 8388608,16,0\n");
  send(in.get(), "XXDLDATA 8388608,4\n");
  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6};
  sim_receive(in.get(), data.data(), data.size(), false);
  // Still the data message: this is swallowed with it.
  send(in.get(), "XXCMD?\n", true);
  EXPECT_FALSE(take(in.get()));
  EXPECT_EQ(peek(in.get(), ram, 8), (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 0}));
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
}

TEST(Commands, ShortDownloadEndsWithItsEnd) {
  auto in = bootrom();
  send(in.get(), "XXDLDATA 8388608,100\n");
  std::vector<uint8_t> data = {9, 8, 7};
  sim_receive(in.get(), data.data(), data.size(), true);
  EXPECT_EQ(query(in.get(), "XXRDMEM? 8388608,4\n"), std::to_string(0x09080700u) + "\n");
}

TEST(Commands, CrcOverRamAndFlash) {
  auto in = bootrom();
  auto data = pattern(300, 3);
  download(in.get(), ram + 100, data);
  EXPECT_EQ(number(in.get(), "XXCRC? 8388708,300\n"), crc(data));
  EXPECT_EQ(number(in.get(), "XXCRC? 8388708,0\n"), 0u);
  std::vector<uint8_t> erased(0x10000, 0xFF);
  EXPECT_EQ(number(in.get(), "XXCRC? 4292870144,65536\n"), crc(erased));
}

TEST(Commands, MessageIsCompleteOnlyWithEnd) {
  auto in = bootrom();
  send(in.get(), "XX", false);
  send(in.get(), "CMD", false);
  EXPECT_FALSE(take(in.get())) << "nothing acted on before END";
  send(in.get(), "?\n", true);
  EXPECT_EQ(take(in.get()), "0\n");

  // The line feed alone does not end a message.
  send(in.get(), "XXCMD?\n", false);
  EXPECT_FALSE(take(in.get()));
  send(in.get(), "", true);
  EXPECT_EQ(take(in.get()), "0\n") << "an empty write with END completes it";
}

TEST(Commands, ReplyCanBeTakenInPieces) {
  auto in = bootrom();
  send(in.get(), "XXRDMEM? 4292870144,4\n"); // 4294967295\n: 11 bytes
  uint8_t buf[8];
  uint32_t count = 99;
  bool end = true;
  ASSERT_TRUE(sim_take_reply(in.get(), buf, 4, &count, &end));
  EXPECT_EQ(count, 4u);
  EXPECT_FALSE(end);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "4294");
  ASSERT_TRUE(sim_take_reply(in.get(), buf, 8, &count, &end));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "967295\n");
  EXPECT_TRUE(end);
  EXPECT_FALSE(sim_take_reply(in.get(), buf, 8, &count, &end)) << "a reply is read once";
}

TEST(Commands, NewMessageDropsAnUnreadReply) {
  auto in = bootrom();
  send(in.get(), "XXCMD?\n");
  send(in.get(), "XXFILL 8388608,4,0\n");
  EXPECT_FALSE(take(in.get()));
  send(in.get(), "XXCMD?\n");
  EXPECT_EQ(query(in.get(), "*OPC?\n"), "1\n");
}

TEST(Commands, DeviceClearDropsInputReplyAndDownload) {
  auto in = bootrom();
  send(in.get(), "XXCMD?\n");
  sim_clear(in.get());
  EXPECT_FALSE(take(in.get()));

  send(in.get(), "XXCM", false);
  sim_clear(in.get());
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n") << "half a message is gone";

  send(in.get(), "XXFILL 8388608,8,0\n");
  send(in.get(), "XXDLDATA 8388608,8\n");
  std::vector<uint8_t> half = {1, 2, 3, 4};
  sim_receive(in.get(), half.data(), half.size(), false);
  sim_clear(in.get());
  EXPECT_EQ(query(in.get(), "XXRDMEM? 8388612,4\n"), "0\n") << "the download is aborted, the next write is a command";
  EXPECT_EQ(peek(in.get(), ram, 4), half);
}

// Each of these is refused: no reply, and nothing changes.
TEST(Commands, MalformedOrOutOfRangeCommandsGetNoReply) {
  const char* refused[] = {
      "XXCMD?",                             // no line feed
      "XXCMD?\r\n",                         // carriage return
      "xxcmd?\n",                           // commands are upper case
      "XXCMD? 1\n",                         // takes no arguments
      "XXCMD?\nXXCMD?\n",                   // two lines in one message
      "XXRDMEM? 8388608,2\n",               // only words
      "XXRDMEM? 8388608\n",                 // missing width
      "XXRDMEM? 8388608,4,4\n",             // too many arguments
      "XXRDMEM? 8388608, 4\n",              // blank inside the arguments
      "XXRDMEM? 0x800000,4\n",              // numbers are decimal
      "XXRDMEM? 8388607,4\n",               // before RAM
      "XXRDMEM? 10485758,4\n",              // straddles the end of RAM
      "XXRDMEM? 4294967294,4\n",            // straddles the end of flash
      "XXRDMEM? 0,4\n",                     // no memory there
      "XXCRC? 8388608,2097153\n",           // one byte past RAM
      "XXCRC? 10485760,4292870144\n",       // from RAM into flash
      "XXCRC? 8388608,4294967296\n",        // beyond 32 bits
      "XXCRC? 8388608,-1\n",                // numbers are unsigned
      "XXERASE? 32,1\n",                    // no such sector
      "XXERASE? 0,0\n",                     // count 0
      "XXERASE? 31,2\n",                    // runs past the last sector
      "XXPROG? 8388608,65537,4292870144\n", // longer than a block
      "XXPROG? 4292870144,16,4292935680\n", // flash to flash
      "XXPROG? 8388608,16,8454144\n",       // RAM to RAM
      "XXPROG? 8388608,16,4294967288\n",    // past the end of flash
      "XXNOSUCH?\n",
      "",
  };
  for (const char* command : refused) {
    auto in = bootrom();
    EXPECT_EQ(query(in.get(), command), std::nullopt) << command;
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n") << "still answering after " << command;
  }
}

TEST(Commands, FillAndDownloadOnlyTargetRam) {
  auto in = bootrom();
  send(in.get(), "XXFILL 4292870144,16,0\n");
  send(in.get(), "XXDLDATA 4292870144,4\n");
  std::vector<uint8_t> data = {0, 0, 0, 0};
  sim_receive(in.get(), data.data(), data.size(), true);
  EXPECT_EQ(peek(in.get(), flash, 16), std::vector<uint8_t>(16, 0xFF));
  send(in.get(), "XXFILL 8388608,16,256\n"); // not a byte
  EXPECT_EQ(peek(in.get(), ram, 1), std::vector<uint8_t>{0});
}

TEST(Commands, OverlongMessageIsNotACommand) {
  auto in = bootrom();
  std::string junk(5000, 'X');
  send(in.get(), junk, false);
  send(in.get(), "XXCMD?\n", true);
  EXPECT_FALSE(take(in.get()));
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
}

TEST(Commands, NothingBeforeStartOrWithoutInstrument) {
  sim_ptr in(sim_create());
  send(in.get(), "XXCMD?\n");
  EXPECT_FALSE(take(in.get()));
  EXPECT_EQ(sim_mode(in.get()), -1);
  uint8_t b;
  EXPECT_FALSE(sim_peek(in.get(), ram, &b, 1));
  sim_receive(nullptr, nullptr, 0, true);
  sim_clear(nullptr);
  EXPECT_FALSE(sim_take_reply(nullptr, &b, 1, nullptr, nullptr));
}

} // namespace
