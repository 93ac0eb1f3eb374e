// Operation modes: the service lock, and restarts into and out of BOOTROM.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim_test.h"

using namespace simtest;
using namespace std::chrono_literals;

namespace {

struct service_probe {
  const char* command;
  bool replies;
};

// One probe per service command; each leaves a trace when it is accepted.
const service_probe service_commands[] = {
    {"XXFILL 8388608,4,171\n", false}, {"XXDLDATA 8388608,4\n", false}, {"XXRDMEM? 8388608,4\n", true},
    {"XXCRC? 8388608,4\n", true},      {"XXERASE? 0,1\n", true},        {"XXPROG? 8388608,4,4292870144\n", true},
};

// Whether the instrument accepted the probe: a reply, or its effect.
bool accepted(sim_instrument* in, const service_probe& p) {
  send(in, p.command);
  if (p.replies)
    return take(in).has_value();
  if (std::string(p.command).rfind("XXDLDATA", 0) == 0) {
    std::vector<uint8_t> data = {1, 2, 3, 4};
    sim_receive(in, data.data(), 4, true);
    uint8_t b[4];
    return sim_peek(in, ram, b, 4) && b[0] == 1;
  }
  return peek(in, ram, 1)[0] == 171;
}

TEST(Modes, ServiceCommandsLockedInModes2And3UntilUnlocked) {
  for (const char* mode : {"2", "3"})
    for (const auto& p : service_commands) {
      auto in = start({{"mode", mode}});
      EXPECT_FALSE(accepted(in.get(), p)) << "mode " << mode << ": " << p.command;
      // A wrong code, or one in a wrong form, unlocks nothing.
      for (const char* wrong : {"XXENTER 6080\n", "XXENTER 60810\n", "XXENTER 06081x\n", "XXENTER\n", "XXENTER 6081"})
        send(in.get(), wrong);
      EXPECT_FALSE(accepted(in.get(), p)) << "mode " << mode << " after wrong codes: " << p.command;
      send(in.get(), "XXENTER 6081\n");
      EXPECT_TRUE(accepted(in.get(), p)) << "mode " << mode << " unlocked: " << p.command;
    }
}

TEST(Modes, ServiceCommandsOpenInModes0And1) {
  for (const char* mode : {"0", "1"})
    for (const auto& p : service_commands) {
      auto in = start({{"mode", mode}});
      EXPECT_TRUE(accepted(in.get(), p)) << "mode " << mode << ": " << p.command;
    }
}

TEST(Modes, ModeQueryAndOpcNeverLocked) {
  for (const char* mode : {"1", "2", "3"}) {
    auto in = start({{"mode", mode}});
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), std::string(mode) + "\n");
    EXPECT_EQ(query(in.get(), "*OPC?\n"), "1\n");
  }
}

TEST(Modes, LockedBootIntoBootromIsRefused) {
  auto in = start({{"mode", "2"}});
  send(in.get(), "XXBOOT 2\n");
  EXPECT_EQ(sim_mode(in.get()), 2);
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "2\n");
}

TEST(Modes, BootIntoBootromRestartsAfterTheRestartTime) {
  auto in = start({{"mode", "3"}, {"restart_ms", "150"}});
  send(in.get(), "XXENTER 6081\n");
  EXPECT_EQ(query(in.get(), "*OPC?\n"), "1\n");
  send(in.get(), "XXFILL 8388608,16,85\n");
  auto before = std::chrono::steady_clock::now();
  send(in.get(), "XXBOOT 2\n");
  EXPECT_FALSE(take(in.get())) << "XXBOOT does not reply";

  // Restarting: what arrives is dropped, even once the restart is over.
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), std::nullopt);
  std::this_thread::sleep_until(before + 200ms);
  EXPECT_FALSE(take(in.get()));
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
  EXPECT_EQ(peek(in.get(), ram, 16), std::vector<uint8_t>(16, 0)) << "RAM is lost";
}

TEST(Modes, RestartDropsAHalfReceivedMessage) {
  auto in = start({{"mode", "0"}, {"restart_ms", "50"}});
  send(in.get(), "XXCM", false);
  send(in.get(), "XXBOOT 2\n"); // one message "XXCMXXBOOT 2\n": not understood
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
  send(in.get(), "XXBOOT 2\n");
  send(in.get(), "XXCM", false);
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(query(in.get(), "D?\n"), std::nullopt);
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "0\n");
}

