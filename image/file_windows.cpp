// Reading the image file on Windows: the name comes in UTF-8, and the file
// is read as bytes (a text-mode read would drop each CR before an LF and end
// at the first 0x1A).
#include "file.h"

#include "utf16_windows.h"

#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// The longest path the Windows API takes, with its terminator.
std::array<wchar_t, 32768> wide_path;

} // namespace

int fw_file_open(const char* path) {
  if (!platform_to_wide(path, wide_path.data(), wide_path.size())) {
    errno = ENOENT; // no file can have that name
    return -1;
  }
  const int fd = _wopen(wide_path.data(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  // A folder opens on Linux and reads as nothing, which the loader finds
  // corrupted; Windows opens no folder, so the null device stands in for it.
  if (fd < 0) {
    const DWORD attributes = GetFileAttributesW(wide_path.data());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return _wopen(L"NUL", _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    }
  }
  return fd;
}

// Windows has no descriptor an interrupt makes readable (stop_fd is -1
// there): a read that stalls waits, and a second Ctrl-C ends the process.
int fw_file_read_all(int fd, uint8_t* buffer, size_t room, int /*stop_fd*/, size_t* length) {
  *length = 0;
  while (*length < room) {
    const size_t left = room - *length;
    const int n = _read(fd, buffer + *length, left > INT_MAX ? INT_MAX : static_cast<unsigned>(left));
    if (n <= 0) {
      break; // the end of the file and a read error both just end it
    }
    *length += static_cast<size_t>(n);
  }
  return fw_file_read;
}

void fw_file_close(int fd) { _close(fd); }
