// Shell command lines for the tests that start kessim and other programs
// through /bin/sh (POSIX only).
#include "sim_test.h"

#include <cstdio>
#include <sys/wait.h>

namespace simtest {

run_result shell(const std::string& command) {
  run_result r{-1, ""};
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run " << command;
    return r;
  }
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    r.out.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

run_result kessim(const std::string& args) { return shell(std::string(KESSIM_PATH) + " " + args + " 2>/dev/null"); }

} // namespace simtest
