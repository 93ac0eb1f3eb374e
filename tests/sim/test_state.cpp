// The state file: what one instrument leaves, the next one finds, across
// instances, across processes, and after a process killed midway.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim_test.h"

using namespace simtest;

namespace {

TEST(State, SecondInstrumentFindsWhatTheFirstLeft) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  auto image = make_image(pattern(80000));
  {
    auto in = start({{"state", state}, {"mode", "3"}});
    send(in.get(), "XXENTER 6081\n");
    send(in.get(), "XXBOOT 2\n");
    download(in.get(), ram, image);
    ASSERT_EQ(program_flash(in.get(), image), 0);
  }
  // The keys for a new state no longer matter: the file holds the state.
  auto in = start({{"state", state}, {"mode", "1"}, {"app_mode", "1"}});
  EXPECT_EQ(sim_mode(in.get()), 0);
  EXPECT_EQ(peek(in.get(), flash, uint32_t(image.size())), image);
  EXPECT_EQ(peek(in.get(), ram, 4), std::vector<uint8_t>(4, 0)) << "RAM does not last";
  send(in.get(), "XXBOOT 0\n");
  EXPECT_EQ(sim_mode(in.get()), 3) << "the application mode lasts too";
}

TEST(State, WithoutAStateFileNothingLasts) {
  auto image = make_image(pattern(100));
  {
    auto in = start({{"mode", "0"}});
    download(in.get(), ram, image);
    ASSERT_EQ(program_flash(in.get(), image), 0);
  }
  auto in = start({{"mode", "0"}});
  EXPECT_EQ(peek(in.get(), flash, 64), std::vector<uint8_t>(64, 0xFF));
}

TEST(State, TwoInstrumentsOnOneFileShareIt) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  auto a = start({{"state", state}, {"mode", "0"}});
  auto b = start({{"state", state}});
  send(a.get(), "XXFILL 8388608,16,0\n");
  ASSERT_EQ(number(a.get(), "XXPROG? 8388608,16,4292870144\n"), 0u);
  EXPECT_EQ(peek(b.get(), flash, 16), std::vector<uint8_t>(16, 0)) << "written through at once";
  EXPECT_EQ(peek(b.get(), ram, 1), std::vector<uint8_t>{0}) << "each has its own RAM";
}

TEST(State, KilledMidUpdateLeavesWhatItDid) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  auto block = pattern(0x10000, 3);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test assertions in here: just work, then die without cleaning up.
    sim_instrument* in = sim_create();
    char err[256];
    sim_configure(in, "state", state.c_str(), err, sizeof err);
    sim_configure(in, "mode", "0", err, sizeof err);
    if (sim_start(in, err, sizeof err) != 0)
      _exit(1);
    send(in, "XXDLDATA 8388608,65536\n");
    sim_receive(in, block.data(), block.size(), true);
    send(in, "XXPROG? 8388608,65536,4292935680\n");
    send(in, "XXERASE? 5,1\n");
    send(in, "XXFILL 8388608,16,0\n");
    send(in, "XXPROG? 8388608,16,4292870144\n");
    raise(SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

  auto in = start({{"state", state}});
  EXPECT_EQ(sim_mode(in.get()), 0);
  EXPECT_EQ(peek(in.get(), flash + 0x10000, 0x10000), block);
  EXPECT_EQ(peek(in.get(), flash, 16), std::vector<uint8_t>(16, 0));
}

