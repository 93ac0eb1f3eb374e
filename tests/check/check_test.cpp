// kescheck against simulated instruments: what it reports, its exit status,
// and that nothing it sends could change an instrument.
#include "image_make.h"
#include "images.h"
#include "run_program.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

// The commands on the bus, each as written: its text (line feed as "\n")
// and " END" when END went with its last byte.
std::vector<std::string> commands_sent(const standin& visa) {
  std::vector<std::string> commands;
  for (const std::string& line : visa.bus_lines()) {
    if (line.rfind("viWrite(", 0) != 0) {
      continue;
    }
    const size_t open = line.find('"');
    const size_t close = line.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) {
      commands.push_back(line); // a data block, which no check may send
      continue;
    }
    const bool end = line.compare(close + 1, 5, " END,") == 0;
    commands.push_back(line.substr(open + 1, close - open - 1) + (end ? " END" : ""));
  }
  return commands;
}

// Read-only by construction: whatever a test does, none of these may appear.
void expect_read_only(const standin& visa) {
  for (const std::string& command : commands_sent(visa)) {
    for (const char* changing : {"XXFILL", "XXDLDATA", "XXERASE?", "XXPROG?", "XXBOOT"}) {
      EXPECT_EQ(command.find(changing), std::string::npos) << command;
    }
  }
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The bus of a check: the mode query, the unlock (modes 2 and 3), the five
// header words, the header CRC and, unless the length cannot fit, the body
// CRC over body_length bytes. words 1 stops after the first header word.
std::vector<std::string> bus(bool unlock, int words = 5, int64_t body_length = -1) {
  std::vector<std::string> commands{"XXCMD?\\n END"};
  if (unlock) {
    commands.emplace_back("XXENTER 6081\\n END");
    commands.emplace_back("*OPC?\\n END");
  }
  for (const char* word : {"4292870144", "4292870148", "4292870152", "4292870156", "4292870204"}) {
    if (words-- > 0) {
      commands.push_back(std::string("XXRDMEM? ") + word + ",4\\n END");
    }
  }
  if (words == 0) {
    commands.emplace_back("XXCRC? 4292870144,60\\n END");
  }
  if (body_length >= 0) {
    commands.push_back("XXCRC? 4292870208," + std::to_string(body_length) + "\\n END");
  }
  return commands;
}
const std::vector<std::string> mode_only{"XXCMD?\\n END"};
const std::vector<std::string> nothing;

// A folder with the new image fw.bin (150000-byte body), an older one
// old.bin (69936), twin.bin, a refused one bad.bin, and the instrument at
// GPIB0::17::INSTR with its state in a file.
struct check_bench {
  standin visa;
  std::string state;

  void configure(const std::string& section, const std::string& trace) const {
    write_file(visa.config, "trace = " + trace + "\ntimeout_scale = 0.001\n[GPIB0::17::INSTR]\nstate = " + state +
                                "\nrestart_ms = 0\n" + section);
  }
  program_run run(const std::string& program, const std::vector<std::string>& args) const {
    return run_program(program, args, {"KESVISA_CONFIG=" + visa.config, "POSIXLY_CORRECT"}, visa.dir);
  }
};

check_bench make_check_bench() {
  check_bench b;
  b.visa.dir = make_temp_dir();
  b.visa.config = b.visa.dir + "/visa.conf";
  b.visa.trace = b.visa.dir + "/trace.txt";
  b.state = b.visa.dir + "/bench.state";
  write_image(b.visa.dir, make_image(150064), "fw.bin");
  write_image(b.visa.dir, make_image(70000), "old.bin");
  // The same length as fw.bin, one body byte apart: only the CRCs tell them apart.
  std::vector<uint8_t> twin = make_image(150064);
  twin[1000] ^= 1;
  image_make_header(twin.data(), twin.data() + 64, 150000);
  write_image(b.visa.dir, twin, "twin.bin");
  std::vector<uint8_t> bad = make_image(70000);
  bad[1000] ^= 1;
  write_image(b.visa.dir, bad, "bad.bin");
  return b;
}

struct check_case {
  const char* name;
  const char* section;   // the instrument's configuration
  const char* interrupt; // non-empty: first an update of fw.bin that this fault stops
  std::vector<std::string> args;
  int status;
  std::string out;                   // lines that standard output must hold
  std::string err;                   // standard error; "..." at the end: what it starts with
  std::vector<std::string> commands; // what went on the bus
};

// Named in test output by the case, not by its bytes.
void PrintTo(const check_case& c, std::ostream* os) { *os << c.name; }

class Check : public testing::TestWithParam<check_case> {};

TEST_P(Check, ReportsWhatTheInstrumentHolds) {
  const check_case& c = GetParam();
  const check_bench b = make_check_bench();
  if (c.interrupt[0] != '\0') {
    b.configure(std::string(c.section) + c.interrupt, b.visa.dir + "/update-trace.txt");
    const program_run update = b.run(KESLOAD_FAST_BIN, {"fw.bin"});
    ASSERT_EQ(update.status, 1) << update.out << update.err;
  }
  b.configure(c.section, b.visa.trace);

  const program_run run = b.run(KESCHECK_BIN, c.args);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  const std::vector<std::string> out = lines_of(run.out);
  for (const std::string& line : lines_of(c.out)) {
    EXPECT_NE(std::find(out.begin(), out.end(), line), out.end()) << line << " not in:\n" << run.out;
  }
  const bool prefix = c.err.ends_with("...");
  EXPECT_EQ(prefix ? run.err.substr(0, c.err.size() - 3) : run.err, prefix ? c.err.substr(0, c.err.size() - 3) : c.err);
  EXPECT_EQ(commands_sent(b.visa), c.commands);
  expect_read_only(b.visa);
}

const char* const same_image = "mode = 2\nflash_image = fw.bin\n";
const char* const older_image = "mode = 2\nflash_image = old.bin\n";

const check_case check_cases[] = {
    {"same_image_unlocked_in_mode_2", same_image, "", {"fw.bin"}, 0, "verdict: same", "", bus(true, 5, 150000)},
    {"older_image",
     older_image,
     "",
     {"fw.bin"},
     1,
     "fw_length: 69936\nheader_crc: ok\nbody_crc: ok\nverdict: different",
     "",
     bus(true, 5, 69936)},
    {"same_length_other_image",
     "mode = 2\nflash_image = twin.bin\n",
     "",
     {"fw.bin"},
     1,
     "verdict: different",
     "",
     bus(true, 5, 150000)},
    {"older_image_is_intact_firmware", older_image, "", {}, 0, "verdict: intact", "", bus(true, 5, 69936)},
    {"mode_3_unlocked_too",
     "mode = 3\nflash_image = fw.bin\n",
     "",
     {"-a", "17", "fw.bin"},
     0,
     "mode: 3 application\nverdict: same",
     "",
     bus(true, 5, 150000)},
    // Block 2 of 3 never programmed: a right header over a wrong body.
    {"interrupted_update",
     older_image,
     "fault = prog-error 2 5\n",
     {"fw.bin"},
     1,
     "mode: 0 BOOTROM\nfw_length: 150000\nheader_crc: ok\nverdict: damaged",
     "",
     bus(false, 5, 150000)},
    // An erased header's length reaches past the firmware area: no CRC over it.
    {"erased_in_bootrom",
     "mode = 0\n",
     "",
     {"fw.bin"},
     1,
     "mode: 0 BOOTROM\nfw_crc: 0xFFFFFFFF\nfw_length: 4294967295\n"
     "body_crc: skipped, length beyond the firmware area\nverdict: damaged",
     "",
     bus(false)},
    {"refused_image_sends_nothing", same_image, "", {"bad.bin"}, 1, "", "Data file bad.bin is corrupted\n", nothing},
    {"missing_image_sends_nothing", same_image, "", {"none.bin"}, 1, "", "Can not open none.bin\n", nothing},
    {"unknown_mode",
     "mode = 2\nfault = reply XXCMD? 1 4\n",
     "",
     {"fw.bin"},
     1,
     "mode: 4 unknown\nverdict: unknown",
     "",
     mode_only},
    {"empty_memory_reply",
     "mode = 2\nfault = reply XXRDMEM? 1\n",
     "",
     {"fw.bin"},
     1,
     "mode: 2 application\nverdict: unknown",
     " gpib_uint32: no data available\n",
     bus(true, 1)},
    {"silent_memory_query",
     "mode = 2\nfault = no-reply XXRDMEM? 1\n",
     "",
     {"fw.bin"},
     1,
     "mode: 2 application",
     "viRead: timeout\n",
     bus(true, 1)},
    {"no_instrument_at_the_address",
     same_image,
     "",
     {"-a", "5", "fw.bin"},
     1,
     "",
     "viOpen: can't open device GPIB0::5::INSTR\n",
     nothing},
    {"address_out_of_range",
     same_image,
     "",
     {"-a", "31"},
     2,
     "",
     "invalid GPIB address 31\nUsage: kescheck ...",
     nothing},
    {"listing_takes_no_file", same_image, "", {"-l", "fw.bin"}, 2, "", "Usage: kescheck ...", nothing},
};

INSTANTIATE_TEST_SUITE_P(Check, Check, testing::ValuesIn(check_cases),
                         [](const testing::TestParamInfo<check_case>& info) { return info.param.name; });

// The whole report of a match, as a script reads it: the header words are
// the file's own.
TEST(Check, TheReportOfAMatch) {
  const check_bench b = make_check_bench();
  b.configure(same_image, b.visa.trace);
  const program_run run = b.run(KESCHECK_BIN, {"fw.bin"});
  const std::vector<uint8_t> image = make_image(150064);
  auto word = [&](size_t at) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X%02X%02X%02X", image[at], image[at + 1], image[at + 2], image[at + 3]);
    return std::string(text);
  };
  EXPECT_EQ(run.out, "resource: GPIB0::17::INSTR\nimage: fw.bin\nmode: 2 application\nfw_crc: " + word(0) +
                         "\nfw_address: 0xFFE00040\nfw_length: 150000\nfw_word3: " + word(12) +
                         "\nhdr_crc: " + word(60) + "\nheader_crc: ok\nbody_crc: ok\nverdict: same\n");
  EXPECT_EQ(run.status, 0);
}

