// The trace shared by two processes, the second one made by fork; left out
// on Windows, which has no fork.
#include "visa_fixture.h"

#include <sys/wait.h>

namespace {

TEST_F(VisaTest, ProcessesSharingATraceAppendTheirOwnMarkedLines) {
  // Another process's record is already there; a second process loads the
  // same configuration while the first one writes.
  std::ofstream(trace_path()) << "earlier\n";
  configure("trace = " + trace_path() + "\n[GPIB0::17::INSTR]\n");
  const ViSession vi = open_instrument();
  constexpr int rounds = 2000;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    kesvisa_reset();
    ViSession rm = VI_NULL;
    ViSession own = VI_NULL;
    viOpenDefaultRM(&rm);
    viOpen(rm, test_resource, VI_NO_LOCK, 0, &own);
    for (int i = 0; i < rounds; ++i) {
      viSetAttribute(own, VI_ATTR_TMO_VALUE, 2222);
    }
    _exit(0);
  }
  for (int i = 0; i < rounds; ++i) {
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 1111);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string parent_line = marked("viSetAttribute(2, VI_ATTR_TMO_VALUE, 1111) = 0x00000000 VI_SUCCESS\n");
  const std::string child_line = marked("viSetAttribute(2, VI_ATTR_TMO_VALUE, 2222) = 0x00000000 VI_SUCCESS\n", child);
  const std::string opened =
      "viOpenDefaultRM() = 0x00000000 VI_SUCCESS rm=1\nviOpen(1, \"GPIB0::17::INSTR\", 0, 0) = 0x00000000 VI_SUCCESS vi=2\n";
  std::istringstream in(untimed(read_file(trace_path())));
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "earlier");
  std::string head;
  for (int i = 0; i < 2 && std::getline(in, line); ++i) {
    head += line + "\n";
  }
  EXPECT_EQ(head, marked(opened));
  int from_parent = 0;
  int from_child = 0;
  std::string child_opened;
  while (std::getline(in, line)) {
    line += "\n";
    if (line == parent_line) {
      ++from_parent;
    } else if (line == child_line) {
      ++from_child;
    } else if (child_opened.size() < marked(opened, child).size()) {
      child_opened += line;
    } else {
      ADD_FAILURE() << "a broken or foreign line: " << line;
    }
  }
  EXPECT_EQ(from_parent, rounds);
  EXPECT_EQ(from_child, rounds);
  EXPECT_EQ(child_opened, marked(opened, child));
}

} // namespace
