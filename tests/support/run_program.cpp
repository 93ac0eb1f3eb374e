#include "run_program.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// A name in UTF-8, as the tests keep names, whatever the platform's own.
std::filesystem::path utf8_path(const std::string& name) { return std::u8string(name.begin(), name.end()); }

} // namespace

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::string>& env, const std::string& dir) {
  running_program program = start_program(path, args, env, dir);
  return finish_program(program);
}

program_run run_program_merged(const std::string& path, const std::vector<std::string>& args,
                               const std::vector<std::string>& env, const std::string& dir) {
  running_program program = start_program(path, args, env, dir, {.merged = true});
  return finish_program(program);
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    if (read_file(path).find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string read_file(const std::string& path) {
  std::ifstream in(utf8_path(path), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(utf8_path(path), std::ios::binary) << contents;
}