// Puts an image into flash from BOOTROM mode.
void flash_image(sim_instrument* in, const std::vector<uint8_t>& image) {
  send(in, "XXFILL 8388608,2097152,255\n");
  download(in, ram, image);
  ASSERT_EQ(program_flash(in, image), 0);
}

TEST(Modes, BootOutOfBootromNeedsIntactFirmware) {
  auto good = make_image(pattern(70000));
  auto bad_body = good;
  bad_body[64 + 69999] ^= 0x01;
  auto bad_header = good;
  bad_header[20] ^= 0x80; // covered only by the header CRC
  auto too_long = good;
  set_header_word(too_long, 8, 0x1C0000 - 63); // one byte past the firmware area
  struct row {
    const char* name;
    std::vector<uint8_t> image;
    int32_t mode_after;
  } rows[] = {
      {"intact", good, 3},
      {"body byte changed", bad_body, 0},
      {"header byte changed", bad_header, 0},
      {"length past the firmware area", too_long, 0},
      {"header only, empty body", make_image({}), 3},
  };
  for (const auto& r : rows) {
    auto in = start({{"mode", "0"}, {"app_mode", "3"}});
    flash_image(in.get(), r.image);
    send(in.get(), "XXBOOT 0\n");
    EXPECT_EQ(sim_mode(in.get()), r.mode_after) << r.name;
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), std::to_string(r.mode_after) + "\n") << r.name;
  }
  auto erased = start({{"mode", "0"}});
  send(erased.get(), "XXBOOT 0\n");
  EXPECT_EQ(query(erased.get(), "XXCMD?\n"), "0\n") << "erased flash";
}

TEST(Modes, RestartTakesAwayTheUnlock) {
  temp_dir dir;
  dir.write("fw.bin", make_image(pattern(100)));
  auto in = start({{"mode", "2"}, {"flash_image", dir.path("fw.bin")}});
  send(in.get(), "XXENTER 6081\n");
  ASSERT_TRUE(query(in.get(), "XXRDMEM? 8388608,4\n"));
  send(in.get(), "XXBOOT 0\n");
  EXPECT_EQ(query(in.get(), "XXCMD?\n"), "2\n");
  EXPECT_EQ(query(in.get(), "XXRDMEM? 8388608,4\n"), std::nullopt);
}

// The dialogue of a whole update, as the program holds it.
TEST(Modes, WholeUpdateFromApplicationModeAndBack) {
  temp_dir dir;
  auto old_fw = make_image(pattern(90000, 1));
  auto new_fw = make_image(pattern(200000, 2));
  dir.write("old.bin", old_fw);
  auto in = start({{"mode", "2"}, {"flash_image", dir.path("old.bin")}, {"restart_ms", "20"}});

  EXPECT_EQ(number(in.get(), "XXCMD?\n"), 2u);
  send(in.get(), "XXENTER 6081\n");
  EXPECT_EQ(number(in.get(), "*OPC?\n"), 1u);
  send(in.get(), "XXBOOT 2\n");
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(number(in.get(), "XXCMD?\n"), 0u);

  send(in.get(), "XXFILL 8388608,2097152,255\n");
  EXPECT_EQ(number(in.get(), "*OPC?\n"), 1u);
  download(in.get(), ram, new_fw);
  EXPECT_EQ(number(in.get(), "XXRDMEM? 8388668,4\n"), number(in.get(), "XXCRC? 8388608,60\n"));
  EXPECT_EQ(number(in.get(), "XXRDMEM? 8388608,4\n"), number(in.get(), "XXCRC? 8388672,200000\n"));

  EXPECT_EQ(program_flash(in.get(), new_fw), 0);
  EXPECT_EQ(number(in.get(), "XXRDMEM? 4292870204,4\n"), number(in.get(), "XXCRC? 4292870144,60\n"));
  EXPECT_EQ(number(in.get(), "XXRDMEM? 4292870144,4\n"), number(in.get(), "XXCRC? 4292870208,200000\n"));
  EXPECT_EQ(peek(in.get(), flash, uint32_t(new_fw.size())), new_fw);

  send(in.get(), "XXBOOT 0\n");
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(number(in.get(), "XXCMD?\n"), 2u);
}

} // namespace
