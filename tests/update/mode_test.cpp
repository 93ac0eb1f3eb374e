// Operation mode control: into BOOTROM mode at the start, out at the end.
#include "phase_fixture.h"

namespace {

const std::vector<uint8_t> small_image = make_image(64);

TEST_F(Phases, ModesZeroAndOneAreTakenAsTheyAre) {
  for (int mode : {0, 1}) {
    start(mode, small_image);
    const outcome o = run(enter_bootrom);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(bus(), (std::vector<std::string>{write_line("XXCMD?\\n"), read_line(std::to_string(mode) + "\\n")}));
    EXPECT_TRUE(recorded_sleeps.empty());
  }
}

TEST_F(Phases, ModesTwoAndThreeSwitchToBootrom) {
  for (int mode : {2, 3}) {
    start(mode, small_image);
    const outcome o = run(enter_bootrom);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Changing operation mode to BOOTROM\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(bus(), (std::vector<std::string>{write_line("XXCMD?\\n"), read_line(std::to_string(mode) + "\\n"),
                                               write_line("XXENTER 6081\\n"), write_line("*OPC?\\n"), read_line("1\\n"),
                                               write_line("XXBOOT 2\\n"), write_line("XXCMD?\\n"), read_line("0\\n")}));
    EXPECT_EQ(recorded_sleeps, std::vector<uint32_t>{6000});
    EXPECT_EQ(sim_mode(standin_instrument()), 0);
  }
}

TEST_F(Phases, UnknownModeAtTheStartIsRefused) {
  for (const char* reply : {"4", "4294967295", "-7"}) {
    start(2, small_image, std::string("fault = reply XXCMD? 1 ") + reply + "\n");
    const outcome o = run(enter_bootrom);
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.out, "");
    const std::string shown = std::to_string(static_cast<int32_t>(gpib_to_uint32(reply)));
    EXPECT_EQ(o.err, "unknown operation mode (" + shown + ")\nKestrune is in unknown operation mode\n");
    EXPECT_EQ(commands(), std::vector<std::string>{"XXCMD?\\n"});
  }
}

TEST_F(Phases, AWrongModeAfterTheSwitchIsAFailure) {
  struct after_case {
    const char* fault;
    const char* err;
  };
  for (const after_case& c : {
           after_case{"fault = boot-mode 1\n", "Can't change operation mode to BOOTROM\n  operation mode is still 1\n"},
           after_case{"fault = boot-mode 2\n", "Can't change operation mode to BOOTROM\n  operation mode is still 2\n"},
           after_case{"fault = boot-mode 3\n", "Can't change operation mode to BOOTROM\n  operation mode is still 3\n"},
           after_case{"fault = reply XXCMD? 2 9\n",
                      "unknown operation mode (9)\nCan't change operation mode to BOOTROM\n"
                      "  operation mode is still 4\n"},
       }) {
    start(2, small_image, c.fault);
    const outcome o = run(enter_bootrom);
    EXPECT_EQ(o.result, 2) << c.fault;
    EXPECT_EQ(o.out, "Changing operation mode to BOOTROM\n");
    EXPECT_EQ(o.err, c.err);
  }
}

TEST_F(Phases, AnEmptyModeReplyReadsAsBootrom) {
  start(2, small_image, "fault = reply XXCMD? 1\n");
  const outcome o = run(enter_bootrom);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.err, " gpib_uint32: no data available\n");
  EXPECT_EQ(commands(), std::vector<std::string>{"XXCMD?\\n"});
}

TEST_F(Phases, RebootSendsItsCommandAndAlwaysSaysSo) {
  for (bool on : {true, false}) {
    start(0, small_image);
    verbose = on;
    const outcome o = run(reboot_target);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Now rebooting, please wait for a while.\n");
    EXPECT_EQ(bus(), std::vector<std::string>{write_line("XXBOOT 0\\n")});
  }
}

} // namespace
