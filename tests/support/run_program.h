// Runs a built program as a user would and captures what it shows.
#pragma once

#include <string>
#include <vector>

struct program_run {
  std::string out; // standard output
  std::string err; // standard error
  int status = -1; // exit status, or -1 when it did not exit normally
};

// Runs path with args (argv[1..]) in directory dir (empty: the current one),
// with the environment changed by env entries "NAME=value" (or "NAME" alone
// to remove it). Standard input is /dev/null.
program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}, const std::string& dir = {});

// The same with standard output and standard error on one pipe, as in
// `kesload 2>&1 | tee log`: out holds both streams in the order written.
program_run run_program_merged(const std::string& path, const std::vector<std::string>& args,
                               const std::vector<std::string>& env = {}, const std::string& dir = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

// A fresh, empty folder under the test's temporary folder.
std::string make_temp_dir();
