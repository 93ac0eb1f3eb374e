// Runs the real kesload as an operator would. Without a stand-in
// configuration the VISA library knows no instrument, so a run that gets
// past the image check ends at the open, naming the resource it tried.
#include "front.h"
#include "image.h"
#include "image_make.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string usage_text = read_file(TEST_DATA_DIR "/usage.txt");

std::string opening(const std::string& resource) { return "viOpen: can't open device " + resource + "\n"; }

// An image whose header describes the body "123456789".
void write_image(const std::string& path, uint32_t fw_address, const std::string& body = "123456789") {
  uint8_t header[fw_header_size];
  image_write_header(header, 0xCBF43926, fw_address, 9);
  image_write_file(path.c_str(), header, reinterpret_cast<const uint8_t*>(body.data()), 9);
}

class CommandLine : public testing::Test {
protected:
  static void SetUpTestSuite() {
    images = make_temp_dir();
    write_image(images + "/appl.bin", fw_body_address);
    write_image(images + "/fw.bin", fw_body_address);
    write_image(images + "/bad.bin", fw_body_address, "123456780");
    write_image(images + "/elsewhere.bin", 0);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(images); }
  static inline std::string images;
};

TEST_F(CommandLine, PrintsExactlyWhatTheOperatorShouldSee) {
  const std::string name88(88, 'n');
  const std::string name89(89, 'n');
  const struct {
    std::vector<std::string> args;
    std::string err;
    int status;
    bool posixly_correct = false;
  } cases[] = {
      {{}, opening("GPIB0::17::INSTR"), 1},
      {{"-v"}, opening("GPIB0::17::INSTR"), 1},
      {{"-n", "-v", "fw.bin"}, opening("GPIB0::17::INSTR"), 1},
      {{"-a", "0x1e"}, opening("GPIB0::30::INSTR"), 1},
      {{"-a", "017"}, opening("GPIB0::15::INSTR"), 1},
      {{"-a", " +7"}, opening("GPIB0::7::INSTR"), 1},
      {{"-a", "-0"}, opening("GPIB0::0::INSTR"), 1},
      // A typo never addresses another instrument, even with a valid -a after it.
      {{"-a", "abc"}, "invalid GPIB address abc\n" + usage_text, 2},
      {{"-a", "09", "-a", "9"}, "invalid GPIB address 09\n" + usage_text, 2},
      {{"-a", ""}, "invalid GPIB address \n" + usage_text, 2},
      {{"-a", "0x"}, "invalid GPIB address 0x\n" + usage_text, 2},
      {{"-a", "1O"}, "invalid GPIB address 1O\n" + usage_text, 2},
      {{"-a", "17 "}, "invalid GPIB address 17 \n" + usage_text, 2},
      {{"-a", "5", "-a", "7"}, opening("GPIB0::7::INSTR"), 1},
      {{"-a", "31"}, "invalid GPIB address 31\n" + usage_text, 2},
      {{"-a", "-1"}, "invalid GPIB address -1\n" + usage_text, 2},
      {{"-a", "99", "-a", "5"}, "invalid GPIB address 99\n" + usage_text, 2},
      {{"-a", "4294967313"}, "invalid GPIB address 2147483647\n" + usage_text, 2},
      {{"-a", "-4294967313"}, "invalid GPIB address -2147483648\n" + usage_text, 2},
      {{"-a"}, usage_text, 2},
      {{"-g"}, usage_text, 2},
      {{"-x"}, usage_text, 2},
      {{"fw.bin", "appl.bin"}, usage_text, 2},
      {{"-g", "GPIB1", "-a", "5"}, opening("GPIB1::5::INSTR"), 1},
      {{"-g", ""}, opening("GPIB0::17::INSTR"), 1},
      {{"-g", name88, "-a", "30"}, opening(name88 + "::30::INSTR"), 1},
      {{"-g", name89}, "invalid GPIB interface name " + name89 + "\n" + usage_text, 2},
      {{"-g", name89, "-g", "GPIB1"}, "invalid GPIB interface name " + name89 + "\n" + usage_text, 2},
      {{"-a", "99", "-g", name89, "fw.bin"},
       "invalid GPIB address 99\ninvalid GPIB interface name " + name89 + "\n" + usage_text,
       2},
      // Options after the operand are read, unless POSIXLY_CORRECT stops at it.
      {{"fw.bin", "-n", "-a", "3"}, opening("GPIB0::3::INSTR"), 1},
      {{"fw.bin", "-n", "-a", "3"}, usage_text, 2, true},
      {{"fw.bin", "-a", "31"}, "invalid GPIB address 31\n" + usage_text, 2},
      {{"fw.bin", "--", "-a", "3"}, usage_text, 2},
      // A failed image check ends the run before the instrument is opened.
      {{"bad.bin", "-n", "-a", "3"}, "Data file bad.bin is corrupted\n", 1},
      {{"--", "-x.bin"}, "Can not open -x.bin\n", 1},
      {{"-g", "GPIB1", "missing.bin"}, "Can not open missing.bin\n", 1},
      {{"-a", "5", "elsewhere.bin"}, "Data file elsewhere.bin is corrupted\n", 1},
      {{"-n", "/"}, "Data file / is corrupted\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + (c.posixly_correct ? " with POSIXLY_CORRECT" : ""));
    const program_run run = run_program(
        KESLOAD_BIN, c.args, {"KESVISA_CONFIG", c.posixly_correct ? "POSIXLY_CORRECT=1" : "POSIXLY_CORRECT"}, images);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, c.status);
  }
}

TEST_F(CommandLine, DefaultImageIsApplBinInTheCurrentFolder) {
  const std::string empty = make_temp_dir();
  const program_run run = run_program(KESLOAD_BIN, {}, {"KESVISA_CONFIG"}, empty);
  std::filesystem::remove(empty);
  EXPECT_EQ(run.err, "Can not open appl.bin\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 1);
}

// Progress still waiting in standard output must come out before a message
// when both streams share one log.
TEST(CommandLineDeathTest, MessagesFollowPendingStandardOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char program[] = "kesload";
  char option[] = "-a";
  char value[] = "99";
  char* argv[] = {program, option, value, nullptr};
  EXPECT_EXIT(
      {
        dup2(2, 1);
        std::printf("progress ");
        parse_options(3, argv);
      },
      testing::ExitedWithCode(2), "progress invalid GPIB address 99\nUsage: ");
}

} // namespace
