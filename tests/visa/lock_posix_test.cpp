// The exclusive lock between processes, the holder made by fork; left out on
// Windows, which has no fork (tests/windows/run.sh checks it there).
#include "visa_fixture.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>

namespace {

using std::chrono::steady_clock;

// A process of its own that loads the configuration afresh, opens the test
// instrument with the exclusive lock, says so on a pipe and then lets go as
// told. No assertions in it: its exit status tells.
class holder_process {
public:
  enum class letting_go : uint8_t { killed, exits_without_closing, closes_its_session, after_300_ms };

  explicit holder_process(letting_go how) : how_(how) {
    if (pipe(to_parent_) != 0 || pipe(to_child_) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      _exit(run_child());
    }
    close(to_parent_[1]);
    close(to_child_[0]);
  }

  ~holder_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(to_parent_[0]);
    close(to_child_[1]);
  }
  holder_process(const holder_process&) = delete;
  holder_process& operator=(const holder_process&) = delete;

  // Whether the child holds the lock now.
  bool holds() { return heard() == 'L'; }

  // Tells the child to let go and waits until it has.
  bool let_go() {
    if (how_ == letting_go::killed) {
      kill(pid_, SIGKILL);
    } else {
      (void)!write(to_child_[1], "g", 1);
    }
    if (how_ == letting_go::closes_its_session) {
      return heard() == 'C';
    }
    int status = 0;
    const bool ended = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && (how_ == letting_go::killed ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

private:
  char heard() const {
    char c = 0;
    return read(to_parent_[0], &c, 1) == 1 ? c : '\0';
  }

  int run_child() {
    close(to_parent_[0]);
    close(to_child_[1]);
    kesvisa_reset();
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS || viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &vi) != VI_SUCCESS) {
      return 1;
    }
    (void)!write(to_parent_[1], "L", 1);
    if (how_ == letting_go::after_300_ms) {
      usleep(300000);
      return 0;
    }
    char go = 0;
    if (read(to_child_[0], &go, 1) != 1) {
      return 2;
    }
    if (how_ == letting_go::closes_its_session) {
      if (viClose(vi) != VI_SUCCESS) {
        return 3;
      }
      (void)!write(to_parent_[1], "C", 1);
      pause(); // the parent ends it
    }
    return 0; // exits with the session open
  }

  letting_go how_;
  pid_t pid_ = -1;
  int to_parent_[2] = {-1, -1};
  int to_child_[2] = {-1, -1};
};

ViAccessMode lock_state_of(ViSession vi) {
  ViAccessMode state = 99;
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &state), VI_SUCCESS);
  return state;
}

TEST_F(VisaTest, AnotherProcessHoldingTheLockKeepsThisOneOut) {
  using how = holder_process::letting_go;
  const struct {
    const char* name;
    how letting_go;
  } rows[] = {
      {"killed with SIGKILL", how::killed},
      {"ending without closing", how::exits_without_closing},
      {"closing its session", how::closes_its_session},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    configure("timeout_scale = 1\n[GPIB0::17::INSTR]\nstate = bench.state\nrestart_ms = 0\n");
    holder_process holder(r.letting_go);
    ASSERT_TRUE(holder.holds());

    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ViSession refused = 99;
    const auto before = steady_clock::now();
    EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 100, &refused), VI_ERROR_RSRC_LOCKED);
    EXPECT_GE(steady_clock::now() - before, std::chrono::milliseconds(100)) << "the open timeout was not waited";
    EXPECT_EQ(refused, VI_NULL);
    ViSession other = VI_NULL;
    ASSERT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &other), VI_SUCCESS);
    // Unlocked and restarted, the instrument would answer 0 to the mode query.
    EXPECT_EQ(write(other, "XXENTER 6081\n", true), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(write(other, "XXBOOT 2\n", true), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viClear(other), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(read(other).status, VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(lock_state_of(other), VI_EXCLUSIVE_LOCK);

    ASSERT_TRUE(holder.let_go());
    EXPECT_EQ(lock_state_of(other), VI_NO_LOCK);
    ViSession locked = VI_NULL;
    ASSERT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &locked), VI_SUCCESS);
    ASSERT_EQ(write(locked, "XXCMD?\n", true), VI_SUCCESS);
    EXPECT_EQ(read(locked).data, "2\n");
    EXPECT_EQ(write(other, "XXCMD?\n", true), VI_ERROR_RSRC_LOCKED) << "now this process's lock";
  }
}

TEST_F(VisaTest, ALockingOpenWaitsItsTimeoutForTheLock) {
  configure("timeout_scale = 1\n[GPIB0::17::INSTR]\nstate = bench.state\n");
  holder_process holder(holder_process::letting_go::after_300_ms);
  ASSERT_TRUE(holder.holds());
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViSession vi = VI_NULL;
  EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, VI_TMO_IMMEDIATE, &vi), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 20000, &vi), VI_SUCCESS);
  EXPECT_EQ(lock_state_of(vi), VI_EXCLUSIVE_LOCK);
}

} // namespace
