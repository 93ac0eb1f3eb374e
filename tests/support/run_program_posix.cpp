// Starting programs and temporary folders with POSIX calls.
#include "run_program.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

running_program start_program(const std::string& path, const std::vector<std::string>& args,
                              const std::vector<std::string>& env, const std::string& dir,
                              const launch_options& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out_pipe[1], 1);
    dup2(options.merged ? out_pipe[1] : err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (options.stdout_closed) {
      close(1);
    }
    if (options.all_closed) {
      for (const int fd : {0, 1, 2, devnull, out_pipe[1], err_pipe[1]}) {
        close(fd);
      }
    }
    // The stand-in unless the test says otherwise ("KESLOAD_VISA" to unset).
    setenv("KESLOAD_VISA", STANDIN_VISA_LIBRARY, 0);
    for (const std::string& entry : env) {
      const size_t eq = entry.find('=');
      if (eq == std::string::npos) {
        unsetenv(entry.c_str());
      } else {
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
      }
    }
    alarm(60); // a program that hangs is ended, and the test sees no exit status
    if (!dir.empty() && chdir(dir.c_str()) != 0) {
      _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  return {pid, out_pipe[0], err_pipe[0]};
}

std::string read_available(int fd) {
  std::string text;
  pollfd ready{fd, POLLIN, 0};
  char chunk[4096];
  while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

program_run finish_program(running_program& program) {
  program_run run;
  pollfd fds[2] = {{program.out, POLLIN, 0}, {program.err, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_count = (program.out >= 0 ? 1 : 0) + (program.err >= 0 ? 1 : 0);
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          sinks[i]->append(chunk, static_cast<size_t>(n));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_count;
        }
      }
    }
  }
  int wstatus = 0;
  waitpid(program.pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  run.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  program = {};
  return run;
}

namespace {

// The folders this process made, removed when it ends; a forked child (a
// death test) leaves them to its parent.
struct temp_dirs {
  pid_t owner = getpid();
  std::vector<std::string> paths;
  ~temp_dirs() {
    if (getpid() == owner) {
      for (const std::string& path : paths) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
      }
    }
  }
};

temp_dirs made_dirs;

} // namespace

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kesload-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::abort();
  }
  made_dirs.paths.push_back(pattern);
  return pattern;
}

const bool on_windows = false;

bool make_fifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool running_as_root() { return geteuid() == 0; }

void set_environment(const std::string& name, const char* value) {
  if (value == nullptr) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value, 1);
  }
}
