// kessim run: a VISA program against the stand-in library and a bench
// configuration, seen from the program's side.
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim_test.h"

using namespace simtest;

namespace {

std::string real(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? buf : "";
}

TEST(KessimRun, GivesTheProgramTheStandInAndItsConfiguration) {
  temp_dir dir;
  std::vector<uint8_t> short_state(100, 0);
  dir.write("short.state", short_state);
  auto conf = [&](const std::string& name, const std::string& state) {
    std::string text = "[GPIB0::17::INSTR]\nstate = " + dir.path(state) + "\nmode = 3\nrestart_ms = 0\n";
    dir.write(name, std::vector<uint8_t>(text.begin(), text.end()));
  };
  conf("visa.conf", "k.state");
  conf("short.conf", "short.state");
  const std::string lib = real(VISA_LIBRARY_PATH);
  const std::string libdir = lib.substr(0, lib.rfind('/'));
  const std::string client = VISA_CLIENT_PATH;
  const std::string show_env =
      "/bin/sh -c 'printf \"%s|%s|%s|%s\" \"$KESVISA_CONFIG\" \"$KESSIM_VISA_LIBRARY\" \"$LD_PRELOAD\" "
      "\"$LD_LIBRARY_PATH\"'";
  struct row {
    std::string command; // after "cd DIR &&", with the environment below
    int status;
    std::string out; // a part of what it printed (standard error too)
  } rows[] = {
      {"kessim run visa.conf -- " + show_env, 0,
       real(dir.path("visa.conf")) + "|" + lib + "|" + lib + "|" + libdir + ":/elsewhere"},
      {"kessim run visa.conf -- /bin/sh -c 'exit 7'", 7, ""},
      {"kessim run visa.conf -- " + client + " GPIB0::17::INSTR 'XXCMD?'", 0, "3\n"},
      {client + " GPIB0::17::INSTR 'XXCMD?'", 3, "no VISA functions"}, // only kessim run brings them
      {"kessim run short.conf -- " + client + " GPIB0::17::INSTR 'XXCMD?'", 1,
       "short.state: wrong size: 100 bytes where a state file has 2097216\n"},
      {"kessim run missing.conf -- /bin/true", 1, "kessim: missing.conf: No such file or directory\n"},
      {"kessim run visa.conf /bin/true", 2, "run needs CONFIG -- PROGRAM"},
      {"kessim run visa.conf --", 2, "run needs CONFIG -- PROGRAM"},
      {"kessim run visa.conf -- no-such-program-here", 127, "kessim: no-such-program-here: No such file"},
  };
  // Under the sanitizers the preloaded library would trip ASan's check that
  // its runtime comes first.
  const std::string env = "ASAN_OPTIONS=verify_asan_link_order=0 LD_LIBRARY_PATH=/elsewhere LD_PRELOAD= ";
  for (const auto& r : rows) {
    std::string command = r.command;
    if (command.rfind("kessim ", 0) == 0)
      command.replace(0, 6, KESSIM_PATH);
    auto got = shell("cd " + dir.path("") + " && " + env + command + " 2>&1");
    EXPECT_EQ(got.status, r.status) << r.command << "\n" << got.out;
    EXPECT_NE(got.out.find(r.out), std::string::npos) << r.command << "\n" << got.out;
  }
}

// A PyVISA script loads the library that kessim run names.
TEST(KessimRun, PyVisaScriptReachesTheInstrument) {
  // Debian's python3 has Debian's python3-pyvisa, whatever python3 comes
  // first on the PATH.
  std::string python;
  for (const char* candidate : {"/usr/bin/python3", "python3"}) {
    if (python.empty() && shell(std::string(candidate) + " -c 'import pyvisa' 2>/dev/null").status == 0)
      python = candidate;
  }
  if (python.empty())
    GTEST_SKIP() << "PyVISA is not installed";
  temp_dir dir;
  std::string text = "[GPIB0::17::INSTR]\nstate = " + dir.path("k.state") + "\nmode = 1\nrestart_ms = 0\n";
  dir.write("visa.conf", std::vector<uint8_t>(text.begin(), text.end()));
  auto got =
      shell("ASAN_OPTIONS=verify_asan_link_order=0 " + std::string(KESSIM_PATH) + " run " + dir.path("visa.conf") +
            " -- " + python + " -c 'import os, pyvisa\n"
            "rm = pyvisa.ResourceManager(os.environ[\"KESSIM_VISA_LIBRARY\"])\n"
            "i = rm.open_resource(\"GPIB0::17::INSTR\", write_termination=\"\\n\", read_termination=\"\\n\")\n"
            "print(i.query(\"XXCMD?\"))' 2>&1");
  EXPECT_EQ(got.status, 0) << got.out;
  EXPECT_EQ(got.out, "1\n");
}

} // namespace
