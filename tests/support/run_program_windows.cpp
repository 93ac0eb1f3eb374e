// Starting programs and temporary folders with the Windows API. A program's
// standard output and error are text: each line ends in CR LF, which is read
// back as LF so that the tests compare the same text on every platform.
#include "run_program.h"

#include <quote_windows.h> // the stand-in kit's quoting, shared with kessim run

#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <map>
#include <mutex>
#include <thread>
#include <windows.h>

namespace {

// false when text is not UTF-8: such an argument cannot reach a program here.
bool to_wide(const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) {
    return true;
  }
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
  if (units <= 0) {
    return false;
  }
  wide.resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), units);
  return true;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring entry_name(const std::wstring& entry) {
  // Entries such as "=C:=C:\folder" are the drives' own folders.
  const size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq);
}

// This process's environment with the changes made, as CreateProcessW takes
// it: "NAME=value" entries, each ended, and one more end.
bool changed_environment(const std::vector<std::string>& changes, std::wstring& block) {
  std::vector<std::wstring> entries;
  if (wchar_t* own = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = own; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      entries.emplace_back(entry);
    }
    FreeEnvironmentStringsW(own);
  }
  const auto set = [&entries](const std::wstring& name, const std::wstring* value, bool replace) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (same_name(entry_name(*it), name)) {
        if (!replace) {
          return;
        }
        it = entries.erase(it);
        break;
      }
    }
    if (value != nullptr) {
      entries.push_back(name + L"=" + *value);
    }
  };
  // The stand-in unless the test says otherwise ("KESLOAD_VISA" to unset).
  std::wstring standin;
  to_wide(STANDIN_VISA_LIBRARY, standin);
  set(L"KESLOAD_VISA", &standin, false);
  for (const std::string& change : changes) {
    std::wstring wide;
    if (!to_wide(change, wide)) {
      return false;
    }
    const size_t eq = wide.find(L'=');
    if (eq == std::wstring::npos) {
      set(wide, nullptr, true);
    } else {
      const std::wstring value = wide.substr(eq + 1);
      set(wide.substr(0, eq), &value, true);
    }
  }
  block.clear();
  for (const std::wstring& entry : entries) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return true;
}

// The processes started and not yet finished, by id.
std::mutex started_lock;
std::map<pid_t, HANDLE> started;

// What a program that could not be started shows: the status a POSIX child
// gives when its exec (127) or its change of folder (126) fails.
struct start_failure {
  int status;
  std::string message;
};
std::map<pid_t, start_failure> failures;
pid_t next_failure = -2;

running_program failed_start(int status, const std::string& message) {
  const std::lock_guard<std::mutex> hold(started_lock);
  const pid_t id = next_failure--;
  failures[id] = {status, message};
  return {id, -1, -1};
}

HANDLE inheritable_null() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     OPEN_EXISTING, 0, nullptr);
}

// A pipe whose write end the program inherits; the read end stays here.
bool make_pipe(HANDLE& read_end, HANDLE& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    return false;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Text as written in text mode back to the text the program printed: CR LF
// is LF again. A line feed without its CR, which a program on Windows
// should not write, is shown as such.
std::string text_read_back(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    }
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
      text += "[LF without CR]";
    }
    text += bytes[i];
  }
  return text;
}

void read_all(HANDLE pipe, std::string& sink) {
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    sink.append(chunk, n);
  }
}

// A program that hangs is ended, and the test sees no exit status.
constexpr DWORD hang_limit_ms = 60000;

} // namespace

