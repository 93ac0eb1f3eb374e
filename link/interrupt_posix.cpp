// Interrupts. An update cut short between an erase and its programming
// leaves an instrument without firmware, so the first SIGINT or SIGTERM only
// asks the run to stop at the next boundary between bus transactions (the
// session layer looks before each write); a second one ends the process as
// it would have without us. A lost reader of standard output (SIGPIPE) or a
// lost terminal (SIGHUP) never stops an update: what cannot be printed is
// lost, and the exit status still tells the outcome.
#include "link.h"
#include "recorder.h"

#include <atomic>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t interrupt_seen = 0;
volatile std::sig_atomic_t end_at_once = 0;
// Which signal came first, and when: a lock-free atomic, safe to set here.
volatile std::sig_atomic_t interrupt_signal = 0;
std::atomic<int64_t> interrupt_time{0};
// The pipe the handler writes to, so that a pause in progress wakes at once
// whichever thread the signal reaches.
int wake_read = -1;
int wake_write = -1;

void set_action(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  // Both interrupts wait while the handler runs, so that a second one
  // always finds the default action in place.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  // Calls inside VISA carry on; our own pause is never restarted (poll).
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

void on_interrupt(int signal) {
  const int saved = errno;
  if (end_at_once != 0) {
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, gpib_interrupted_message, sizeof gpib_interrupted_message - 1);
    _exit(1);
  }
  if (interrupt_seen == 0) {
    interrupt_time = recorder_clock_us();
    interrupt_signal = signal;
  }
  interrupt_seen = 1;
  set_action(SIGINT, SIG_DFL);
  set_action(SIGTERM, SIG_DFL);
  if (wake_write >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = write(wake_write, &byte, 1);
  }
  errno = saved;
}

} // namespace

void gpib_catch_interrupts() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read = fds[0];
    wake_write = fds[1];
  }
  set_action(SIGPIPE, SIG_IGN);
  set_action(SIGHUP, SIG_IGN);
  set_action(SIGINT, on_interrupt);
  set_action(SIGTERM, on_interrupt);
}

bool gpib_interrupted() { return interrupt_seen != 0; }

const char* gpib_interrupt_cause() {
  if (interrupt_seen == 0) {
    return nullptr;
  }
  return interrupt_signal == SIGTERM ? "SIGTERM" : "SIGINT";
}

int64_t gpib_interrupt_time_us() { return interrupt_time; }

void gpib_interrupt_ends_at_once(bool on) { end_at_once = on ? 1 : 0; }

int gpib_interrupt_fd() { return wake_read; }

void gpib_wait_for_interrupt(uint32_t milliseconds) {
  pollfd wake{wake_read, POLLIN, 0}; // a negative descriptor is skipped: a plain wait
  poll(&wake, 1, static_cast<int>(milliseconds));
}
