// The real pause: never shorter than asked, whatever else wakes the
// process, and ended by an operator's interrupt.
#include "link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

void ignore_signal(int /*signal*/) {}

TEST(Pause, LastsAtLeastWhatWasAsked) {
  // SIGWINCH, as a resized terminal sends it, wakes any wait on the way.
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigaction(SIGWINCH, &action, nullptr);
  for (const uint32_t milliseconds : {0U, 1U, 250U}) {
    for (const bool woken : {false, true}) {
      std::thread waker;
      if (woken) {
        waker = std::thread([] {
          usleep(50000);
          kill(getpid(), SIGWINCH);
        });
      }
      const clock_type::time_point start = clock_type::now();
      sleep_ms(milliseconds);
      const clock_type::duration slept = clock_type::now() - start;
      if (waker.joinable()) {
        waker.join();
      }
      EXPECT_GE(slept, std::chrono::milliseconds(milliseconds)) << milliseconds << (woken ? " woken" : "");
    }
  }
}

// However the interrupt comes: during the pause, before it starts (while the
// program was inside a VISA call), or to another thread (one of the VISA
// library's) while this one waits.
TEST(PauseDeathTest, AnInterruptEndsItEarly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  enum class arrival { during, before, other_thread };
  for (const arrival when : {arrival::during, arrival::before, arrival::other_thread}) {
    EXPECT_EXIT(
        {
          alarm(30); // a pause that is not ended fails the test, rather than hang it
          gpib_catch_interrupts();
          if (when == arrival::before) {
            kill(getpid(), SIGINT);
          }
          sigset_t interrupts;
          sigemptyset(&interrupts);
          sigaddset(&interrupts, SIGINT);
          std::thread interrupter([when, interrupts] {
            if (when == arrival::other_thread) {
              pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);
            }
            usleep(100000);
            if (when != arrival::before) {
              kill(getpid(), SIGINT);
            }
            usleep(100000); // still here to take it
          });
          if (when == arrival::other_thread) {
            pthread_sigmask(SIG_BLOCK, &interrupts, nullptr); // only the other thread can take it
          }
          sleep_ms(600000);
          interrupter.join();
          std::exit(gpib_interrupted() ? 0 : 3);
        },
        testing::ExitedWithCode(0), "")
        << static_cast<int>(when);
  }
}

} // namespace
