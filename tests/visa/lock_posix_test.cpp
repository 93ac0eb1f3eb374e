// The exclusive lock between processes, the holder made by fork; left out on
// Windows, which has no fork (tests/windows/run.sh checks it there).
#include "visa_fixture.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <sys/wait.h>

namespace {

// A process of its own that loads the configuration afresh, opens the test
// instrument with the exclusive lock and says 'L', then does as told: 'x'
// ends it with the session open, 'c' closes the session (it says 'C'), 'w'
// ends it 300 ms later. No assertions in it: the parent checks.
class holder_process {
public:
  holder_process() {
    int up[2];
    int down[2];
    if (pipe(up) != 0 || pipe(down) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      _exit(run(up[1], down[0]));
    }
    close(up[1]);
    close(down[0]);
    from_ = up[0];
    to_ = down[1];
  }
  ~holder_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(from_);
    close(to_);
  }
  holder_process(const holder_process&) = delete;
  holder_process& operator=(const holder_process&) = delete;

  char heard() const {
    char c = 0;
    return read(from_, &c, 1) == 1 ? c : '\0';
  }
  void tell(char c) const { (void)!write(to_, &c, 1); }
  void kill_it() const { kill(pid_, SIGKILL); }
  bool ended() {
    const bool reaped = waitpid(pid_, nullptr, 0) == pid_;
    pid_ = -1;
    return reaped;
  }

private:
  static int run(int up, int down) {
    kesvisa_reset();
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS || viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &vi) != VI_SUCCESS) {
      return 1;
    }
    char told = 0;
    if (write(up, "L", 1) != 1 || read(down, &told, 1) != 1) {
      return 2;
    }
    if (told == 'w') {
      usleep(300000);
    } else if (told == 'c') {
      viClose(vi);
      (void)!write(up, "C", 1);
      pause(); // the parent ends it
    }
    return 0;
  }

  pid_t pid_ = -1;
  int from_ = -1;
  int to_ = -1;
};

ViAccessMode lock_state_of(ViSession vi) {
  ViAccessMode state = 99;
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &state), VI_SUCCESS);
  return state;
}

TEST_F(VisaTest, AnotherProcessHoldingTheLockKeepsThisOneOut) {
  const struct {
    const char* name;
    std::function<bool(holder_process&)> let_go; // true once the holder has let go
  } rows[] = {
      {"killed with SIGKILL",
       [](holder_process& h) {
         h.kill_it();
         return h.ended();
       }},
      {"ending without closing",
       [](holder_process& h) {
         h.tell('x');
         return h.ended();
       }},
      {"closing its session",
       [](const holder_process& h) {
         h.tell('c');
         return h.heard() == 'C';
       }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    configure("timeout_scale = 1\n[GPIB0::17::INSTR]\nstate = bench.state\nrestart_ms = 0\n");
    holder_process holder;
    ASSERT_EQ(holder.heard(), 'L');

    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ViSession refused = 99;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 100, &refused), VI_ERROR_RSRC_LOCKED);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100)) << "the timeout not waited";
    EXPECT_EQ(refused, VI_NULL);
    ViSession other = VI_NULL;
    ASSERT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &other), VI_SUCCESS);
    expect_kept_out(other);
    EXPECT_EQ(read(other).status, VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(lock_state_of(other), VI_EXCLUSIVE_LOCK);

    ASSERT_TRUE(r.let_go(holder));
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
  holder_process holder;
  ASSERT_EQ(holder.heard(), 'L');
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViSession vi = VI_NULL;
  EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, VI_TMO_IMMEDIATE, &vi), VI_ERROR_RSRC_LOCKED);
  holder.tell('w');
  EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 20000, &vi), VI_SUCCESS);
  EXPECT_EQ(lock_state_of(vi), VI_EXCLUSIVE_LOCK);
}

} // namespace
