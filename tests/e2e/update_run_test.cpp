// Whole updates of a simulated instrument: what the operator sees, what
// crosses the bus, and what the flash holds afterwards.
#include "bench.h"

#include <gtest/gtest.h>

namespace {

const std::string road_out = "Changing operation mode to BOOTROM\n"
                             "Transfering data ( 3 Blocks )     ...\n"
                             "Erase Flash ROM ( 3 Sectos )      ...\n"
                             "Program Flash ROM ( 3 Blocks )    ...\n"
                             "Successfully F/W is updated\n"
                             "Now rebooting, please wait for a while.\n";

// A file of three blocks whose body is not a whole number of blocks.
constexpr uint32_t road_size = 150064;

TEST(Update, TheRoadOfOneSuccessfulUpdate) {
  const bench b = make_bench(road_size);
  const program_run run = b.run();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, road_out);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_trace(b.trace), read_file(TEST_DATA_DIR "/road_trace.txt"));
  EXPECT_EQ(read_file(b.dir + "/sleeps"), "sleep 2000\nsleep 6000\n");
  EXPECT_EQ(b.mode(), 2); // back in its application mode, running the new firmware
  EXPECT_EQ(b.flash(), b.image_bytes);
}

// The largest image: its body fills the firmware area, all 28 sectors, up
// to the boot code, and the instrument boots it.
TEST(Update, AnImageFillingTheFirmwareAreaBoots) {
  const bench b = make_bench(0x1C0000);
  const program_run run = b.run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(b.mode(), 2);
  EXPECT_EQ(b.flash(), b.image_bytes);
}

TEST(Update, WithoutRestartTheInstrumentStaysInBootrom) {
  const bench b = make_bench(road_size);
  const program_run run = b.run({"-n", "fw.bin"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, road_out.substr(0, road_out.find("Now rebooting")));
  EXPECT_EQ(read_file(b.trace).find("XXBOOT 0"), std::string::npos);
  EXPECT_EQ(b.mode(), 0);
  EXPECT_EQ(b.flash(), b.image_bytes);
}

TEST(Update, MessagesKeepTheirPlaceInASharedLog) {
  const bench b = make_bench(road_size);
  b.configure("fault = erase-error 2 9\n");
  const program_run run = b.run({"fw.bin"}, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Changing operation mode to BOOTROM\n"
                     "Transfering data ( 3 Blocks )     ...\n"
                     "Erase Flash ROM ( 3 Sectos )      ... erase failed, 9\n");
}

// A failure anywhere leaves the instrument in BOOTROM mode; the next run
// starts from the mode query and completes.
struct recovery_case {
  const char* name;
  const char* fault;
  const char* message; // the start of what standard error shows
  bool closes;         // a failed phase closes the session; a failed VISA call cannot
};

class Recovery : public testing::TestWithParam<recovery_case> {};

TEST_P(Recovery, ASecondRunCompletesTheUpdate) {
  const recovery_case& c = GetParam();
  const bench b = make_bench(road_size);
  b.configure(c.fault);
  const program_run failed = b.run();
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.substr(0, std::string(c.message).size()), c.message) << failed.err;
  EXPECT_EQ(failed.out.find("Successfully"), std::string::npos);
  EXPECT_EQ(b.mode(), 0);
  const std::string trace = read_file(b.trace);
  EXPECT_EQ(trace.ends_with("viClose(2) = 0x00000000 VI_SUCCESS\n"), c.closes) << trace.substr(trace.size() - 200);

  b.configure();
  const program_run again = b.run();
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, road_out.substr(road_out.find("Transfering")));
  EXPECT_EQ(b.mode(), 2);
  EXPECT_EQ(b.flash(), b.image_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Update, Recovery,
    testing::Values(
        recovery_case{"corrupted_download", "fault = corrupt-download 70000\n", "Transfered data, F/W CRC error\n",
                      true},
        recovery_case{"erase_fails", "fault = erase-error 1 3\n", " erase failed, 3\n", true},
        recovery_case{"programming_fails", "fault = prog-error 2 5\n", "programming failed, 5\n", true},
        recovery_case{"flash_check_mismatch", "fault = reply XXCRC? 4 0x1\n", "Programmed data, F/W CRC error\n",
                      true},
        // Every erase and programming command answered 0 and not carried out:
        // the flash still holds the old firmware, intact, which is no success.
        recovery_case{"acknowledged_not_done",
                      "fault = erase-error 0 0\nfault = erase-error 1 0\nfault = erase-error 2 0\n"
                      "fault = prog-error 0 0\nfault = prog-error 1 0\nfault = prog-error 2 0\n",
                      "Programmed data, header CRC error\n", true},
        recovery_case{"no_reply_while_programming", "fault = no-reply XXPROG? 2\n", "viRead: timeout\n", false},
        recovery_case{"cable_pulled_mid_download", "cable = 14\n", "viWrite: timeout\n", false},
        recovery_case{"write_error_at_ram_check", "fail = viWrite 12 VI_ERROR_IO\n", "viWrite: timeout\n", false}),
    [](const testing::TestParamInfo<recovery_case>& info) { return info.param.name; });

