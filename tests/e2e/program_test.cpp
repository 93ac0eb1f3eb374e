// The shipped program itself: its real pauses, and no hidden seams.
#include "bench.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(Program, RealPausesGiveTheSameUpdate) {
  const bench b = make_bench(64);
  const auto start = std::chrono::steady_clock::now();
  const program_run run = b.run({"fw.bin"}, false, KESLOAD_BIN);
  // The instrument settles 2 s after the device clear and restarts into
  // BOOTROM within 6 s: the pauses may last longer, never shorter.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(8000));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Changing operation mode to BOOTROM\n"
                     "Transfering data ( 1 Blocks )     .\n"
                     "Erase Flash ROM ( 1 Sectos )      .\n"
                     "Program Flash ROM ( 1 Blocks )    .\n"
                     "Successfully F/W is updated\n"
                     "Now rebooting, please wait for a while.\n");
  EXPECT_EQ(read_file(b.dir + "/sleeps"), ""); // the recording pause is not in it
  EXPECT_EQ(b.flash(), b.image_bytes);
}

TEST(Program, ReadsNoEnvironmentOfItsOwn) {
  // getopt reads POSIXLY_CORRECT inside the C library; the program's own
  // code asks for no variable at all.
  const program_run symbols = run_program("/usr/bin/nm", {"-D", "--undefined-only", KESLOAD_BIN});
  ASSERT_EQ(symbols.status, 0) << symbols.err;
  EXPECT_NE(symbols.out.find("getopt"), std::string::npos);
  EXPECT_EQ(symbols.out.find("getenv"), std::string::npos) << symbols.out;
}

} // namespace
