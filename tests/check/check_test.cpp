// kescheck against simulated instruments: what it reports, its exit status,
// and that nothing it sends could change an instrument.
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

struct check_case {
  const char* name;
  std::string section; // the instrument at GPIB0::17::INSTR
  std::string args;    // split at blanks
  int status;
  std::string out; // how standard output ends (empty: it is empty)
  std::string err; // what standard error starts with
  std::vector<std::string> commands;
  const char* interrupt = ""; // first an update of fw.bin that this fault stops
};

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

  const std::vector<std::string> env{"KESVISA_CONFIG=" + visa.config};
  auto configure = [&](const std::string& trace, const std::string& extra) {
    write_file(visa.config, "trace = " + visa.dir + trace + "\ntimeout_scale = 0.001\n[GPIB0::17::INSTR]\nstate = " +
                                visa.dir + "/bench.state\nrestart_ms = 0\n" + c.section + extra);
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
  EXPECT_TRUE(c.out.empty() ? run.out.empty() : run.out.ends_with(c.out)) << run.out;
  EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
  EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
  EXPECT_EQ(commands_sent(visa), c.commands);
}

const std::string same = "mode = 2\nflash_image = fw.bin\n";
const std::string older = "mode = 2\nflash_image = old.bin\n";

INSTANTIATE_TEST_SUITE_P(
    Check, Check,
    testing::Values(
        check_case{"same_image", same, "-a 17 fw.bin", 0, "header_crc: ok\nbody_crc: ok\nverdict: same\n", "",
                   bus(true, 150000)},
        check_case{"older_image", older, "fw.bin", 1, "body_crc: ok\nverdict: different\n", "", bus(true, 69936)},
        check_case{"older_image_intact", older, "", 0, "verdict: intact\n", "", bus(true, 69936)},
        check_case{"twin_image", "mode = 2\nflash_image = twin.bin\n", "fw.bin", 1, "verdict: different\n", "",
                   bus(true, 150000)},
        // Block 2 of 3 never programmed: a right header over a wrong body.
        check_case{"interrupted_update", older, "fw.bin", 1, "verdict: damaged\n", "", bus(false, 150000),
                   "fault = prog-error 2 5\n"},
        // An erased header's length reaches past the firmware area: no CRC over it.
        check_case{"erased_in_bootrom", "mode = 0\n", "fw.bin", 1,
                   "hdr_crc: 0xFFFFFFFF\nheader_crc: bad 0xF48CF14D\nbody_crc: skipped, length beyond the firmware "
                   "area\nverdict: damaged\n",
                   "", bus(false, 0, 7)},
        check_case{"refused_image", same, "bad.bin", 1, "", "Data file bad.bin is corrupted\n", {}},
        check_case{"unknown_mode", "fault = reply XXCMD? 1 4\n", "fw.bin", 1, "mode: 4 unknown\nverdict: unknown\n", "",
                   bus(false, 0, 1)},
        check_case{"empty_memory_reply", "fault = reply XXRDMEM? 1\n", "fw.bin", 1,
                   "mode: 2 application\nfw_crc: unknown\nverdict: unknown\n", " gpib_uint32: no data available\n",
                   bus(true, 0, 2)},
        // A reply that is not one number is no value: never ok, intact or same.
        check_case{"unreadable_mode", "fault = reply XXCMD? 1 abc\n", "", 1, "mode: unknown\nverdict: unknown\n", "",
                   bus(false, 0, 1)},
        check_case{"unreadable_memory_reply", same + "fault = reply XXRDMEM? 3 abc\n", "", 1,
                   "fw_address: 0xFFE00040\nfw_length: unknown\nverdict: unknown\n", "", bus(true, 0, 4)},
        check_case{"header_crc_then_text", same + "fault = reply XXCRC? 1 0x12 3\n", "fw.bin", 1,
                   "header_crc: unknown\nverdict: unknown\n", "", bus(true, 150000, 7)},
        check_case{"unreadable_body_crc", same + "fault = reply XXCRC? 2 -\n", "", 1,
                   "header_crc: ok\nbody_crc: unknown\nverdict: unknown\n", "", bus(true, 150000)},
        check_case{"application_mode_3", "mode = 3\nflash_image = fw.bin\n", "fw.bin", 0, "verdict: same\n", "",
                   bus(true, 150000)},
        // A close that fails ends the run before any verdict.
        check_case{"failing_close", same + "fail = viClose 1 VI_ERROR_IO\n", "fw.bin", 1, "body_crc: ok\n", "",
                   bus(true, 150000)},
        // What is asked, and through which VISA, comes first: a failed open still says both.
        check_case{"open_fails", same + "fail = viOpen VI_ERROR_RSRC_NFOUND\n", "fw.bin", 1, "image: fw.bin\n",
                   "viOpen: can't open device GPIB0::17::INSTR\n", {}},
        // An update holds the instrument: nothing is asked of it, and the verdict says why.
        check_case{"in_use", same + "fail = viClear 1 VI_ERROR_RSRC_LOCKED\n", "fw.bin", 1,
                   "image: fw.bin\nverdict: in use by another program\n", "", {}},
        check_case{"in_use_midway", same + "fail = viRead 2 VI_ERROR_RSRC_LOCKED\n", "fw.bin", 1,
                   "mode: 2 application\nverdict: in use by another program\n", "", bus(true, 0, 1)},
        check_case{"bad_address", same, "-a 31", 2, "", "invalid GPIB address 31\nUsage: kescheck ", {}},
        check_case{"address_typo", same, "-a 1O", 2, "", "invalid GPIB address 1O\nUsage: kescheck ", {}},
        check_case{"listing_takes_no_file", same, "-l fw.bin", 2, "", "Usage: kescheck ", {}},
        check_case{"visa_report_takes_no_instrument", same, "-V -a 17", 2, "", "Usage: kescheck ", {}}),
    [](const testing::TestParamInfo<check_case>& info) { return info.param.name; });

