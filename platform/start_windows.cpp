// The program's start on Windows: the arguments in UTF-8 whatever the
// machine's code page, the console showing UTF-8, and a getopt that reads
// the command line as GNU's does.
#include "platform.h"
#include "utf16_windows.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <io.h>
#include <windows.h>

namespace {

// A command line holds at most 32767 UTF-16 units; each becomes at most
// three bytes of UTF-8 (a pair of them four), plus a terminator per
// argument, and an argument takes at least one unit with its separator.
enum : size_t { line_units = 32768, text_room = 4 * line_units, arguments_max = line_units };

std::array<char, text_room> argument_text;
std::array<char*, arguments_max + 1> argument_list;

UINT console_code_page = 0;

void restore_console() { SetConsoleOutputCP(console_code_page); }

// A console event that ends the process (Ctrl-C where nothing else takes
// it, a second Ctrl-C during an update) skips the exit handlers: the code
// page goes back here first. The handlers set later are asked before it.
BOOL WINAPI restore_before_ending(DWORD /*event*/) {
  restore_console();
  return FALSE;
}

// The arguments as the C library would have split them, each in UTF-8; false
// (and argc, argv untouched) when they cannot be had.
bool utf8_arguments(int* argc, char*** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return false;
  }
  size_t used = 0;
  bool whole = count >= 0 && static_cast<size_t>(count) <= arguments_max;
  for (int i = 0; whole && i < count; ++i) {
    char* text = argument_text.data() + used;
    whole = platform_from_wide(wide[i], text, argument_text.size() - used);
    if (whole) {
      argument_list[static_cast<size_t>(i)] = text;
      used += std::strlen(text) + 1;
    }
  }
  LocalFree(wide);
  if (!whole) {
    return false;
  }
  argument_list[static_cast<size_t>(count)] = nullptr;
  *argc = count;
  *argv = argument_list.data();
  return true;
}

} // namespace

void platform_start(int* argc, char*** argv) {
  // Kept as the C library gave them when they cannot be read (they hold no
  // text beyond the code page's then).
  utf8_arguments(argc, argv);
  // The messages name files in UTF-8; the console is given back its own code
  // page when the program ends.
  console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0 && console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(restore_console);
    SetConsoleCtrlHandler(restore_before_ending, TRUE);
  }
  // The machine's VISA is loaded by its full path, but the libraries it
  // loads by name would be looked for in the current folder too (a download
  // folder, a USB stick with images): not there.
  SetDllDirectoryW(L"");
}

bool platform_open_missing_streams() {
  bool output_missing = false;
  for (int fd = 0; fd <= 2; ++fd) {
    const intptr_t handle = _get_osfhandle(fd);
    if (handle != -1 && handle != -2 && handle != 0) {
      continue;
    }
    output_missing = output_missing || fd == 1;
    const int nul = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (nul < 0 || (nul != fd && _dup2(nul, fd) != 0)) {
      std::_Exit(1); // no stream to report it on
    }
    if (nul != fd) {
      _close(nul);
    }
  }
  return output_missing;
}

// Windows has no signal for it: the write just fails.
void platform_ignore_broken_pipe() {}

const char* platform_name() { return "windows-x64"; }

// MinGW's plain getopt stops at the first operand; its getopt_long reads as
// GNU's getopt does, POSIXLY_CORRECT included.
int platform_getopt(int argc, char** argv, const char* options) {
  static const option no_long_options[] = {{nullptr, 0, nullptr, 0}};
  return getopt_long(argc, argv, options, no_long_options, nullptr);
}