TEST(State, KessimCreatesShowsAndChangesAState) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  auto image = make_image(pattern(0x18000, 2));
  dir.write("fw.bin", image);

  EXPECT_EQ(kessim("create " + state + " --mode 3 --image " + dir.path("fw.bin")).status, 0);
  EXPECT_EQ(kessim("create " + state).status, 1) << "never over an existing state";
  EXPECT_EQ(kessim("check " + state).status, 0);
  auto show = kessim("show " + state);
  EXPECT_EQ(show.status, 0);
  for (const char* line :
       {"mode:        3\n", "app mode:    3\n", "fw_address:  0xFFE00040\n", "fw_length:   0x00018000 (98304)\n",
        "header CRC:  ok\n", "body CRC:    ok\n", "firmware:    valid\n", "erased:      2-27\n"})
    EXPECT_NE(show.out.find(line), std::string::npos) << line << " in\n" << show.out;

  // An instrument in this process sees the state made by another process...
  {
    auto in = start({{"state", state}});
    EXPECT_EQ(sim_mode(in.get()), 3);
    EXPECT_EQ(peek(in.get(), flash, uint32_t(image.size())), image);
    send(in.get(), "XXENTER 6081\n");
    EXPECT_EQ(number(in.get(), "XXERASE? 1,1\n"), 0u);
    send(in.get(), "XXBOOT 2\n");
  }
  // ...and the other process sees what it did.
  show = kessim("show " + state);
  EXPECT_NE(show.out.find("mode:        0\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("body CRC:    bad\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("erased:      1-27\n"), std::string::npos) << show.out;
  EXPECT_EQ(kessim("check " + state).status, 3);

  EXPECT_EQ(kessim("mode " + state + " 1 --app-mode 2").status, 0);
  {
    auto in = start({{"state", state}});
    EXPECT_EQ(sim_mode(in.get()), 1);
  }
  EXPECT_EQ(kessim("reset " + state).status, 0);
  show = kessim("show " + state);
  EXPECT_NE(show.out.find("mode:        1\n"), std::string::npos) << "reset keeps the mode\n" << show.out;
  EXPECT_NE(show.out.find("app mode:    2\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("erased:      0-27\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("header CRC:  bad\n"), std::string::npos) << show.out;
  EXPECT_EQ(kessim("reset " + state + " --mode 0 --image " + dir.path("fw.bin")).status, 0);
  EXPECT_EQ(kessim("check " + state).status, 0);
  EXPECT_NE(kessim("show " + state).out.find("mode:        0\n"), std::string::npos);
}

TEST(State, KessimExitStatuses) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  dir.write("junk", std::vector<uint8_t>(10, 0));
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0); // an image nobody writes: refused, not waited on
  struct row {
    std::string args;
    int status;
  } rows[] = {
      {"", 2},
      {"show", 2},
      {"frobnicate " + state, 2},
      {"create " + state + " --mode 4", 2},
      {"create " + state + " --app-mode 0", 2},
      {"create " + state + " --mode", 2},
      {"create " + state + " --image " + dir.path("missing.bin"), 1},
      {"create " + state + " --image " + dir.path("fifo"), 1},
      {"show " + state, 1},
      {"check " + state, 1},
      {"reset " + state, 1},
      {"mode " + state + " 1", 1},
      {"show " + dir.path("junk"), 1},
      {"create " + state, 0},
      {"mode " + state, 2},
      {"mode " + state + " 9", 2},
      {"mode " + state + " 1 --image x", 2},
      {"show " + state + " extra", 2},
      {"check " + state, 3},
  };
  for (const auto& r : rows)
    EXPECT_EQ(kessim(r.args).status, r.status) << "kessim " << r.args;
}

// Puts a little-endian word into the file at offset.
void put_word(const std::string& path, long offset, uint32_t value) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  for (int i = 0; i < 4; ++i)
    f.put(char(value >> (8 * i)));
}

TEST(State, DamagedStateFileIsRefused) {
  struct row {
    long offset;
    uint32_t value;
    const char* reason;
  } rows[] = {
      {16, 4, "state file holds a mode outside 0..3"},
      {16, 0x100, "state file holds a mode outside 0..3"}, // the whole word counts, not its low byte
      {16, 0xFFFFFFFF, "state file holds a mode outside 0..3"},
      {20, 0, "state file holds an application mode outside 1..3"},
      {20, 4, "state file holds an application mode outside 1..3"},
      {8, 2, "unsupported state file version"},
      {0, 0x4B53454B, "not a simulator state file (bad magic)"},
      {28, 0x100000, "state file header does not match this instrument"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.offset << ": " << r.value);
    temp_dir dir;
    std::string state = dir.path("k.state");
    ASSERT_EQ(kessim("create " + state).status, 0);
    put_word(state, r.offset, r.value);
    auto [rc, reason] = try_start({{"state", state}});
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(reason, "state " + state + ": " + r.reason);
    for (const char* command : {"show ", "check ", "mode ", "reset "}) {
      auto run = shell(KESSIM_PATH + std::string(" ") + command + state + (command[0] == 'm' ? " 1" : "") + " 2>&1");
      EXPECT_EQ(run.status, 1) << command;
      EXPECT_EQ(run.out, "kessim: state " + state + ": " + r.reason + "\n") << command;
    }
  }
}