// Two instruments on GPIB0 with a device that never answers between them,
// and one more on GPIB1.
struct listing_case {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* out;
  const char* err;
  size_t probes; // mode queries on the bus
};

void PrintTo(const listing_case& c, std::ostream* os) { *os << c.name; }

class Listing : public testing::TestWithParam<listing_case> {};

TEST_P(Listing, ListsEveryInstrumentWithItsMode) {
  const listing_case& c = GetParam();
  standin visa;
  visa.dir = make_temp_dir();
  visa.config = visa.dir + "/visa.conf";
  visa.trace = visa.dir + "/trace.txt";
  write_file(visa.config, "trace = " + visa.trace +
                              "\ntimeout_scale = 0.001\n"
                              "[GPIB0::5::INSTR]\nmode = 2\n"
                              "[GPIB0::6::INSTR]\nmode = 2\nfault = no-reply XXCMD? 1\n"
                              "[GPIB0::7::INSTR]\nmode = 0\n"
                              "[GPIB1::3::INSTR]\nmode = 3\n");
  const program_run run = run_program(KESCHECK_BIN, c.args, {"KESVISA_CONFIG=" + visa.config}, visa.dir);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
  EXPECT_EQ(commands_sent(visa), std::vector<std::string>(c.probes, "XXCMD?\\n END"));
  expect_read_only(visa);
}

INSTANTIATE_TEST_SUITE_P(
    Check, Listing,
    testing::Values(listing_case{"every_gpib_interface",
                                 {"-l"},
                                 0,
                                 "GPIB0::5::INSTR: 2 application\n"
                                 "GPIB0::6::INSTR: no answer\n"
                                 "GPIB0::7::INSTR: 0 BOOTROM\n"
                                 "GPIB1::3::INSTR: 3 application\n",
                                 "",
                                 4},
                    listing_case{"one_interface", {"-l", "-g", "GPIB1"}, 0, "GPIB1::3::INSTR: 3 application\n", "", 1},
                    listing_case{"nothing_there", {"-g", "GPIB2", "-l"}, 1, "", "no instrument found\n", 0}),
    [](const testing::TestParamInfo<listing_case>& info) { return info.param.name; });

} // namespace
