// Erasing the firmware area and programming the staged file into it.
#include "phase_fixture.h"

namespace {

enum : uint32_t { flash = 0xFFE00000 };

// An instrument in BOOTROM mode that already holds the file in RAM.
class Flash : public Phases {
protected:
  void stage(const std::vector<uint8_t>& image, const std::string& extra = {}) {
    start(0, image, extra);
    ASSERT_EQ(fill_target_ram(), 0);
    ASSERT_EQ(run(download_image).result, 0);
    skip = setup.bus_lines().size();
  }
};

TEST_F(Flash, ErasesEverySectorThatIsWrittenOrChecked) {
  struct sectors_case {
    uint32_t file_size;
    int64_t body_length;
    int sectors;
  };
  for (const sectors_case& c :
       {sectors_case{64, 0, 1}, sectors_case{65, 1, 1}, sectors_case{65536, -1, 1}, sectors_case{65600, 65536, 2},
        sectors_case{65537, -1, 2}, sectors_case{64, 65473, 2}, sectors_case{1835008, -1, 28}}) {
    stage(make_image(c.file_size, c.body_length));
    const outcome o = run(erase_flash);
    EXPECT_EQ(o.result, 0) << c.file_size;
    EXPECT_EQ(o.out, "Erase Flash ROM ( " + std::to_string(c.sectors) + " Sectos )      " +
                         std::string(static_cast<size_t>(c.sectors), '.') + "\n");
    std::vector<std::string> expected;
    for (int sector = 0; sector < c.sectors; ++sector) {
      expected.push_back("XXERASE? " + std::to_string(sector) + ",1\\n");
    }
    EXPECT_EQ(commands(), expected) << c.file_size;
  }
}

TEST_F(Flash, AFailedEraseStopsAtThatSector) {
  stage(make_image(300000), "fault = erase-error 2 -5\n");
  const outcome o = run(erase_flash);
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.out, "Erase Flash ROM ( 5 Sectos )      ...");
  EXPECT_EQ(o.err, " erase failed, -5\n");
  EXPECT_EQ(commands().size(), 3U);
}

TEST_F(Flash, EmptyEraseOrProgramReplyIsAMissingReply) {
  stage(make_image(300000), "fault = reply XXERASE? 2\n");
  outcome o = run(erase_flash);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, " gpib_int32: no data available\n");

  stage(make_image(300000), "fault = reply XXPROG? 1\n");
  ASSERT_EQ(run(erase_flash).result, 0);
  o = run(program_flash);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, " gpib_int32: no data available\n");
}

TEST_F(Flash, ProgramsTheWholeFileBlockByBlockAndChecksIt) {
  // 100 bytes of trailing data after the body: programmed, but the body
  // check covers the header's body length only.
  const std::vector<uint8_t> image = make_image(65700, 65536);
  stage(image);
  ASSERT_EQ(run(erase_flash).result, 0);
  skip = setup.bus_lines().size();
  const outcome o = run(program_flash);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "Program Flash ROM ( 2 Blocks )    ..\nSuccessfully F/W is updated\n");
  EXPECT_EQ(commands(),
            (std::vector<std::string>{"XXPROG? 8388608,65536,4292870144\\n", "XXPROG? 8454144,164,4292935680\\n",
                                      "XXRDMEM? 4292870204,4\\n", "XXCRC? 4292870144,60\\n", "XXRDMEM? 4292870144,4\\n",
                                      "XXCRC? 4292870208,65536\\n"}));
  EXPECT_EQ(standin_peek(flash, 65700), image);
}

TEST_F(Flash, FailuresAfterTheEraseAreReported) {
  struct failure_case {
    const char* fault;
    const char* out;
    const char* err;
  };
  const failure_case cases[] = {
      {"fault = prog-error 1 7\n", "Program Flash ROM ( 3 Blocks )    ..", "programming failed, 7\n"},
      {"fault = reply XXCRC? 3 0x1\nfault = reply XXRDMEM? 3 0x2\n", "Program Flash ROM ( 3 Blocks )    ...\n",
       "Programmed data, header CRC error\n    Expected CRC: 0x00000002\n  Calculated CRC: 0x00000001\n"},
      {"fault = reply XXCRC? 4 0xFFFFFFFF\n", "Program Flash ROM ( 3 Blocks )    ...\n",
       "Programmed data, F/W CRC error\n    Expected CRC: 0x"},
      {"fault = reply XXRDMEM? 4\n", "Program Flash ROM ( 3 Blocks )    ...\n", " gpib_uint32: no data available\n"},
      // A flash that agrees with itself on another image's words.
      {"fault = reply XXRDMEM? 4 7\nfault = reply XXCRC? 4 7\n", "Program Flash ROM ( 3 Blocks )    ...\n",
       "Programmed data, F/W CRC error\n    Expected CRC: 0x{F}\n  Calculated CRC: 0x00000007\n"},
  };
  for (const failure_case& c : cases) {
    stage(make_image(150000), c.fault);
    ASSERT_EQ(run(erase_flash).result, 0);
    const outcome o = run(program_flash);
    const std::string err = with_image_words(c.err, image_bytes);
    EXPECT_NE(o.result, 0) << c.fault;
    EXPECT_EQ(o.out, c.out) << c.fault;
    EXPECT_EQ(o.err.substr(0, err.size()), err) << o.err;
    EXPECT_EQ(o.out.find("Successfully"), std::string::npos);
  }
}

} // namespace