running_program start_program(const std::string& path, const std::vector<std::string>& args,
                              const std::vector<std::string>& env, const std::string& dir,
                              const launch_options& options) {
  std::wstring line;
  std::wstring wide;
  if (!to_wide(path, wide)) {
    return failed_start(127, "run_program: the program's name is not UTF-8\n");
  }
  const std::wstring program = wide;
  line = windows_quoted(wide);
  for (const std::string& arg : args) {
    if (!to_wide(arg, wide)) {
      return failed_start(127, "run_program: an argument is not UTF-8, which Windows cannot pass on\n");
    }
    line += L' ';
    line += windows_quoted(wide);
  }
  std::wstring environment;
  std::wstring folder;
  if (!changed_environment(env, environment) || !to_wide(dir, folder)) {
    return failed_start(127, "run_program: the environment or folder is not UTF-8\n");
  }

  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!make_pipe(out_read, out_write)) {
    return failed_start(127, "run_program: no pipe\n");
  }
  if (!make_pipe(err_read, err_write)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    return failed_start(127, "run_program: no pipe\n");
  }
  const HANDLE null_device = inheritable_null();

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device;
  startup.hStdOutput = options.stdout_closed ? nullptr : out_write;
  startup.hStdError = options.merged ? out_write : err_write;
  if (options.all_closed) {
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nullptr;
  }
  PROCESS_INFORMATION process{};
  BOOL created = FALSE;
  DWORD error = 0;
  // Wine now and then fails a start with an internal error (one in some
  // hundreds in the sweep); a second try starts the program.
  for (int attempt = 0; attempt < 3 && !created; ++attempt) {
    created = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                             environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    error = created ? 0 : GetLastError();
    if (error != ERROR_INTERNAL_ERROR) {
      break;
    }
    Sleep(100);
  }
  for (const HANDLE handle : {out_write, err_write, null_device}) {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  if (!created) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    const bool bad_folder = error == ERROR_DIRECTORY || (!folder.empty() && !std::filesystem::is_directory(folder));
    return failed_start(bad_folder ? 126 : 127,
                        "run_program: can't start " + path + ": error " + std::to_string(error) + "\n");
  }
  CloseHandle(process.hThread);
  const pid_t id = static_cast<pid_t>(process.dwProcessId);
  {
    const std::lock_guard<std::mutex> hold(started_lock);
    started[id] = process.hProcess;
  }
  return {id, _open_osfhandle(reinterpret_cast<intptr_t>(out_read), _O_RDONLY | _O_BINARY),
          _open_osfhandle(reinterpret_cast<intptr_t>(err_read), _O_RDONLY | _O_BINARY)};
}

std::string read_available(int fd) {
  std::string bytes;
  const HANDLE pipe = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD waiting = 0;
  char chunk[4096];
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
    DWORD n = 0;
    if (!ReadFile(pipe, chunk, waiting < sizeof chunk ? waiting : sizeof chunk, &n, nullptr) || n == 0) {
      break;
    }
    bytes.append(chunk, n);
  }
  return text_read_back(bytes);
}

program_run finish_program(running_program& program) {
  program_run run;
  HANDLE process = nullptr;
  {
    const std::lock_guard<std::mutex> hold(started_lock);
    if (const auto failure = failures.find(program.pid); failure != failures.end()) {
      run.status = failure->second.status;
      run.err = failure->second.message;
      failures.erase(failure);
      program = {};
      return run;
    }
    if (const auto found = started.find(program.pid); found != started.end()) {
      process = found->second;
      started.erase(found);
    }
  }
  std::string out;
  std::string err;
  std::thread out_reader;
  std::thread err_reader;
  if (program.out >= 0) {
    out_reader = std::thread(read_all, reinterpret_cast<HANDLE>(_get_osfhandle(program.out)), std::ref(out));
  }
  if (program.err >= 0) {
    err_reader = std::thread(read_all, reinterpret_cast<HANDLE>(_get_osfhandle(program.err)), std::ref(err));
  }
  if (process != nullptr && WaitForSingleObject(process, hang_limit_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  } else if (process != nullptr) {
    DWORD code = 0;
    // An exception's code (0xC0000005 and the like) is no exit status.
    if (GetExitCodeProcess(process, &code) && code < 0xC0000000) {
      run.status = static_cast<int>(code);
    }
  }
  if (out_reader.joinable()) {
    out_reader.join();
    _close(program.out);
  }
  if (err_reader.joinable()) {
    err_reader.join();
    _close(program.err);
  }
  if (process != nullptr) {
    CloseHandle(process);
  }
  run.out = text_read_back(out);
  run.err = text_read_back(err);
  program = {};
  return run;
}

namespace {

// The folders this process made, removed when it ends.
struct temp_dirs {
  std::vector<std::filesystem::path> paths;
  ~temp_dirs() {
    for (const std::filesystem::path& path : paths) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
};

temp_dirs made_dirs;

} // namespace

std::string make_temp_dir() {
  std::error_code failed;
  const std::filesystem::path base = std::filesystem::temp_directory_path(failed);
  if (failed) {
    std::abort();
  }
  for (unsigned tries = 0; tries < 1000; ++tries) {
    const std::filesystem::path path = base / ("kesload-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                               std::to_string(GetTickCount64()) + "-" + std::to_string(tries));
    if (std::filesystem::create_directory(path, failed)) {
      made_dirs.paths.push_back(path);
      const std::u8string name = path.generic_u8string();
      return {name.begin(), name.end()};
    }
  }
  std::abort();
}

const bool on_windows = true;

bool make_fifo(const std::string& /*path*/) { return false; }

bool running_as_root() { return false; }

// The C library's environment, which getenv reads, and the process's, which
// programs started later inherit, both; an empty value removes the variable.
void set_environment(const std::string& name, const char* value) {
  _putenv_s(name.c_str(), value != nullptr ? value : "");
}
