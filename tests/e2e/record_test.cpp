// Recording a session (KESLOAD_TRACE) and replaying it (kessim replay): a
// recorded run replays to the same output and status; a replay tells the
// first call that differs; a trace that cannot be written stops the run
// before anything is sent; a bad trace starts nothing.
#include "bench.h"

#include <trace.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr uint32_t road_size = 150064; // three blocks

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The records of a trace's VISA calls, without times and comments.
std::vector<std::string> call_records(const std::string& trace) {
  std::vector<std::string> calls;
  for (const std::string& line : split_lines(trace)) {
    trace_record record;
    if (trace_parse(line, record, nullptr) && record.kind == trace_kind::call) {
      calls.emplace_back(record.record);
    }
  }
  return calls;
}

struct outcome_case {
  const char* name;
  const char* fault;
  std::vector<std::string> args;
  const char* program;
  int status;
};

class Recorded : public testing::TestWithParam<outcome_case> {};

TEST_P(Recorded, ReplaysToTheSameOutputAndStatus) {
  const outcome_case& c = GetParam();
  bench b = make_bench(road_size);
  write_file(b.dir + "/bad.bin", std::string(200, 'x'));
  b.configure(c.fault);
  b.recording = b.dir + "/recording.txt";
  const program_run recorded = b.run(c.args, false, c.program);
  EXPECT_EQ(recorded.status, c.status) << recorded.err;
  const std::vector<std::string> lines = split_lines(read_file(b.recording));
  ASSERT_GE(lines.size(), 2U);
  trace_record first;
  trace_record last;
  ASSERT_TRUE(trace_parse(lines.front(), first, nullptr)) << lines.front();
  ASSERT_TRUE(trace_parse(lines.back(), last, nullptr)) << lines.back();
  EXPECT_EQ(first.kind, trace_kind::session);
  EXPECT_EQ(first.word, c.program == std::string(KESCHECK_BIN) ? "kescheck" : "kesload");
  EXPECT_EQ(last.kind, trace_kind::end);
  EXPECT_EQ(last.number, c.status);

  const program_run replayed = b.replay(b.recording, c.args, c.program);
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, recorded.err);
  EXPECT_EQ(replayed.status, recorded.status);
}

const std::string kesload = KESLOAD_FAST_BIN;
const std::string kescheck = KESCHECK_BIN;

INSTANTIATE_TEST_SUITE_P(
    Replay, Recorded,
    testing::Values(outcome_case{"update", "", {"fw.bin"}, KESLOAD_FAST_BIN, 0},
                    outcome_case{"update_without_restart", "", {"-n", "fw.bin"}, KESLOAD_FAST_BIN, 0},
                    outcome_case{"refused_image", "", {"bad.bin"}, KESLOAD_FAST_BIN, 1},
                    outcome_case{"missing_image", "", {"none.bin"}, KESLOAD_FAST_BIN, 1},
                    outcome_case{"no_instrument_there", "", {"-a", "5", "fw.bin"}, KESLOAD_FAST_BIN, 1},
                    outcome_case{"erase_fails", "fault = erase-error 1 3\n", {"fw.bin"}, KESLOAD_FAST_BIN, 1},
                    outcome_case{"cable_pulled", "cable = 14\n", {"fw.bin"}, KESLOAD_FAST_BIN, 1},
                    outcome_case{"check_another_image", "", {"fw.bin"}, KESCHECK_BIN, 1},
                    outcome_case{"check_listing", "", {"-l"}, KESCHECK_BIN, 0}),
    [](const testing::TestParamInfo<outcome_case>& info) { return info.param.name; });

TEST(Replay, ARecordingEqualsTheStandInsTraceCallForCall) {
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  const program_run run = b.run();
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string recording = read_file(b.recording);
  const std::vector<std::string> recorded = call_records(recording);
  EXPECT_EQ(recorded, call_records(read_file(b.trace)));
  // Asked of the library right after the resource manager opened.
  ASSERT_GE(recorded.size(), 3U);
  EXPECT_EQ(recorded[1], "viGetAttribute(1, VI_ATTR_RSRC_MANF_NAME) = 0x00000000 VI_SUCCESS \"kesload stand-in VISA\"");
  EXPECT_EQ(recorded[2], "viGetAttribute(1, VI_ATTR_RSRC_IMPL_VERSION) = 0x00000000 VI_SUCCESS 0x00100000"); // 1.0.0
  // What only the recording has: the image, the pauses, where each block
  // came from, and the exit status.
  const std::vector<std::string> lines = split_lines(recording);
  EXPECT_TRUE(has(lines.front(), " image=\"fw.bin\" size=150064 fw_crc=0x")) << lines.front();
  EXPECT_TRUE(has(lines.front(), " argv=\"" + std::string(KESLOAD_FAST_BIN) + "\" \"fw.bin\"")) << lines.front();
  EXPECT_TRUE(has(recording, " pause 2000\n"));
  EXPECT_TRUE(has(recording, " pause 6000\n"));
  EXPECT_TRUE(has(recording, "[65536 bytes crc=0x64FDA863], 65536) = 0x00000000 VI_SUCCESS sent=65536 # image+0x00000000\n"));
  EXPECT_TRUE(has(recording, "sent=65536 # image+0x00010000\n"));
  EXPECT_TRUE(lines.back().ends_with(" - end 0")) << lines.back();
}

