// Runs a built program as a user would and captures what it shows.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct program_run {
  std::string out; // standard output
  std::string err; // standard error
  int status = -1; // exit status, or -1 when it did not exit normally
  int signal = 0;  // the signal that ended it, if one did
};

// How the program is started: standard input is /dev/null; standard output
// and error go to pipes of their own, or to one shared pipe (merged, as in
// `kesload 2>&1 | tee log`), or standard output is closed (`>&-`).
struct launch_options {
  bool merged = false;
  bool stdout_closed = false;
  bool all_closed = false; // all three standard streams closed
};

// A program running in the background.
struct running_program {
  pid_t pid = -1;
  int out = -1; // read ends of its pipes (-1: none)
  int err = -1;
};

// Starts path with args (argv[1..]) in directory dir (empty: the current
// one), with the environment changed by env entries "NAME=value" (or "NAME"
// alone to remove it).
running_program start_program(const std::string& path, const std::vector<std::string>& args,
                              const std::vector<std::string>& env = {}, const std::string& dir = {},
                              const launch_options& options = {});

// What the program has written to fd so far, without waiting for more.
std::string read_available(int fd);

// Reads everything the program writes until it ends, and its exit.
program_run finish_program(running_program& program);

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}, const std::string& dir = {});

// The same with standard output and standard error on one pipe: out holds
// both streams in the order written.
program_run run_program_merged(const std::string& path, const std::vector<std::string>& args,
                               const std::vector<std::string>& env = {}, const std::string& dir = {});

// Waits until the file at path holds text; false after timeout_ms.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms = 20000);

std::string read_file(const std::string& path);
// The lines of text, without their line feeds.
std::vector<std::string> split_lines(const std::string& text);
void write_file(const std::string& path, const std::string& contents);

// A fresh, empty folder under the test's temporary folder.
std::string make_temp_dir();

// Whether the tests run on Windows, for the few cases only POSIX has (FIFOs,
// signals, the shell, file modes, any bytes in an argument), left out there.
extern const bool on_windows;
// Sets a variable of this process's environment, or removes it (nullptr);
// the programs started after it see the change.
void set_environment(const std::string& name, const char* value);
// Makes a FIFO at path; false where there are none (Windows).
bool make_fifo(const std::string& path);
// Whether the tests run as root, whom no file mode keeps out (never on Windows).
bool running_as_root();
