// Recording what only POSIX can stage here: an interrupt, a kill, a full
// device and a file size limit.
#include "bench.h"

#include <trace.h>

#include <gtest/gtest.h>

#include <csignal>

namespace {

constexpr uint32_t road_size = 150064;

size_t call_count(const std::string& trace) {
  size_t calls = 0;
  for (const std::string& line : split_lines(trace)) {
    trace_record record;
    calls += trace_parse(line, record, nullptr) && record.kind == trace_kind::call ? 1 : 0;
  }
  return calls;
}

TEST(Replay, AnInterruptedRunReplaysToTheSameEnd) {
  bench b = make_bench(road_size);
  b.configure("erase_ms = 400\n");
  b.recording = b.dir + "/recording.txt";
  running_program program = b.start();
  ASSERT_TRUE(wait_for_text(b.recording, "\"XXERASE? 0,1\\n\"")) << read_file(b.recording);
  kill(program.pid, SIGINT);
  const program_run recorded = finish_program(program);
  ASSERT_EQ(recorded.status, 1);
  ASSERT_EQ(recorded.err, "Interrupted: update not complete, run kesload again\n");
  const std::string trace = read_file(b.recording);
  EXPECT_NE(trace.find(" - interrupt SIGINT\n"), std::string::npos) << trace;
  EXPECT_TRUE(trace.ends_with(" - end 1\n")) << trace;

  const program_run replayed = b.replay(b.recording);
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, recorded.err);
  EXPECT_EQ(replayed.status, recorded.status);
}

TEST(Replay, ARunKilledMidDownloadReplaysToTheCallBeforeTheKill) {
  bench b = make_bench(road_size);
  b.configure("bus_rate = 200000\n"); // a block takes a third of a second
  b.recording = b.dir + "/recording.txt";
  running_program program = b.start();
  ASSERT_TRUE(wait_for_text(b.recording, "[65536 bytes crc=")) << read_file(b.recording);
  kill(program.pid, SIGKILL);
  const program_run killed = finish_program(program);
  ASSERT_EQ(killed.signal, SIGKILL);
  const std::string trace = read_file(b.recording);
  ASSERT_TRUE(trace.ends_with("\n")) << "a line cut short";
  EXPECT_EQ(trace.find(" end "), std::string::npos);
  const size_t calls = call_count(trace);

  const program_run replayed = b.replay(b.recording);
  EXPECT_EQ(replayed.status, 3);
  const std::string told = "replay: the recording was cut short after call " + std::to_string(calls) +
                           " (the recorded run ended there without its end line); the program went on with ";
  EXPECT_NE(replayed.err.find("viWrite: timeout\n" + told), std::string::npos) << replayed.err;
  EXPECT_EQ(replayed.out.rfind(killed.out, 0), 0U) << replayed.out;
}

TEST(Record, ADeviceThatTakesNothingEndsTheRunBeforeAnythingIsSent) {
  bench b = make_bench(road_size);
  b.recording = "/dev/full";
  const program_run run = b.run();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Can't write the trace /dev/full: No space left on device\n");
  EXPECT_EQ(read_file(b.trace), "") << "VISA was used";
  EXPECT_EQ(b.mode(), 2);
}

// A trace that fills up midway (a file size limit here, a full disk on a
// bench) never stops the update: it completes, and says the trace is
// incomplete.
TEST(Record, ATraceThatFillsUpMidwayLeavesTheUpdateWhole) {
  bench b = make_bench(road_size);
  // The instrument's state in the process only: the limit would stop its file too.
  write_file(b.config, "timeout_scale = 0.001\n[GPIB0::17::INSTR]\nmode = 2\nrestart_ms = 0\n");
  const std::string trace = b.dir + "/recording.txt";
  running_program program =
      start_program("/bin/sh", {"-c", "ulimit -f 2 && exec \"$0\" fw.bin", KESLOAD_FAST_BIN},
                    {"KESVISA_CONFIG=" + b.config, "KESLOAD_TRACE=" + trace, "POSIXLY_CORRECT"}, b.dir);
  const program_run run = finish_program(program);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.ends_with("Successfully F/W is updated\nNow rebooting, please wait for a while.\n")) << run.out;
  EXPECT_EQ(run.err, "The trace " + trace + " is incomplete: File too large\n");
  // What was written: whole lines from the session's first on, the last
  // perhaps cut where the limit came.
  const std::vector<std::string> lines = split_lines(read_file(trace));
  ASSERT_GE(lines.size(), 2U);
  EXPECT_NE(lines[0].find(" - session kesload "), std::string::npos);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    trace_record record;
    EXPECT_TRUE(trace_parse(lines[i], record, nullptr)) << lines[i];
  }
  EXPECT_EQ(read_file(trace).size(), 1024U);
}

} // namespace
