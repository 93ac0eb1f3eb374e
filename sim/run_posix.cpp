#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run.h"

// In the build tree in lib/, installed in kesload's private library folder.
std::string run_standin_library() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::fprintf(stderr, "kessim: cannot find my own executable: %s\n", std::strerror(errno));
    return {};
  }
  std::string dir(self, size_t(n));
  dir.erase(dir.rfind('/') + 1);
  const std::string candidates[] = {dir + "lib/libvisa.so", dir + KESSIM_PRIVATE_LIBDIR "/libvisa.so"};
  for (const std::string& c : candidates) {
    char real[PATH_MAX];
    struct stat st;
    if (::realpath(c.c_str(), real) != nullptr && ::stat(real, &st) == 0 && S_ISREG(st.st_mode)) {
      return real;
    }
  }
  std::fprintf(stderr, "kessim: the stand-in VISA library is neither %s nor %s\n", candidates[0].c_str(),
               candidates[1].c_str());
  return {};
}

bool run_full_path(const char* path, std::string& out) {
  char full[PATH_MAX];
  if (::realpath(path, full) == nullptr) {
    return false;
  }
  out = full;
  return true;
}

void run_set_variable(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

namespace {

// Puts value before a variable's present value.
void prepend(const char* name, const std::string& value) {
  const char* old = std::getenv(name);
  run_set_variable(name, (old != nullptr && *old != '\0') ? value + ":" + old : value);
}

} // namespace

bool run_point_loader(const std::string& library) {
  // Both loader variables split at ':' (LD_PRELOAD at blanks too).
  if (library.find_first_of(": \t\n") != std::string::npos) {
    std::fprintf(stderr, "kessim: %s: the loader cannot be given a path with ':' or blanks\n", library.c_str());
    return false;
  }
  prepend("LD_LIBRARY_PATH", library.substr(0, library.rfind('/')));
  // Preloaded, its VISA functions win even in a program linked against a
  // VISA library of another name.
  prepend("LD_PRELOAD", library);
  return true;
}

int run_program(char** argv) {
  ::execvp(argv[0], argv);
  const int e = errno;
  std::fprintf(stderr, "kessim: %s: %s\n", argv[0], std::strerror(e));
  return e == ENOENT ? run_not_found : run_cannot_run;
}

int run_child(char** argv) {
  const pid_t child = ::fork();
  if (child < 0) {
    std::fprintf(stderr, "kessim: cannot start %s: %s\n", argv[0], std::strerror(errno));
    return run_cannot_run;
  }
  if (child == 0) {
    ::execvp(argv[0], argv);
    const int e = errno;
    std::fprintf(stderr, "kessim: %s: %s\n", argv[0], std::strerror(e));
    std::_Exit(e == ENOENT ? run_not_found : run_cannot_run);
  }
  // An interrupt from the terminal reaches the program too, which decides
  // how its run ends; kessim stays to tell how the replay went.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGTERM, SIG_IGN);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return run_cannot_run;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