TEST(Replay, AChangedCommandIsTheFirstCallThatDiffers) {
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  ASSERT_EQ(b.run().status, 0);
  // The recording as if another program had erased sector 2 first.
  std::string trace = read_file(b.recording);
  const std::string erase = "\"XXERASE? 1,1\\n\"";
  const size_t at = trace.find(erase);
  ASSERT_NE(at, std::string::npos);
  trace.replace(at, erase.size(), "\"XXERASE? 2,1\\n\"");
  write_file(b.recording, trace);
  const size_t call = call_records(trace.substr(0, trace.find('\n', at))).size();
  b.configure();
  const program_run replayed = b.replay(b.recording);
  EXPECT_EQ(replayed.status, 3);
  EXPECT_EQ(replayed.err, "viWrite: timeout\nreplay: call " + std::to_string(call) +
                              " differs: recorded viWrite(2, \"XXERASE? 2,1\\n\" END, 13), got viWrite(2, "
                              "\"XXERASE? 1,1\\n\" END, 13)\n");
  EXPECT_EQ(replayed.out, "Changing operation mode to BOOTROM\n"
                          "Transfering data ( 3 Blocks )     ...\n"
                          "Erase Flash ROM ( 3 Sectos )      ..");
}

TEST(Replay, AProgramThatEndsEarlyLeavesCallsOver) {
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  ASSERT_EQ(b.run().status, 0);
  const size_t calls = call_records(read_file(b.recording)).size();
  write_file(b.image, std::string(100, 'x')); // refused this time: nothing is sent
  const program_run replayed = b.replay(b.recording);
  EXPECT_EQ(replayed.status, 3);
  EXPECT_EQ(replayed.err, "Data file fw.bin is corrupted\nreplay: the program ended after call 0 of " +
                              std::to_string(calls) + "\n");
}

TEST(Replay, TwoProgramsRecordingIntoOneFileKeepTheirSessionsApart) {
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  running_program first = b.start({"fw.bin"}, {}, KESCHECK_BIN);
  running_program second = b.start({"fw.bin"}, {}, KESCHECK_BIN);
  const program_run one = finish_program(first);
  const program_run two = finish_program(second);
  ASSERT_EQ(one.out, two.out);
  // Every line whole, and each session replays alone.
  for (const std::string& line : split_lines(read_file(b.recording))) {
    trace_record record;
    EXPECT_TRUE(trace_parse(line, record, nullptr)) << line;
  }
  for (const char* session : {"1", "2"}) {
    const program_run replayed =
        run_program(KESSIM_BIN, {"replay", b.recording, "--session", session, "--", KESCHECK_BIN, "fw.bin"},
                    {"KESVISA_CONFIG", "KESLOAD_TRACE", "ASAN_OPTIONS=verify_asan_link_order=0"}, b.dir);
    EXPECT_EQ(replayed.out, one.out) << session;
    EXPECT_EQ(replayed.status, one.status) << session << replayed.err;
  }
}

// A recording made on another machine (tests/data, as a technician sends
// one) replays here, and on Windows (tests/windows/run.sh).
TEST(Replay, ARecordingFromAnotherMachineReplays) {
  const bench b = make_bench(64);
  const program_run replayed = b.replay(TEST_DATA_DIR "/kescheck_recording.txt", {}, KESCHECK_BIN);
  // The library named is the one bound here, the stand-in.
  std::vector<std::string> lines = split_lines(replayed.out);
  ASSERT_GE(lines.size(), 2U);
  EXPECT_TRUE(lines[1].starts_with("visa: ")) << lines[1];
  lines[1] = "visa: {library}";
  EXPECT_EQ(lines, split_lines(read_file(TEST_DATA_DIR "/kescheck_recording.out")));
  EXPECT_EQ(replayed.err, "");
  EXPECT_EQ(replayed.status, 0);
}

// A trace that cannot be written: the run ends before anything is sent.
struct unwritable_case {
  const char* name;
  const char* trace; // {dir} is the bench's folder
  const char* reason;
};

