// The real pause: never shorter than asked, whatever else wakes the
// process, and ended by an operator's interrupt.
#include "link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
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

TEST(PauseDeathTest, AnInterruptEndsItEarly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(30); // a pause that is not ended fails the test, rather than hang it
        gpib_catch_interrupts();
        std::thread interrupter([] {
          usleep(100000);
          kill(getpid(), SIGINT);
        });
        sleep_ms(600000);
        interrupter.join();
        std::exit(gpib_interrupted() ? 0 : 3);
      },
      testing::ExitedWithCode(0), "");
}

} // namespace
