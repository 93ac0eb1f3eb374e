// What an operator's interrupt, a lost terminal or a closed output does to
// an update under way: never a silent stop in the middle of the flash work.
#include "bench.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t image_size = 150064; // three blocks, three sectors

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether the last command written, when it was a query, had its reply read
// afterwards.
bool last_query_answered(const std::vector<std::string>& lines) {
  for (size_t i = lines.size(); i-- > 0;) {
    if (has(lines[i], "viWrite(")) {
      if (!has(lines[i], "viWrite(2, \"") || !has(lines[i], "?")) {
        return true; // a data block or a command without a reply
      }
      for (size_t j = i + 1; j < lines.size(); ++j) {
        if (has(lines[j], "viRead(2, 100) = 0x00000000 VI_SUCCESS")) {
          return true;
        }
      }
      return false;
    }
  }
  return true;
}

// Whether process pid has a handler for signal, from /proc/PID/status.
bool catches(pid_t pid, int signal) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1U) != 0;
    }
  }
  return false;
}

struct signal_case {
  const char* name;
  const char* timing;   // the instrument's timing, so that the signal lands mid-phase
  const char* wait_for; // sent once the trace shows this
  std::vector<int> signals;
  int status;                // -1: ended by the last signal
  const char* must_not_send; // nothing from here on reached the bus
};

class Signals : public testing::TestWithParam<signal_case> {};