// Two instruments on GPIB0 with a device between them that never answers,
// and one more on GPIB1; listed all, then one interface's.
TEST(Check, ListsEveryInstrumentWithItsMode) {
  standin visa{make_temp_dir(), "", ""};
  visa.config = visa.dir + "/visa.conf";
  visa.trace = visa.dir + "/trace.txt";
  write_file(visa.config, "trace = " + visa.trace + "\ntimeout_scale = 0.001\n[GPIB0::5::INSTR]\n[GPIB0::6::INSTR]\n" +
                              "fault = no-reply XXCMD? 1\n[GPIB0::7::INSTR]\nmode = 0\n[GPIB0::8::INSTR]\n" +
                              "fault = reply XXCMD? 1\n[GPIB0::9::INSTR]\nfault = reply XXCMD? 1 0x\n" +
                              "[GPIB0::10::INSTR]\nfail = viWrite 1 VI_ERROR_RSRC_LOCKED\n" +
                              "[GPIB1::3::INSTR]\nmode = 3\n");
  const program_run all = run_program(KESCHECK_BIN, {"-l"}, {"KESVISA_CONFIG=" + visa.config});
  EXPECT_EQ(all.out, "GPIB0::5::INSTR: 2 application\nGPIB0::6::INSTR: no answer\nGPIB0::7::INSTR: 0 BOOTROM\n"
                     "GPIB0::8::INSTR: no answer\nGPIB0::9::INSTR: no answer\n"
                     "GPIB0::10::INSTR: in use by another program\nGPIB1::3::INSTR: 3 application\n");
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(commands_sent(visa), std::vector<std::string>(7, "XXCMD?\\n END"));
  // The interface as -g names it to open an instrument: "gpib" is board 0.
  const program_run board0 = run_program(KESCHECK_BIN, {"-l", "-g", "gpib"}, {"KESVISA_CONFIG=" + visa.config});
  EXPECT_EQ(board0.out.substr(0, 32), "GPIB0::5::INSTR: 2 application\nG");
  EXPECT_EQ(board0.status, 0);
  const program_run board1 = run_program(KESCHECK_BIN, {"-l", "-g", "GPIB01"}, {"KESVISA_CONFIG=" + visa.config});
  EXPECT_EQ(board1.out, "GPIB1::3::INSTR: 3 application\n");
  write_file(visa.trace, ""); // each run's trace on its own: the stand-in appends
  const program_run one = run_program(KESCHECK_BIN, {"-g", "GPIB1", "-l"}, {"KESVISA_CONFIG=" + visa.config});
  EXPECT_EQ(one.out, "GPIB1::3::INSTR: 3 application\n");
  EXPECT_EQ(commands_sent(visa), std::vector<std::string>(1, "XXCMD?\\n END"));
  const program_run none = run_program(KESCHECK_BIN, {"-l", "-g", "GPIB2"}, {"KESVISA_CONFIG=" + visa.config});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "no instrument found\n");
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
  // The library as the system names it (on Windows with its own slashes).
  EXPECT_TRUE(check.out.starts_with("resource: GPIB0::17::INSTR\nvisa: ")) << check.out;
  EXPECT_EQ(split_lines(check.out).size(), 2U) << check.out;
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
