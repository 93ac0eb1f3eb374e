// Flash: NOR rules, the protected boot sectors, and what programming copies.
#include <string>
#include <vector>

#include "sim_test.h"

using namespace simtest;

namespace {

std::string prog(uint32_t source, uint32_t length, uint32_t target) {
  return "XXPROG? " + std::to_string(source) + "," + std::to_string(length) + "," + std::to_string(target) + "\n";
}
std::string erase(uint32_t s, uint32_t count = 1) {
  return "XXERASE? " + std::to_string(s) + "," + std::to_string(count) + "\n";
}
int32_t reply(sim_instrument* in, const std::string& command) { return int32_t(number(in, command)); }

TEST(Flash, NewInstrumentHasErasedFirmwareAreaAndBootCode) {
  auto in = start({{"mode", "0"}});
  for (uint32_t s = 0; s < 32; ++s) {
    auto bytes = peek(in.get(), flash + s * sector, sector);
    bool erased = std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
    EXPECT_EQ(erased, s < 28) << "sector " << s;
  }
}

TEST(Flash, ProgramCopiesFromRamIntoErasedFlash) {
  auto in = start({{"mode", "0"}});
  auto data = pattern(sector, 5);
  download(in.get(), ram + sector, data);
  EXPECT_EQ(reply(in.get(), prog(ram + sector, sector, flash + 3 * sector)), 0);
  EXPECT_EQ(peek(in.get(), flash + 3 * sector, sector), data);
  EXPECT_EQ(peek(in.get(), flash + 4 * sector, 1), std::vector<uint8_t>{0xFF}) << "nothing beyond the block";
  EXPECT_EQ(reply(in.get(), prog(ram, 0, flash)), 0) << "an empty block programs nothing";
}

TEST(Flash, ProgramOverBytesNotErasedFailsAndWritesNothing) {
  auto in = start({{"mode", "0"}});
  auto first = pattern(100, 1);
  download(in.get(), ram, first);
  ASSERT_EQ(reply(in.get(), prog(ram, 100, flash)), 0);

  // Overlapping the programmed bytes by one, and programming the same again.
  auto second = pattern(100, 2);
  download(in.get(), ram, second);
  int32_t overlap = reply(in.get(), prog(ram, 100, flash + 99));
  EXPECT_NE(overlap, 0);
  EXPECT_EQ(peek(in.get(), flash + 100, 99), std::vector<uint8_t>(99, 0xFF)) << "not even the erased part";
  EXPECT_NE(reply(in.get(), prog(ram, 100, flash)), 0);
  EXPECT_EQ(peek(in.get(), flash, 100), first);

  // Right after the programmed bytes it still works; after an erase, all of it.
  EXPECT_EQ(reply(in.get(), prog(ram, 100, flash + 100)), 0);
  EXPECT_EQ(reply(in.get(), erase(0)), 0);
  EXPECT_EQ(peek(in.get(), flash, sector), std::vector<uint8_t>(sector, 0xFF));
  EXPECT_EQ(reply(in.get(), prog(ram, 100, flash)), 0);
  EXPECT_EQ(peek(in.get(), flash, 100), second);
}

TEST(Flash, ProgramOverAnErasedLookingSourceByteIsFine) {
  // 0xFF in the data is no obstacle; 0x00 in flash is.
  auto in = start({{"mode", "0"}});
  send(in.get(), "XXFILL 8388608,16,255\n");
  EXPECT_EQ(reply(in.get(), prog(ram, 16, flash)), 0);
  send(in.get(), "XXFILL 8388608,16,0\n");
  EXPECT_EQ(reply(in.get(), prog(ram, 16, flash)), 0) << "bytes still 0xFF";
  send(in.get(), "XXFILL 8388608,16,255\n");
  EXPECT_NE(reply(in.get(), prog(ram, 16, flash)), 0) << "bytes now 0x00";
}

TEST(Flash, BootSectorsRefuseEraseAndProgram) {
  auto in = start({{"mode", "0"}});
  auto boot = peek(in.get(), flash + 28 * sector, 4 * sector);
  send(in.get(), "XXFILL 8388608,65536,255\n");
  for (uint32_t s = 28; s < 32; ++s) {
    EXPECT_NE(reply(in.get(), erase(s)), 0) << "erase sector " << s;
    EXPECT_NE(reply(in.get(), prog(ram, 16, flash + s * sector)), 0) << "program sector " << s;
  }
  // A block that begins in the firmware area and reaches into the boot code.
  EXPECT_NE(reply(in.get(), prog(ram, 32, flash + 28 * sector - 16)), 0);
  EXPECT_EQ(peek(in.get(), flash + 28 * sector - 16, 16), std::vector<uint8_t>(16, 0xFF));
  // A run of sectors stops at the first boot sector.
  EXPECT_NE(reply(in.get(), erase(26, 3)), 0);
  EXPECT_EQ(peek(in.get(), flash + 28 * sector, 4 * sector), boot);
}

TEST(Flash, EraseRunOfSectors) {
  auto in = start({{"mode", "0"}});
  send(in.get(), "XXFILL 8388608,65536,0\n");
  for (uint32_t s = 0; s < 4; ++s)
    ASSERT_EQ(reply(in.get(), prog(ram, sector, flash + s * sector)), 0);
  EXPECT_EQ(reply(in.get(), erase(1, 2)), 0);
  EXPECT_EQ(peek(in.get(), flash, 1), std::vector<uint8_t>{0});
  EXPECT_EQ(peek(in.get(), flash + sector, 2 * sector), std::vector<uint8_t>(2 * sector, 0xFF));
  EXPECT_EQ(peek(in.get(), flash + 3 * sector, 1), std::vector<uint8_t>{0});
}

TEST(Flash, LastBlockOfAFileBeyondTheErasedSectors) {
  // A file of 65600 bytes whose last block lands in a sector that holds an
  // older firmware: the instrument refuses it.
  temp_dir dir;
  dir.write("old.bin", make_image(pattern(0x20000, 9)));
  auto in = start({{"mode", "0"}, {"flash_image", dir.path("old.bin")}});
  auto file = pattern(65600, 4);
  download(in.get(), ram, file);
  ASSERT_EQ(reply(in.get(), erase(0)), 0);
  EXPECT_EQ(reply(in.get(), prog(ram, sector, flash)), 0);
  EXPECT_NE(reply(in.get(), prog(ram + sector, 64, flash + sector)), 0);
}

TEST(Flash, MemoryWordsAreBigEndianInFlashToo) {
  auto in = start({{"mode", "0"}});
  std::vector<uint8_t> word = {0x12, 0x34, 0xAB, 0xCD};
  download(in.get(), ram, word);
  ASSERT_EQ(reply(in.get(), prog(ram, 4, flash + 60)), 0);
  EXPECT_EQ(number(in.get(), "XXRDMEM? 4292870204,4\n"), 0x1234ABCDu);
  auto last = peek(in.get(), 0xFFFFFFFC, 4);
  EXPECT_EQ(number(in.get(), "XXRDMEM? 4294967292,4\n"),
            uint32_t(last[0]) << 24 | uint32_t(last[1]) << 16 | uint32_t(last[2]) << 8 | last[3])
      << "last word of flash";
}

} // namespace
