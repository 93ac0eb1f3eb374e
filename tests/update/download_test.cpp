// Staging the file in the instrument's RAM, and its confirmation by CRC.
#include "phase_fixture.h"

namespace {

enum : uint32_t { ram = 0x800000 };

// Runs the fill and the download on an instrument in BOOTROM mode.
class Download : public Phases {
protected:
  outcome fill_and_download(const std::vector<uint8_t>& image, const std::string& extra = {}) {
    start(0, image, extra);
    EXPECT_EQ(fill_target_ram(), 0);
    return run(download_image);
  }

  // The data writes: each block's length and whether END went with it.
  std::vector<std::pair<uint32_t, bool>> blocks() const {
    std::vector<std::pair<uint32_t, bool>> found;
    for (const bus_write& w : writes()) {
      if (!w.is_command()) {
        found.emplace_back(w.length, w.end);
      }
    }
    return found;
  }
};

struct size_case {
  uint32_t file_size;
  std::vector<std::pair<uint32_t, bool>> blocks;
};

TEST_F(Download, SendsTheFileInBlocksWithEndOnlyOnTheLast) {
  const size_case cases[] = {
      {64, {{64, true}}},
      {65536, {{65536, true}}},
      {65537, {{65536, false}, {1, true}}},
      {1835008, std::vector<std::pair<uint32_t, bool>>(27, {65536, false})},
  };
  for (size_case c : cases) {
    if (c.file_size == 1835008) {
      c.blocks.emplace_back(65536, true);
    }
    const std::vector<uint8_t> image = make_image(c.file_size);
    const outcome o = fill_and_download(image);
    EXPECT_EQ(o.result, 0) << c.file_size;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, "Transfering data ( " + std::to_string(c.blocks.size()) + " Blocks )     " +
                         std::string(c.blocks.size(), '.') + "\n");
    EXPECT_EQ(blocks(), c.blocks) << c.file_size;
    // The staging area holds the file, and the fill after it.
    EXPECT_EQ(standin_peek(ram, c.file_size), image);
    if (c.file_size < 0x200000) {
      EXPECT_EQ(standin_peek(ram + c.file_size, 1), std::vector<uint8_t>{0xFF});
    }
  }
}

TEST_F(Download, CommandsAndChecksInOrder) {
  const outcome o = fill_and_download(make_image(65537));
  ASSERT_EQ(o.result, 0);
  EXPECT_EQ(commands(),
            (std::vector<std::string>{"XXFILL 8388608,2097152,255\\n", "*OPC?\\n", "XXDLDATA 8388608,65537\\n",
                                      "XXRDMEM? 8388668,4\\n", "XXCRC? 8388608,60\\n", "XXRDMEM? 8388608,4\\n",
                                      "XXCRC? 8388672,65473\\n"}));
}

TEST_F(Download, BodyLongerThanTheFileIsCheckedOverTheFill) {
  const outcome o = fill_and_download(make_image(64, 16));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(commands().back(), "XXCRC? 8388672,16\\n");
}

TEST_F(Download, MismatchesAreReportedWithBothValues) {
  struct mismatch_case {
    const char* faults;
    const char* err;
    size_t commands_sent;
  };
  const mismatch_case cases[] = {
      {"fault = reply XXRDMEM? 1 0\nfault = reply XXCRC? 1 1\n",
       "Transfered data, header CRC error\n    Expected CRC: 0x00000000\n  Calculated CRC: 0x00000001\n", 5},
      {"fault = reply XXCRC? 2 0xabcdef12\n", "Transfered data, F/W CRC error\n    Expected CRC: 0x", 7},
      {"fault = corrupt-download 100\n", "Transfered data, F/W CRC error\n    Expected CRC: 0x", 7},
      // Both readings agree, but not on this image's word: a staged copy of
      // another image, or replies without digits, never pass.
      {"fault = reply XXRDMEM? 1 0\nfault = reply XXCRC? 1 0\n",
       "Transfered data, header CRC error\n    Expected CRC: 0x{H}\n  Calculated CRC: 0x00000000\n", 5},
      {"fault = reply XXRDMEM? 2 0x1234\nfault = reply XXCRC? 2 4660\n",
       "Transfered data, F/W CRC error\n    Expected CRC: 0x{F}\n  Calculated CRC: 0x00001234\n", 7},
      {"fault = reply XXRDMEM? 2 none\nfault = reply XXCRC? 2 none\n",
       "Transfered data, F/W CRC error\n    Expected CRC: 0x{F}\n  Calculated CRC: 0x00000000\n", 7},
  };
  for (const mismatch_case& c : cases) {
    const std::vector<uint8_t> image = make_image(4096);
    const outcome o = fill_and_download(image, c.faults);
    const std::string err = with_image_words(c.err, image);
    EXPECT_EQ(o.result, 2) << c.faults;
    EXPECT_EQ(o.err.substr(0, err.size()), err) << o.err;
    EXPECT_EQ(commands().size(), c.commands_sent) << c.faults;
  }
  // The expected value is the header's own word, the calculated one the reply.
  const outcome o = fill_and_download(make_image(4096), "fault = reply XXCRC? 2 0xabcdef12\n");
  char expected[64];
  std::snprintf(expected, sizeof expected, "    Expected CRC: 0x%08X\n  Calculated CRC: 0xABCDEF12\n",
                read_be32(image_bytes.data()));
  EXPECT_EQ(o.err, std::string("Transfered data, F/W CRC error\n") + expected);
}

TEST_F(Download, AnEmptyCheckReplyStopsTheDownloadAtOnce) {
  struct empty_case {
    const char* fault;
    const char* err;
    size_t commands_sent;
  };
  for (const empty_case& c : {empty_case{"fault = reply XXRDMEM? 1\n", " gpib_uint32: no data available\n", 4},
                              empty_case{"fault = reply XXCRC? 1\n", " gpib_uint32: no data available\n", 5},
                              empty_case{"fault = reply XXRDMEM? 2\n", " gpib_uint32: no data available\n", 6},
                              empty_case{"fault = reply XXCRC? 2\n", " gpib_uint32: no data available\n", 7}}) {
    const outcome o = fill_and_download(make_image(1000), c.fault);
    EXPECT_EQ(o.result, 1) << c.fault;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(commands().size(), c.commands_sent) << c.fault;
  }
}

TEST_F(Download, AnEmptyOperationCompleteReplyIsPassedOver) {
  const outcome o = fill_and_download(make_image(1000), "fault = reply *OPC? 1\n");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, " gpib_uint32: no data available\n");
}

} // namespace
