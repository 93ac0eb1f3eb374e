// kescheck against simulated instruments: what it reports, its exit status,
// and that nothing it sends could change an instrument.
#include "image.h"
#include "image_make.h"
#include "images.h"
#include "run_program.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <sstream>

namespace {

// Each command on the bus as written, with " END" when END went with it;
// none of them may be one that changes an instrument.
std::vector<std::string> commands_sent(const standin& visa) {
  std::vector<std::string> commands;
  for (const std::string& line : visa.bus_lines()) {
    const size_t open = line.find('"');
    if (line.rfind("viWrite(", 0) == 0) {
      const size_t close = line.find('"', open + 1);
      commands.push_back(line.substr(open + 1, close - open - 1) + (line.find("\" END,") != close ? "" : " END"));
      for (const char* changing : {"XXFILL", "XXDLDATA", "XXERASE?", "XXPROG?", "XXBOOT", "bytes crc="}) {
        EXPECT_EQ(line.find(changing), std::string::npos) << line;
      }
    }
  }
  return commands;
}

// The bus of a whole check (the mode query, the unlock, the five header
// words, the header and body CRCs), cut after `count` commands besides the unlock.
std::vector<std::string> bus(bool unlock, uint32_t body_length, size_t count = 10) {
  std::vector<std::string> commands{"XXCMD?\\n END"};
  if (unlock) {
    commands.insert(commands.end(), {"XXENTER 6081\\n END", "*OPC?\\n END"});
  }
  for (const char* at : {"4292870144", "4292870148", "4292870152", "4292870156", "4292870204"}) {
    commands.push_back(std::string("XXRDMEM? ") + at + ",4\\n END");
  }
  commands.emplace_back("XXCRC? 4292870144,60\\n END");
  commands.push_back("XXCRC? 4292870208," + std::to_string(body_length) + "\\n END");
  commands.resize(std::min(commands.size(), count + (unlock ? 2 : 0)));
  return commands;
}

// What kescheck prints is held whole in tests/data/kescheck/NAME.txt: its
// standard output, then, after a line "--- standard error", its standard
// error; {visa} stands for the stand-in library's path.
struct check_case {
  const char* name;
  std::string section; // the instrument at resource
  std::string args;    // split at blanks
  int status;
  std::vector<std::string> commands;
  const char* interrupt = ""; // first an update of fw.bin that this fault stops
  const char* resource = "GPIB0::17::INSTR";
};

// The stand-in library's path as the programs print it: Windows's own form
// there, with backslashes.
std::string standin_path() {
  std::string path = STANDIN_VISA_LIBRARY;
  std::replace(path.begin(), path.end(), '/', on_windows ? '\\' : '/');
  return path;
}

std::string golden(const std::string& name) {
  std::string text = read_file(TEST_DATA_DIR "/kescheck/" + name + ".txt");
  const size_t at = text.find("{visa}");
  return at == std::string::npos ? text : text.replace(at, 6, standin_path());
}

void PrintTo(const check_case& c, std::ostream* os) { *os << c.name; }

class Check : public testing::TestWithParam<check_case> {};

TEST_P(Check, ReportsWhatTheInstrumentHolds) {
  const check_case& c = GetParam();
  standin visa{make_temp_dir(), "", ""};
  visa.config = visa.dir + "/visa.conf";
  write_image(visa.dir, make_image(150064), "fw.bin");
  write_image(visa.dir, make_image(70000), "old.bin");
  std::vector<uint8_t> twin = make_image(150064); // fw.bin's length, another body
  twin[1000] ^= 1;
  image_make_header(twin.data(), twin.data() + 64, 150000);
  write_image(visa.dir, twin, "twin.bin");
  twin[2000] ^= 1;
  write_image(visa.dir, twin, "bad.bin");
  write_image(visa.dir, make_image(fw_max_size), "full.bin"); // its body fills the firmware area

  const std::vector<std::string> env{"KESVISA_CONFIG=" + visa.config};
  auto configure = [&](const std::string& trace, const std::string& extra) {
    write_file(visa.config, "trace = " + visa.dir + trace + "\ntimeout_scale = 0.001\n[" + c.resource +
                                "]\nstate = " + visa.dir + "/bench.state\nrestart_ms = 0\n" + c.section + extra);
  };
  if (c.interrupt[0] != '\0') {
    configure("/update-trace.txt", c.interrupt);
    ASSERT_EQ(run_program(KESLOAD_FAST_BIN, {"fw.bin"}, env, visa.dir).status, 1);
  }
  configure("/trace.txt", "");
  visa.trace = visa.dir + "/trace.txt";

  std::vector<std::string> args;
  std::istringstream words(c.args);
  for (std::string word; words >> word;) {
    args.push_back(word);
  }
  const program_run run = run_program(KESCHECK_BIN, args, env, visa.dir);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  EXPECT_EQ(run.out + (run.err.empty() ? "" : "--- standard error\n" + run.err), golden(c.name));
  EXPECT_EQ(commands_sent(visa), c.commands);
}

const std::string same = "mode = 2\nflash_image = fw.bin\n";
const std::string older = "mode = 2\nflash_image = old.bin\n";

INSTANTIATE_TEST_SUITE_P(
    Check, Check,
    testing::Values(
        check_case{"same_image", same, "-a 17 fw.bin", 0, bus(true, 150000)},
        check_case{"older_image", older, "fw.bin", 1, bus(true, 69936)},
        check_case{"older_image_intact", older, "", 0, bus(true, 69936)},
        check_case{"twin_image", "mode = 2\nflash_image = twin.bin\n", "fw.bin", 1, bus(true, 150000)},
        // The body reaches the firmware area's last byte: still checked.
        check_case{"whole_firmware_area", "mode = 2\nflash_image = full.bin\n", "full.bin", 0, bus(true, 1834944)},
        check_case{"other_interface", same, "-g GPIB1 -a 5 fw.bin", 0, bus(true, 150000), "", "GPIB1::5::INSTR"},
        // Mode 1 answers the memory queries without the unlock.
        check_case{"application_mode_1", "mode = 1\nflash_image = fw.bin\n", "fw.bin", 0, bus(false, 150000)},
        // Block 2 of 3 never programmed: a right header over a wrong body.
        check_case{"interrupted_update", older, "fw.bin", 1, bus(false, 150000), "fault = prog-error 2 5\n"},
        // An erased header's length reaches past the firmware area: no CRC over it.
        check_case{"erased_in_bootrom", "mode = 0\n", "fw.bin", 1, bus(false, 0, 7)},
        check_case{"refused_image", same, "bad.bin", 1, {}},
        check_case{"unknown_mode", "fault = reply XXCMD? 1 4\n", "fw.bin", 1, bus(false, 0, 1)},
        check_case{"empty_memory_reply", "fault = reply XXRDMEM? 1\n", "fw.bin", 1, bus(true, 0, 2)},
        // A reply that is not one number is no value: never ok, intact or same.
        check_case{"unreadable_mode", "fault = reply XXCMD? 1 abc\n", "", 1, bus(false, 0, 1)},
        check_case{"unreadable_memory_reply", same + "fault = reply XXRDMEM? 3 abc\n", "", 1, bus(true, 0, 4)},
        check_case{"header_crc_then_text", same + "fault = reply XXCRC? 1 0x12 3\n", "fw.bin", 1, bus(true, 150000, 7)},
        check_case{"unreadable_body_crc", same + "fault = reply XXCRC? 2 -\n", "", 1, bus(true, 150000)},
        check_case{"application_mode_3", "mode = 3\nflash_image = fw.bin\n", "fw.bin", 0, bus(true, 150000)},
        // A close that fails ends the run before any verdict.
        check_case{"failing_close", same + "fail = viClose 1 VI_ERROR_IO\n", "fw.bin", 1, bus(true, 150000)},
        // What is asked, and through which VISA, comes first: a failed open still says both.
        check_case{"open_fails", same + "fail = viOpen VI_ERROR_RSRC_NFOUND\n", "fw.bin", 1, {}},
        // An update holds the instrument: nothing is asked of it, and the verdict says why.
        check_case{"in_use", same + "fail = viClear 1 VI_ERROR_RSRC_LOCKED\n", "fw.bin", 1, {}},
        check_case{"in_use_midway", same + "fail = viRead 2 VI_ERROR_RSRC_LOCKED\n", "fw.bin", 1, bus(true, 0, 1)},
        check_case{"bad_address", same, "-a 31", 2, {}},
        check_case{"address_typo", same, "-a 1O", 2, {}},
        check_case{"listing_takes_no_file", same, "-l fw.bin", 2, {}},
        check_case{"listing_takes_no_address", same, "-l -a 5", 2, {}},
        check_case{"visa_report_takes_no_instrument", same, "-V -a 17", 2, {}}),
    [](const testing::TestParamInfo<check_case>& info) { return info.param.name; });

// Instruments on GPIB0 with devices among them that never answer, one on
// GPIB1 and one on GPIB10; listed all, then one interface's.
TEST(Check, ListsEveryInstrumentWithItsMode) {
  standin visa{make_temp_dir(), "", ""};
  visa.config = visa.dir + "/visa.conf";
  visa.trace = visa.dir + "/trace.txt";
  write_file(visa.config, "trace = " + visa.trace + "\ntimeout_scale = 0.001\n[GPIB0::5::INSTR]\n[GPIB0::6::INSTR]\n" +
                              "fault = no-reply XXCMD? 1\n[GPIB0::7::INSTR]\nmode = 0\n[GPIB0::8::INSTR]\n" +
                              "fault = reply XXCMD? 1\n[GPIB0::9::INSTR]\nfault = reply XXCMD? 1 0x\n" +
                              "[GPIB0::10::INSTR]\nfail = viWrite 1 VI_ERROR_RSRC_LOCKED\n" +
                              "[GPIB1::3::INSTR]\nmode = 3\n[GPIB10::4::INSTR]\nmode = 1\n");
  const std::string board0 = "GPIB0::5::INSTR: 2 application\nGPIB0::6::INSTR: no answer\nGPIB0::7::INSTR: 0 BOOTROM\n"
                             "GPIB0::8::INSTR: no answer\nGPIB0::9::INSTR: no answer\n"
                             "GPIB0::10::INSTR: in use by another program\n";
  const std::string board1 = "GPIB1::3::INSTR: 3 application\n";
  const std::string board10 = "GPIB10::4::INSTR: 1 application\n";
  const struct {
    std::vector<std::string> args;
    std::string out; // empty: no instrument found
  } listings[] = {
      {{"-l"}, board0 + board1 + board10},
      // The interface as -g names it to open an instrument: "gpib" is board 0.
      {{"-l", "-g", "gpib"}, board0},
      {{"-l", "-g", "GPIB0"}, board0},
      {{"-l", "-g", "GPIB01"}, board1},
      {{"-l", "-g", "GPIB10"}, board10},
      {{"-l", "-g", "GPIB2"}, ""},
      {{"-l", "-g", "GPIB?"}, ""}, // a name, not a search
  };
  for (const auto& listing : listings) {
    SCOPED_TRACE(listing.args.back());
    write_file(visa.trace, ""); // each run's trace on its own: the stand-in appends
    const program_run run = run_program(KESCHECK_BIN, listing.args, {"KESVISA_CONFIG=" + visa.config});
    EXPECT_EQ(run.out, listing.out);
    EXPECT_EQ(run.err, listing.out.empty() ? "no instrument found\n" : "");
    EXPECT_EQ(run.status, listing.out.empty() ? 1 : 0);
    EXPECT_EQ(commands_sent(visa), std::vector<std::string>(split_lines(run.out).size(), "XXCMD?\\n END"));
  }
  EXPECT_EQ(run_program(KESCHECK_BIN, {"-g", "GPIB1", "-l"}, {"KESVISA_CONFIG=" + visa.config}).out, board1);
}

// A VISA whose resource manager cannot start: each way of asking says so,
// with its status, and fails.
TEST(Check, NamesAResourceManagerThatCannotStart) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/visa.conf", "fail = viOpenDefaultRM 0xBFFF009E\n[GPIB0::17::INSTR]\n");
  const std::vector<std::string> env{"KESVISA_CONFIG=" + dir + "/visa.conf"};
  const std::string message = "viOpenDefaultRM: can't open the VISA resource manager, status 0xBFFF009E\n";
  const program_run check = run_program(KESCHECK_BIN, {}, env, dir);
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out, "resource: GPIB0::17::INSTR\nvisa: " + standin_path() + "\n");
  EXPECT_EQ(check.err, message);
  const program_run list = run_program(KESCHECK_BIN, {"-l"}, env, dir);
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.err, message);
  const program_run report = run_program(KESCHECK_BIN, {"-V"}, env, dir);
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.out.find(": used, its resource manager fails, status 0xBFFF009E\n"), std::string::npos)
      << report.out;
}

// A report that cannot be written is a failure with its reason, never a
// success with nothing to show.
TEST(Check, ALostReportIsAFailure) {
  const std::string dir = make_temp_dir();
  write_image(dir, make_image(1000), "fw.bin");
  for (const auto& [program, args, name] :
       {std::tuple{KESCHECK_BIN, std::vector<std::string>{"-V"}, "kescheck"},
        std::tuple{KESIMAGE_BIN, std::vector<std::string>{"info", "fw.bin"}, "kesimage"}}) {
    running_program closed = start_program(program, args, {}, dir, {.stdout_closed = true});
    const program_run run = finish_program(closed);
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.err, std::string(name) + ": can't write the report: Bad file descriptor\n");
    if (on_windows) {
      continue; // no full device there
    }
    std::string command = std::string("exec '") + program + "'";
    for (const std::string& arg : args) {
      command += " " + arg;
    }
    const program_run full = run_program("/bin/sh", {"-c", command + " >/dev/full"}, {}, dir);
    EXPECT_EQ(full.status, 1) << name;
    EXPECT_EQ(full.err, std::string(name) + ": can't write the report: No space left on device\n");
  }
}

} // namespace
