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

// The shipped kesload links no VISA library: it reaches the simulated bench
// through kessim run, which names the stand-in in KESLOAD_VISA.
TEST(Program, TheShippedProgramRehearsesThroughKessimRun) {
  const bench b = make_bench(64);
  // ASan's check that its runtime loads first does not allow for a
  // preloaded library; it matters only in sanitizer builds.
  const program_run run = run_program(KESSIM_BIN, {"run", b.config, "--", KESLOAD_BIN, "-n", "fw.bin"},
                                      {"KESVISA_CONFIG", "KESLOAD_VISA", "ASAN_OPTIONS=verify_asan_link_order=0"},
                                      b.dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.ends_with("Successfully F/W is updated\n")) << run.out;
  EXPECT_EQ(b.flash(), b.image_bytes);

  if (on_windows) {
    return; // readelf reads ELF programs; the Windows programs' imports are make windows-check's
  }
  for (const char* program : {KESLOAD_BIN, KESCHECK_BIN}) {
    const program_run dynamic = run_program("/usr/bin/readelf", {"-d", program});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    EXPECT_NE(dynamic.out.find("(NEEDED)"), std::string::npos);
    EXPECT_EQ(dynamic.out.find("visa"), std::string::npos) << program << dynamic.out;
    EXPECT_EQ(dynamic.out.find(STANDIN_VISA_DIR), std::string::npos) << program << dynamic.out;
  }
}

} // namespace