TEST(Update, AFailingCloseAfterSuccessIsStillAFailure) {
  // An error, and a warning, which is no plain success either.
  for (const char* status : {"VI_ERROR_IO", "0x3FFF0082"}) {
    const bench b = make_bench(road_size);
    b.configure(std::string("fail = viClose 1 ") + status + "\n");
    const program_run run = b.run();
    EXPECT_EQ(run.status, 1) << status;
    EXPECT_EQ(run.out, road_out);
    EXPECT_EQ(run.err, "");
  }
}

// A second updater, and kescheck, while an update holds the instrument: the
// updater is kept out at its open and kescheck says so, neither sends a
// thing, and the update completes undisturbed.
TEST(Update, AnotherProgramIsKeptOutOfAnUpdate) {
  const bench b = make_bench(road_size);
  b.configure("erase_ms = 300\n");
  running_program first = b.start();
  ASSERT_TRUE(wait_for_text(b.trace, "XXERASE? 0,1")) << read_file(b.trace);
  const program_run second = b.run();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "viOpen: GPIB0::17::INSTR is in use by another program\n");
  const std::vector<std::string> env{"KESVISA_CONFIG=" + b.config};
  const program_run look = run_program(KESCHECK_BIN, {"fw.bin"}, env, b.dir);
  EXPECT_EQ(look.status, 1);
  EXPECT_TRUE(look.out.ends_with("image: fw.bin\nverdict: in use by another program\n")) << look.out;
  EXPECT_EQ(look.err, "");
  const program_run update = finish_program(first);
  EXPECT_EQ(update.status, 0) << update.err;
  EXPECT_EQ(update.out, road_out);
  // Only the first one's commands reached the instrument, in their order.
  auto written = [](const std::string& trace) {
    std::vector<std::string> lines;
    for (const std::string& line : split_lines(trace)) {
      if (line.starts_with("viWrite(") && line.find(") = 0x00000000 VI_SUCCESS") != std::string::npos) {
        lines.push_back(line);
      }
    }
    return lines;
  };
  EXPECT_EQ(written(read_trace(b.trace)), written(read_file(TEST_DATA_DIR "/road_trace.txt")));
  const program_run after = run_program(KESCHECK_BIN, {"fw.bin"}, env, b.dir);
  EXPECT_TRUE(after.out.ends_with("verdict: same\n")) << after.out;
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(b.flash(), b.image_bytes);
}

// A half-installed VISA: named as such, not as a timeout, and nothing sent.
TEST(Update, WithoutAResourceManagerNothingElseIsCalled) {
  const bench b = make_bench(road_size);
  write_file(b.config, "trace = " + b.trace + "\nfail = viOpenDefaultRM 0xBFFF009E\n");
  const program_run run = b.run();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "viOpenDefaultRM: can't open the VISA resource manager, status 0xBFFF009E\n");
  EXPECT_EQ(read_trace(b.trace), "viOpenDefaultRM() = 0xBFFF009E VI_ERROR_LIBRARY_NFOUND\n");
}

} // namespace