std::string contents(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Another process spoils the file under a running instrument (kessim reset
// racing an update, a copy over it, a full disk cutting it short): the
// instrument must not die of it, must say so once, and must stop answering
// and writing, so that the controller times out rather than trusting it.
TEST(State, SpoiledUnderARunningInstrument) {
  const off_t whole = 64 + 0x200000;
  namespace fs = std::filesystem;
  struct row {
    const char* name;
    std::function<void(const std::string&)> spoil;
    const char* reason;
  } rows[] = {
      {"cut to nothing", [](const std::string& p) { (void)!truncate(p.c_str(), 0); },
       "changed size to 0 bytes while in use (a state file has 2097216)"},
      {"cut inside the flash", [](const std::string& p) { (void)!truncate(p.c_str(), 64 + 0x100000); },
       "changed size to 1048640 bytes while in use (a state file has 2097216)"},
      {"cut and grown back with zeros",
       [whole](const std::string& p) { (void)!(truncate(p.c_str(), 0) || truncate(p.c_str(), whole)); },
       "not a simulator state file (bad magic) (changed while in use)"},
      {"its mode word written over", [](const std::string& p) { put_word(p, 16, 7); },
       "state file holds a mode outside 0..3 (changed while in use)"},
      // A later run would find no state, or another one, at the name: this
      // instrument's state is gone even where its bytes are not.
      {"removed", [](const std::string& p) { fs::remove(p); }, "removed while in use"},
      {"replaced by a copy of itself",
       [](const std::string& p) {
         fs::copy_file(p, p + ".copy");
         fs::rename(p + ".copy", p);
       },
       "replaced by another file while in use"},
      {"moved away, a copy put in its place",
       [](const std::string& p) {
         fs::rename(p, p + ".old");
         fs::copy_file(p + ".old", p);
       },
       "replaced by another file while in use"},
      {"its folder removed", [](const std::string& p) { fs::remove_all(fs::path(p).parent_path()); },
       "removed while in use"},
  };
  for (const auto& r : rows) {
    temp_dir dir;
    fs::create_directory(dir.path("bench"));
    std::string state = dir.path("bench/k.state");
    auto in = start({{"state", state}, {"mode", "0"}});
    ASSERT_EQ(number(in.get(), "XXERASE? 0,1\n"), 0u) << r.name;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      r.spoil(state);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::string spoiled = contents(state);

    testing::internal::CaptureStderr();
    EXPECT_EQ(query(in.get(), "XXCMD?\n"), std::nullopt) << r.name;
    send(in.get(), "XXFILL 8388608,16,0\n");
    EXPECT_EQ(query(in.get(), "XXPROG? 8388608,16,4292870144\n"), std::nullopt) << r.name;
    EXPECT_EQ(query(in.get(), "XXERASE? 0,28\n"), std::nullopt) << r.name;
    EXPECT_EQ(query(in.get(), "*OPC?\n"), std::nullopt) << r.name;
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "kesvisa: state " + state + ": " + r.reason + "; the simulated instrument stops answering\n")
        << r.name << ": one line, once";
    EXPECT_EQ(sim_mode(in.get()), -1) << r.name;
    uint8_t byte = 0;
    EXPECT_FALSE(sim_peek(in.get(), flash, &byte, 1)) << r.name;
    EXPECT_TRUE(contents(state) == spoiled) << r.name << ": the instrument wrote on after the damage";
  }
}

// A file size limit fails writes as a full disk does (EFBIG for ENOSPC).
TEST(State, FullDiskRefusesANewStateAndLeavesNothing) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  std::string other = dir.path("other.state");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit small{65536, 65536};
    signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &small) != 0)
      _exit(9);
    sim_instrument* in = sim_create();
    char err[256] = "";
    sim_configure(in, "state", state.c_str(), err, sizeof err);
    int rc = sim_start(in, err, sizeof err);
    bool told = std::string(err) == "state " + state + ": cannot reserve 2097216 bytes: File too large";
    int kessim_rc = system((std::string(KESSIM_PATH) + " create " + other + " 2>/dev/null").c_str());
    _exit(rc != 2 ? 1 : !told ? 2 : kessim_rc == -1 || WEXITSTATUS(kessim_rc) != 1 ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "1: the stand-in started, 2: its reason was not told, 3: kessim create did not fail; status " << status;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path(""))) << "neither a state nor a temporary file is left";
}

TEST(State, ShowAndCheckNeedNoWriteAccess) {
  temp_dir dir;
  std::string state = dir.path("k.state");
  dir.write("fw.bin", make_image(pattern(1000)));
  ASSERT_EQ(kessim("create " + state + " --mode 1 --image " + dir.path("fw.bin")).status, 0);
  ASSERT_EQ(chmod(state.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.path("").c_str(), 0555), 0);
  // root may write anyway: then kessim runs as nobody.
  std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  auto show = shell(as + KESSIM_PATH + " show " + state + " 2>&1");
  EXPECT_EQ(show.status, 0) << show.out;
  EXPECT_NE(show.out.find("mode:        1\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("firmware:    valid\n"), std::string::npos) << show.out;
  EXPECT_EQ(shell(as + KESSIM_PATH + " check " + state).status, 0);
  EXPECT_EQ(shell(as + KESSIM_PATH + " mode " + state + " 2 2>/dev/null").status, 1) << "the file is truly read-only";
  chmod(dir.path("").c_str(), 0755);
}

} // namespace