TEST_P(Signals, EndTheRunOnlyBetweenTransactions) {
  const signal_case& c = GetParam();
  const bench b = make_bench(image_size);
  b.configure(c.timing);
  running_program program = b.start();
  ASSERT_TRUE(wait_for_text(b.trace, c.wait_for)) << read_file(b.trace);
  for (size_t i = 0; i < c.signals.size(); ++i) {
    // Two signals of one kind sent together would arrive as one: the
    // second waits until the first has been taken.
    for (int tries = 0; i > 0 && tries < 4000 && catches(program.pid, SIGINT); ++tries) {
      usleep(5000);
    }
    kill(program.pid, c.signals[i]);
  }
  const program_run run = finish_program(program);
  const std::string trace = read_trace(b.trace);
  const std::vector<std::string> lines = split_lines(trace);
  if (c.status == -1) {
    EXPECT_EQ(run.signal, c.signals.back());
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_EQ(run.status, c.status) << run.err;
  }
  if (c.status == 1) {
    EXPECT_EQ(run.err, "Interrupted: update not complete, run kesload again\n");
    EXPECT_EQ(run.out.find("Successfully"), std::string::npos);
    // The last command's reply was read, then the session was closed.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "viClose(2) = 0x00000000 VI_SUCCESS") << trace;
    EXPECT_TRUE(last_query_answered(lines)) << trace;
  }
  if (c.must_not_send != nullptr) {
    EXPECT_FALSE(has(trace, c.must_not_send)) << trace;
  }
  if (c.status == 0) {
    EXPECT_EQ(b.flash(), b.image_bytes);
    return;
  }
  // Whatever the interrupt left, the next run completes the update.
  b.configure();
  const program_run again = b.run();
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(b.flash(), b.image_bytes);
  EXPECT_EQ(b.mode(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Update, Signals,
    testing::Values(
        signal_case{"interrupt_while_erasing", "erase_ms = 400\n", "\"XXERASE? 0,1\\n\"", {SIGINT}, 1, "XXPROG?"},
        signal_case{"terminate_while_downloading", "bus_rate = 200000\n", "XXDLDATA", {SIGTERM}, 1, "XXRDMEM?"},
        signal_case{"second_interrupt_ends_at_once",
                    "erase_ms = 400\n",
                    "\"XXERASE? 0,1\\n\"",
                    {SIGINT, SIGTERM},
                    -1,
                    "XXPROG?"},
        signal_case{"second_ctrl_c_ends_at_once", "erase_ms = 400\n", "\"XXERASE? 0,1\\n\"", {SIGINT, SIGINT}, -1,
                    "XXPROG?"},
        signal_case{"lost_terminal_changes_nothing", "erase_ms = 100\n", "\"XXERASE? 0,1\\n\"", {SIGHUP}, 0, nullptr}),
    [](const testing::TestParamInfo<signal_case>& info) { return info.param.name; });

// A VISA library whose loading never ends: the interrupt ends the run at
// once, nothing sent.
TEST(Update, AnInterruptEndsAStalledLibraryLoad) {
  const bench b = make_bench(image_size);
  const std::string marker = b.dir + "/loading";
  running_program program = start_program(KESLOAD_FAST_BIN, {"fw.bin"},
                                          {"KESLOAD_VISA=" HANGING_VISA_LIBRARY, "KESTEST_LOADING=" + marker}, b.dir);
  for (int tries = 0; tries < 4000 && access(marker.c_str(), F_OK) != 0; ++tries) {
    usleep(5000);
  }
  kill(program.pid, SIGINT);
  const program_run run = finish_program(program);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Interrupted: update not complete, run kesload again\n");
  EXPECT_EQ(run.out, "");
}

// An image that comes through a pipe which stalls: the interrupt ends the
// read at once, before anything reaches the bus.
TEST(Update, AnInterruptEndsAStalledImageRead) {
  for (const int signal : {SIGINT, SIGTERM}) {
    const bench b = make_bench(image_size);
    const std::string fifo = b.dir + "/stalled.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // a writer that sends a little, then nothing
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, b.image_bytes.data(), 64), 64);
    running_program program = b.start({"stalled.bin"});
    // Once the program has taken those bytes it is waiting in its read.
    int unread = 64;
    for (int tries = 0; tries < 4000 && unread > 0; ++tries) {
      ASSERT_EQ(ioctl(writer, FIONREAD, &unread), 0);
      usleep(5000);
    }
    kill(program.pid, signal);
    close(writer); // where the interrupt did not end the read, the file's end does
    const program_run run = finish_program(program);
    EXPECT_EQ(run.status, 1) << signal;
    EXPECT_EQ(run.err, "Interrupted: update not complete, run kesload again\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(b.trace), "");
  }
}

TEST(Update, ALostReaderOrAClosedOutputDoesNotStopIt) {
  for (const bool closed : {false, true}) {
    const bench b = make_bench(image_size);
    running_program program = b.start({"fw.bin"}, {.stdout_closed = closed});
    if (!closed) {
      close(program.out); // as `kesload | head -n 0` would
      program.out = -1;
    }
    const program_run run = finish_program(program);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(b.flash(), b.image_bytes);
    // Nothing the program printed went into a file the VISA library opened.
    EXPECT_FALSE(has(read_file(b.trace), "Successfully")) << closed;
  }
}

// Started with no standard streams at all, a failure's message must not go
// into whatever file the VISA library opened in their place (its trace, the
// instrument's state).
TEST(Update, WithoutStandardStreamsAFailureHarmsNoFile) {
  const bench b = make_bench(image_size);
  b.configure("fail = viRead 1 VI_ERROR_TMO\n");
  running_program program = b.start({"fw.bin"}, {.all_closed = true});
  const program_run run = finish_program(program);
  EXPECT_EQ(run.status, 1);
  const std::string state = read_file(b.state);
  EXPECT_TRUE(state.starts_with("KESSIMST"));
  EXPECT_FALSE(has(state, "timeout"));
  EXPECT_EQ(b.mode(), 2);
  EXPECT_FALSE(has(read_file(b.trace), "timeout")) << read_file(b.trace);
}

// Each dot is on standard output as soon as it is printed: an operator
// watching a slow phase sees it move. Here the instrument stops answering
// after a given command; by then its dots must be out, while the program
// still waits for the reply.
TEST(Update, ProgressDotsAreShownBeforeTheNextCommand) {
  struct progress_case {
    const char* fault;
    const char* command; // the command whose reply never comes
    const char* shown;
  };
  const progress_case cases[] = {
      // The line before the 6 s pause is out before the pause.
      {"fault = no-reply XXCMD? 2\n", "\"XXBOOT 2\\n\"", "Changing operation mode to BOOTROM\n"},
      {"fault = no-reply XXRDMEM? 1\n", "\"XXRDMEM? 8388668,4\\n\"",
       "Changing operation mode to BOOTROM\nTransfering data ( 3 Blocks )     ...\n"},
      {"fault = no-reply XXERASE? 2\n", "\"XXERASE? 1,1\\n\"", "Erase Flash ROM ( 3 Sectos )      .."},
      {"fault = no-reply XXPROG? 3\n", "\"XXPROG? 8519680,", "Program Flash ROM ( 3 Blocks )    ..."},
  };
  for (const progress_case& c : cases) {
    const bench b = make_bench(image_size);
    b.configure(c.fault);
    // Real timeouts, so that the program is still waiting when we look.
    std::string config = read_file(b.config);
    config.replace(config.find("timeout_scale = 0.001"), 21, "timeout_scale = 1");
    write_file(b.config, config);
    running_program program = b.start();
    ASSERT_TRUE(wait_for_text(b.trace, c.command)) << c.fault;
    const std::string shown = read_available(program.out);
    kill(program.pid, SIGKILL);
    finish_program(program);
    EXPECT_TRUE(shown.ends_with(c.shown)) << c.fault << ": " << shown;
  }
}

} // namespace
