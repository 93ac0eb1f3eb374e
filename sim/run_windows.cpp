#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <windows.h>

#include "quote_windows.h"
#include "run.h"
#include "utf16_windows.h"

namespace {

std::string from_wide(const wchar_t* wide) {
  std::string text(4 * std::wcslen(wide) + 1, '\0');
  if (!platform_from_wide(wide, text.data(), text.size())) {
    return {};
  }
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::wstring to_wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  if (!platform_to_wide(text.c_str(), wide.data(), wide.size())) {
    return {};
  }
  wide.resize(std::wcslen(wide.c_str()));
  return wide;
}

bool regular_file(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Ctrl-C and Ctrl-Break reach the program as well, which decides how the run
// ends; kessim waits for it and passes its status on.
BOOL WINAPI keep_waiting(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE; }

} // namespace

// In the rehearsal kit beside kessim.exe; in the build tree in lib\.
std::string run_standin_library() {
  std::array<wchar_t, 32768> self{};
  const DWORD n = GetModuleFileNameW(nullptr, self.data(), DWORD(self.size()));
  if (n == 0 || n >= self.size()) {
    std::fprintf(stderr, "kessim: cannot find my own executable\n");
    return {};
  }
  std::wstring dir(self.data(), n);
  dir.erase(dir.find_last_of(L"\\/") + 1);
  const std::wstring candidates[] = {dir + L"visa64.dll", dir + L"lib\\visa64.dll"};
  for (const std::wstring& c : candidates) {
    if (regular_file(c)) {
      return from_wide(c.c_str());
    }
  }
  std::fprintf(stderr, "kessim: the stand-in VISA library is neither %s nor %s\n", from_wide(candidates[0].c_str()).c_str(),
               from_wide(candidates[1].c_str()).c_str());
  return {};
}

bool run_full_path(const char* path, std::string& out) {
  const std::wstring wide = to_wide(path);
  std::array<wchar_t, 32768> full{};
  const DWORD n = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size() || GetFileAttributesW(full.data()) == INVALID_FILE_ATTRIBUTES) {
    errno = ENOENT;
    return false;
  }
  out = from_wide(full.data());
  return !out.empty();
}

void run_set_variable(const char* name, const std::string& value) {
  SetEnvironmentVariableW(to_wide(name).c_str(), to_wide(value).c_str());
}

// KESLOAD_VISA names the library by its full path: nothing else to do.
bool run_point_loader(const std::string& /*library*/) { return true; }

int run_program(char** argv) {
  std::wstring line;
  for (char** argument = argv; *argument != nullptr; ++argument) {
    if (!line.empty()) {
      line += L' ';
    }
    line += windows_quoted(to_wide(*argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  SetConsoleCtrlHandler(keep_waiting, TRUE);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
    const DWORD e = GetLastError();
    const bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    std::fprintf(stderr, "kessim: %s: %s\n", argv[0], std::strerror(missing ? ENOENT : EACCES));
    return missing ? run_not_found : run_cannot_run;
  }
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hProcess);
  return int(status);
}

// run_program waits for its child already.
int run_child(char** argv) { return run_program(argv); }
