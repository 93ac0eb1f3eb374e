// Configuration keys: what is taken, what is refused, and what they change.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim_test.h"

#include "run_program.h"

using namespace simtest;

namespace {

int configure(sim_instrument* in, const char* key, const char* value, std::string* reason = nullptr) {
  char err[256] = "";
  int rc = sim_configure(in, key, value, err, sizeof err);
  if (reason)
    *reason = err;
  return rc;
}

TEST(Config, BadValuesAreRefusedWithAReason) {
  struct row {
    const char* key;
    const char* value;
  } rows[] = {
      {"mode", "4"},
      {"mode", "-1"},
      {"mode", "two"},
      {"mode", ""},
      {"mode", "0x2"},
      {"app_mode", "0"},
      {"app_mode", "4"},
      {"restart_ms", "3600001"},
      {"restart_ms", "1.5"},
      {"bus_rate", "4294967296"},
      {"erase_ms", "-5"},
      {"program_ms", "x"},
      {"crc_ms_per_mib", "99999999999"},
      {"state", ""},
      {"flash_image", "  "},
      {"fault", ""},
      {"fault", "no-such-kind XXCMD? 1"},
      {"fault", "no-reply XXCMD?"},
      {"fault", "no-reply XXCMD? 0"},
      {"fault", "no-reply XXBOOT 1"}, // never replies
      {"fault", "no-reply xxcmd? 1"}, // case matters
      {"fault", "no-reply XXCMD? 1 extra"},
      {"fault", "long-reply XXCRC? two"},
      {"fault", "erase-error 32 5"},
      {"fault", "erase-error 3"},
      {"fault", "erase-error 3 2147483648"},
      {"fault", "prog-error -1 5"},
      {"fault", "prog-error 0 x"},
      {"fault", "boot-mode 4"},
      {"fault", "boot-mode"},
      {"fault", "corrupt-download -3"},
      {"fault", "corrupt-download 1 2"},
  };
  for (const auto& r : rows) {
    sim_ptr in(sim_create());
    std::string reason;
    EXPECT_EQ(configure(in.get(), r.key, r.value, &reason), 2) << r.key << " = " << r.value;
    EXPECT_FALSE(reason.empty()) << r.key << " = " << r.value;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << "one line";
  }
}

TEST(Config, GoodValuesAreTaken) {
  const char* rows[][2] = {
      {"mode", "0"},
      {"mode", " 3 "},
      {"app_mode", "1"},
      {"restart_ms", "0"},
      {"bus_rate", "4294967295"},
      {"erase_ms", "250"},
      {"program_ms", "40"},
      {"crc_ms_per_mib", "7"},
      {"state", "/tmp/x.state"},
      {"flash_image", "a.bin"},
      {"fault", "reply XXCRC? 3 some text"},
      {"fault", "erase-error 31 -2147483648"},
      {"fault", "prog-error 27 1"},
      {"fault", "boot-mode 0"},
      {"fault", "corrupt-download 4294967295"},
      {"fault", "long-reply *OPC? 1"},
  };
  for (const auto& r : rows) {
    sim_ptr in(sim_create());
    std::string reason;
    EXPECT_EQ(configure(in.get(), r[0], r[1], &reason), 0) << r[0] << " = " << r[1] << ": " << reason;
  }
}

TEST(Config, UnknownKeysAreLeftToTheCaller) {
  sim_ptr in(sim_create());
  for (const char* key : {"resource", "trace", "Mode", "timeout_scale", ""})
    EXPECT_EQ(configure(in.get(), key, "1"), 1) << key;
}

TEST(Config, NothingChangesOnceStarted) {
  auto in = start({{"mode", "1"}});
  std::string reason;
  EXPECT_EQ(configure(in.get(), "mode", "0", &reason), 2);
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(sim_mode(in.get()), 1);
  char err[64];
  EXPECT_EQ(sim_start(in.get(), err, sizeof err), 2);
}

TEST(Config, DefaultModeIsTwoAndApplicationModeFollowsMode) {
  temp_dir dir;
  dir.write("fw.bin", make_image(pattern(500)));
  struct row {
    config lines;
    int32_t mode, after_boot;
  } rows[] = {
      {{}, 2, 2},
      {{{"mode", "3"}}, 3, 3},
      {{{"mode", "1"}}, 1, 1},
      {{{"mode", "0"}}, 0, 2},
      {{{"mode", "0"}, {"app_mode", "1"}}, 0, 1},
      {{{"app_mode", "3"}}, 2, 3},
  };
  for (auto& r : rows) {
    r.lines.push_back({"flash_image", dir.path("fw.bin")});
    auto in = start(r.lines);
    EXPECT_EQ(sim_mode(in.get()), r.mode);
    send(in.get(), "XXBOOT 0\n");
    EXPECT_EQ(sim_mode(in.get()), r.after_boot);
  }
}

TEST(Config, FlashImageIsAtTheStartOfFlash) {
  temp_dir dir;
  auto image = make_image(pattern(1000));
  dir.write("fw.bin", image);
  auto in = start({{"flash_image", dir.path("fw.bin")}});
  EXPECT_EQ(peek(in.get(), flash, uint32_t(image.size())), image);
  EXPECT_EQ(peek(in.get(), flash + uint32_t(image.size()), 1), std::vector<uint8_t>{0xFF});
}

TEST(Config, StartFailsWithAReason) {
  temp_dir dir;
  dir.write("huge.bin", std::vector<uint8_t>(0x1C0001, 0));
  dir.write("edge.bin", std::vector<uint8_t>(0x1C0000, 0));
  dir.write("not-a-state", std::vector<uint8_t>(64 + 0x200000, 0));
  dir.write("short-state", std::vector<uint8_t>(100, 0));
  struct row {
    const char* name;
    config lines;
    int rc;
    std::string reason; // a part of it
  } rows[] = {
      {"missing image", {{"flash_image", dir.path("nope.bin")}}, 2, "nope.bin: No such file"},
      {"image over the boot code", {{"flash_image", dir.path("huge.bin")}}, 2, "larger than the firmware area"},
      {"image filling the firmware area", {{"flash_image", dir.path("edge.bin")}}, 0, ""},
      {"state in a missing folder", {{"state", dir.path("no/such/dir/s")}}, 2, "No such file"},
      {"state file of another kind", {{"state", dir.path("not-a-state")}}, 2, "bad magic"},
      {"state file of the wrong size",
       {{"state", dir.path("short-state")}},
       2,
       "state " + dir.path("short-state") + ": wrong size: 100 bytes where a state file has 2097216"},
      {"state that is a folder", {{"state", dir.path("")}}, 2, "Is a directory"},
  };
  for (const auto& r : rows) {
    auto [rc, reason] = try_start(r.lines);
    EXPECT_EQ(rc, r.rc) << r.name;
    if (r.rc) {
      EXPECT_NE(reason.find(r.reason), std::string::npos) << r.name << ": " << reason;
    }
  }
}

// The timing model: each key makes its own work take the time it says.
TEST(Config, TimingModel) {
  using ms = std::chrono::milliseconds;
  struct row {
    const char* key;
    const char* value;
    std::string command;
    ms at_least;
  } rows[] = {
      {"bus_rate", "2000", std::string(100, 'x'), ms(50)},
      {"erase_ms", "60", "XXERASE? 0,2\n", ms(120)},
      {"program_ms", "80", "XXPROG? 8388608,32768,4292870144\n", ms(40)},
      {"crc_ms_per_mib", "100", "XXCRC? 8388608,1048576\n", ms(100)},
  };
  for (const auto& r : rows) {
    auto in = start({{"mode", "0"}, {r.key, r.value}});
    auto t0 = std::chrono::steady_clock::now();
    send(in.get(), r.command);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, r.at_least) << r.key;
    EXPECT_LT(took, r.at_least * 4 + ms(200)) << r.key;
  }
  auto fast = start({{"mode", "0"}});
  auto t0 = std::chrono::steady_clock::now();
  send(fast.get(), "XXERASE? 0,28\n");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(1000)) << "no modelled time by default";
}

} // namespace
