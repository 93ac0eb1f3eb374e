// Opening a file for reading on Windows: the name comes in UTF-8 and the
// C library's own fopen would read it in the ANSI code page.
#include "platform.h"
#include "utf16_windows.h"

#include <array>
#include <cerrno>
#include <cwchar>

namespace {

// The longest path the Windows API takes, with its terminator.
enum : size_t { wide_path_room = 32768, mode_room = 8 };

std::array<wchar_t, wide_path_room> wide_path;

} // namespace

std::FILE* platform_fopen(const char* path, const char* mode) {
  std::array<wchar_t, mode_room> wide_mode{};
  if (!platform_to_wide(path, wide_path.data(), wide_path.size()) ||
      !platform_to_wide(mode, wide_mode.data(), wide_mode.size())) {
    errno = ENOENT; // no file can have that name
    return nullptr;
  }
  return _wfopen(wide_path.data(), wide_mode.data());
}

// A read of bytes: a file opened in text mode would lose every CR before an
// LF and end at the first 0x1A.
std::FILE* platform_open_read(const char* path) { return platform_fopen(path, "rb"); }
