#include "visa_fixture.h"

#include <sys/stat.h>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(VisaTest, BadConfigurationsAreReportedOnOneLine) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    const char* where; // after the file name
    const char* reason;
  } cases[] = {
      {"nonsense\n", ":1: ", "expected 'key = value'"},
      {"# fine\n\n = 3\n", ":3: ", "a key is missing"},
      {"mode = 2\n", ":1: ", "unknown key 'mode' before the first [RESOURCE] section"},
      {"timeout_scale = -1\n", ":1: ", "timeout_scale wants a number"},
      {"fail = viWrite 1 VI_ERROR_IO\n", ":1: ", "viWrite faults belong in an instrument's"},
      {"[GPIB0::17::SOCKET]\n", ":1: ", "'GPIB0::17::SOCKET' is not a resource name"},
      {"[GPIB0::17::31::INSTR]\n", ":1: ", "is not a resource name"},
      {"[gpib1::intfc]\n", ":1: ", "'gpib1::intfc' names an interface"},
      {"[GPIB0::17::INSTR]\n[gpib::17]\n", ":2: ", "'gpib::17' is declared twice"},
      {"[GPIB0::17::INSTR\n", ":1: ", "a section header ends with ']'"},
      {"[GPIB0::17::INSTR]\n[gpib0::017::instr]\n", ":2: ", "'gpib0::017::instr' is declared twice"},
      {"[GPIB0::17::INSTR]\nbogus = 1\n", ":2: ", "unknown key 'bogus'"},
      {"[GPIB0::17::INSTR]\nmode = 9\n", ":2: ", "mode"},
      {"[GPIB0::17::INSTR]\ncable = -1\n", ":2: ", "cable wants"},
      {"[GPIB0::17::INSTR]\ncable = 1\ncable = 2\n", ":3: ", "cable is given twice"},
      {"[GPIB0::17::INSTR]\nfail = viOpenDefaultRM VI_ERROR_IO\n", ":2: ", "viOpenDefaultRM faults belong before"},
      {"[GPIB0::17::INSTR]\nfail = viFlush 1 VI_ERROR_IO\n", ":2: ", "fail wants 'FUNCTION [N] STATUS'"},
      {"[GPIB0::17::INSTR]\nfail = viWrite 0 VI_ERROR_IO\n", ":2: ", "counts from 1"},
      {"[GPIB0::17::INSTR]\nfail = viWrite VI_ERROR_IO\n", ":2: ", "viWrite faults want 'N STATUS'"},
      {"[GPIB0::17::INSTR]\nfail = viOpen 1 2 3\n", ":2: ", "fail wants 'FUNCTION [N] STATUS'"},
      {"[GPIB0::17::INSTR]\nfail = viWrite 1 0x1BFFF003E\n", ":2: ", "not a status"},
      {"[GPIB0::17::INSTR]\nfail = viRead 3 1\nfail = viRead 3 2\n", ":3: ", "given twice"},
      {"[GPIB0::17::INSTR]\nmode = 2\0\n"s, ":2: ", "NUL"},
      {"trace = /nonexistent-folder/trace.txt\n[GPIB0::17::INSTR]\n", ":1: ", "cannot write the trace"},
      // The instrument finds these when it starts, after its section: the key's line is named.
      {"[GPIB0::17::INSTR]\nflash_image = /nonexistent.bin\nmode = 1\n", ":2: ", "flash_image /nonexistent.bin"},
      {"[GPIB0::17::INSTR]\nmode = 1\nstate = /nonexistent-folder/s\n[GPIB0::5::INSTR]\n", ":3: ", "state"},
      {"[GPIB0::17::INSTR]\nflash_image = /dev/null\n", ":2: ", "flash_image /dev/null: not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    configure(c.text);
    CaptureStderr();
    ViSession rm = 5;
    EXPECT_EQ(viOpenDefaultRM(&rm), VI_ERROR_INV_SETUP);
    EXPECT_EQ(rm, VI_NULL);
    const std::string message = GetCapturedStderr();
    const std::string head = "kesvisa: " + config_path_ + c.where;
    EXPECT_EQ(message.rfind(head, 0), 0U) << message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
    EXPECT_EQ(kesvisa_instrument(test_resource), nullptr);
  }
}

TEST_F(VisaTest, UnreadableConfigurationIsReportedOnceAndForgottenAtReset) {
  set_environment("KESVISA_CONFIG", (dir_ + "/missing.conf").c_str());
  CaptureStderr();
  ViSession rm = VI_NULL;
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_ERROR_INV_SETUP);
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_ERROR_INV_SETUP);
  EXPECT_EQ(GetCapturedStderr(),
            "kesvisa: " + dir_ + "/missing.conf: cannot read the configuration: No such file or directory\n");

  configure_instrument();
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
}

TEST_F(VisaTest, LayoutOfAGoodConfiguration) {
  // Comments, blank lines, CRLF line ends and blanks around keys and values;
  // the instrument's own keys reach the instrument.
  configure("# stand-in\r\n\r\n  timeout_scale=0.001  \r\n[ GPIB0::17::INSTR ]\r\n\tmode =3\r\n[GPIB0::5::INSTR]\r\n");
  const ViSession vi = open_instrument();
  ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
  EXPECT_EQ(read(vi).data, "3\n");
  EXPECT_NE(kesvisa_instrument("GPIB0::5::INSTR"), nullptr);
  EXPECT_EQ(kesvisa_instrument("GPIB0::6::INSTR"), nullptr);
}

// A relative state is the configuration's, wherever the run starts: from
// another folder the same instrument answers, with what it was left holding.
TEST_F(VisaTest, ARelativeStateLivesBesideTheConfiguration) {
  configure_instrument("state = bench.state\nmode = 2\n");
  const std::string elsewhere = dir_ + "/elsewhere";
  ASSERT_TRUE(std::filesystem::create_directory(elsewhere));
  const std::filesystem::path started = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere);
  const ViSession vi = open_instrument();
  ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
  const std::string mode = read(vi).data;
  kesvisa_reset();
  std::filesystem::current_path(started);
  EXPECT_EQ(mode, "2\n");
  EXPECT_EQ(read_file(dir_ + "/bench.state").substr(0, 8), "KESSIMST");
  EXPECT_EQ(access((elsewhere + "/bench.state").c_str(), F_OK), -1);
}

} // namespace
