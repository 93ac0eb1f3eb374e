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

// The shipped kesload, which links the machine's VISA, reaches the
// simulated bench only when asked to: through kessim run.
TEST(Program, TheShippedProgramRehearsesThroughKessimRun) {
  const bench b = make_bench(64);
  // ASan's check that its runtime loads first does not allow for a
  // preloaded library; it matters only in sanitizer builds.
  const program_run run = run_program(KESSIM_BIN, {"run", b.config, "--", KESLOAD_SHIPPED_BIN, "-n", "fw.bin"},
                                      {"KESVISA_CONFIG", "ASAN_OPTIONS=verify_asan_link_order=0"}, b.dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.ends_with("Successfully F/W is updated\n")) << run.out;
  EXPECT_EQ(b.flash(), b.image_bytes);

  // Its dynamic section names the VISA library by name or where the
  // machine's lies, never the stand-in's folder, built or installed.
  const program_run dynamic = run_program("/usr/bin/readelf", {"-d", KESLOAD_SHIPPED_BIN});
  ASSERT_EQ(dynamic.status, 0) << dynamic.err;
  EXPECT_NE(dynamic.out.find("(NEEDED)"), std::string::npos);
  EXPECT_EQ(dynamic.out.find(STANDIN_VISA_DIR), std::string::npos) << dynamic.out;
  EXPECT_EQ(dynamic.out.find("lib/kesload"), std::string::npos) << dynamic.out;
}

TEST(Program, ReadsNoEnvironmentOfItsOwn) {
  // getopt reads POSIXLY_CORRECT inside the C library; the program's own
  // code asks for no variable at all.
  const program_run symbols = run_program("/usr/bin/nm", {"-D", "--undefined-only", KESLOAD_SHIPPED_BIN});
  ASSERT_EQ(symbols.status, 0) << symbols.err;
  EXPECT_NE(symbols.out.find("getopt"), std::string::npos);
  EXPECT_EQ(symbols.out.find("getenv"), std::string::npos) << symbols.out;
}

} // namespace