class Unwritable : public testing::TestWithParam<unwritable_case> {};

TEST_P(Unwritable, EndsTheRunBeforeAnythingIsSent) {
  const unwritable_case& c = GetParam();
  bench b = make_bench(road_size);
  std::string trace = c.trace;
  if (const size_t at = trace.find("{dir}"); at != std::string::npos) {
    trace.replace(at, 5, b.dir);
  }
  b.recording = trace;
  const program_run run = b.run();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Can't write the trace " + trace + ": " + c.reason + "\n");
  EXPECT_FALSE(std::filesystem::exists(b.trace)) << "VISA was used: " << read_file(b.trace);
}

INSTANTIATE_TEST_SUITE_P(Record, Unwritable,
                         testing::Values(unwritable_case{"a_folder", "{dir}", "Is a directory"},
                                         unwritable_case{"in_a_missing_folder", "{dir}/none/trace.txt",
                                                         "No such file or directory"}),
                         [](const testing::TestParamInfo<unwritable_case>& info) { return info.param.name; });

// Traces the replay refuses: told with the line, status 2, nothing started.
struct bad_trace_case {
  const char* name;
  const char* edit; // what the trace becomes; {recording} is a real one
  std::vector<std::string> options;
  const char* message; // after "replay: TRACE"
};

class BadTrace : public testing::TestWithParam<bad_trace_case> {};

TEST_P(BadTrace, IsToldAndNothingIsStarted) {
  const bad_trace_case& c = GetParam();
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  ASSERT_EQ(b.run().status, 0);
  const std::vector<std::string> lines = split_lines(read_file(b.recording));
  std::string text = c.edit;
  if (text == "{recording}") {
    text = read_file(b.recording);
  } else if (text == "{line 5 broken}" || text == "{line 5 cut}") {
    // Broken: not a line at all; cut: its record cut short, as a full disk
    // leaves it, with more of its session after it.
    const std::string fifth = text == "{line 5 broken}" ? "garbage" : lines[4].substr(0, lines[4].find('(') + 3);
    text.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
      text += (i == 4 ? fifth : lines[i]) + "\n";
    }
  }
  const std::string trace = b.dir + "/edited.txt";
  write_file(trace, text);
  std::vector<std::string> args = {"replay", trace};
  args.insert(args.end(), c.options.begin(), c.options.end());
  // A program that would leave its mark, were it started.
  args.insert(args.end(), {"--", KESLOAD_FAST_BIN, "fw.bin"});
  const program_run run = run_program(KESSIM_BIN, args, {"KESVISA_CONFIG", "KESLOAD_TRACE"}, b.dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "replay: " + trace + c.message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Replay, BadTrace,
    testing::Values(bad_trace_case{"not_a_trace", "hello\n", {}, ":1: not a trace: no process id"},
                    bad_trace_case{"empty", "", {}, ": no session in it"},
                    bad_trace_case{"a_line_it_cannot_read", "{line 5 broken}", {}, ":5: cannot read the line: no process id"},
                    bad_trace_case{"a_line_cut_short_inside_the_session", "{line 5 cut}", {},
                                   ":5: cannot read the line: the call's parenthesis is not closed"},
                    bad_trace_case{"a_line_before_its_session", "7 0.0 - end 0\n", {},
                                   ":1: a line of process 7 before its session line"},
                    bad_trace_case{"no_such_session", "{recording}", {"--session", "2"},
                                   ": no session 2: it holds 1 session"}),
    [](const testing::TestParamInfo<bad_trace_case>& info) { return info.param.name; });

// A recording cut short (a kill, a power cut) replays up to its last whole
// line and says so when the program goes further.
TEST(Replay, ACutRecordingReplaysToItsLastWholeLine) {
  bench b = make_bench(road_size);
  b.recording = b.dir + "/recording.txt";
  ASSERT_EQ(b.run().status, 0);
  const std::string whole = read_file(b.recording);
  const size_t cut = whole.find("\"XXRDMEM?");
  ASSERT_NE(cut, std::string::npos);
  const std::string kept = whole.substr(0, cut); // the line of the first check, half written
  write_file(b.recording, kept);
  const size_t calls = call_records(kept).size();
  const program_run replayed = b.replay(b.recording);
  EXPECT_EQ(replayed.status, 3);
  EXPECT_EQ(replayed.err, "viWrite: timeout\nreplay: the recording was cut short after call " + std::to_string(calls) +
                              " (the recorded run ended there without its end line); the program went on with "
                              "viWrite(2, \"XXRDMEM? 8388668,4\\n\" END, 19)\n");
}

} // namespace
