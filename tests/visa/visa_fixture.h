// Tests of the stand-in VISA library through its C interface, each with a
// configuration file of its own in a fresh folder.
#pragma once

#include "run_program.h"

#include <gtest/gtest.h>
#include <kesvisa.h>
#include <visa.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

inline constexpr char test_resource[] = "GPIB0::17::INSTR";

// A trace as processes wrote it, without the times and the session lines:
// "PID RECORD" lines. A line without the marks stays as it is.
inline std::string untimed(const std::string& trace) {
  std::string out;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    const size_t pid_end = line.find(' ');
    const size_t time_end = pid_end == std::string::npos ? pid_end : line.find(' ', pid_end + 1);
    const size_t duration_end = time_end == std::string::npos ? time_end : line.find(' ', time_end + 1);
    if (duration_end == std::string::npos || line.find_first_not_of("0123456789") != pid_end) {
      out += line + "\n";
    } else if (line.compare(duration_end + 1, 8, "session ") != 0) {
      out += line.substr(0, pid_end + 1) + line.substr(duration_end + 1) + "\n";
    }
  }
  return out;
}

// Lines as this process marks them, untimed: its id and a blank first.
inline std::string marked(const std::string& lines, pid_t pid = getpid()) {
  std::string out;
  for (size_t pos = 0; pos < lines.size();) {
    const size_t end = lines.find('\n', pos) + 1;
    out += std::to_string(pid) + " " + lines.substr(pos, end - pos);
    pos = end;
  }
  return out;
}

class VisaTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    config_path_ = dir_ + "/visa.conf";
    set_environment("KESVISA_CONFIG", nullptr);
    kesvisa_reset();
  }

  void TearDown() override {
    kesvisa_reset();
    set_environment("KESVISA_CONFIG", nullptr);
    std::error_code failed;
    std::filesystem::remove_all(dir_, failed);
    EXPECT_FALSE(failed) << failed.message();
  }

  // Writes the configuration and points the library at it; nothing is read
  // until the next viOpenDefaultRM.
  void configure(const std::string& text) {
    std::ofstream(config_path_, std::ios::binary) << text;
    set_environment("KESVISA_CONFIG", config_path_.c_str());
    kesvisa_reset();
  }

  // A configuration with the test instrument, timeouts scaled down, and
  // the extra lines of its section.
  void configure_instrument(const std::string& section_lines = "", const std::string& global_lines = "") {
    configure("timeout_scale = 0.001\n" + global_lines + "[" + test_resource + "]\n" + section_lines);
  }

  std::string trace_path() const { return dir_ + "/trace.txt"; }

  // The resource manager and a session on the test instrument; fails the
  // test when either does not open.
  ViSession open_instrument() {
    ViSession rm = VI_NULL;
    EXPECT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi), VI_SUCCESS);
    return vi;
  }

  static ViStatus write(ViSession vi, const std::string& data, bool end) {
    viSetAttribute(vi, VI_ATTR_SEND_END_EN, end ? VI_TRUE : VI_FALSE);
    ViUInt32 sent = 0;
    return viWrite(vi, reinterpret_cast<const ViByte*>(data.data()), static_cast<ViUInt32>(data.size()), &sent);
  }

  struct reply {
    ViStatus status;
    std::string data;
  };

  static reply read(ViSession vi, ViUInt32 room = 100) {
    std::string buffer(room, '\0');
    ViUInt32 count = 12345;
    const ViStatus status = viRead(vi, reinterpret_cast<ViByte*>(buffer.data()), room, &count);
    buffer.resize(count);
    return {status, buffer};
  }

  // What another session's lock keeps from one without it: the commands
  // that would change the instrument (unlocked and restarted, it would
  // answer 0 to the mode query), and a device clear.
  static void expect_kept_out(ViSession other) {
    EXPECT_EQ(write(other, "XXENTER 6081\n", true), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(write(other, "XXBOOT 2\n", true), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viClear(other), VI_ERROR_RSRC_LOCKED);
  }

  // Reads with room bytes each give these pieces of the reply, and then
  // nothing is left to read.
  static void expect_reads(ViSession vi, ViUInt32 room, const std::vector<reply>& pieces) {
    for (const reply& expected : pieces) {
      const reply r = read(vi, room);
      EXPECT_EQ(r.status, expected.status);
      EXPECT_EQ(r.data, expected.data);
    }
    EXPECT_EQ(read(vi).status, VI_ERROR_TMO) << "a reply was read twice";
  }

  std::string dir_;
  std::string config_path_;
};
