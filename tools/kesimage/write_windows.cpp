// Writes an image file in place of another, whole or not at all, on Windows.
#include "image_make.h"

#include "image.h"
#include "errno_windows.h"
#include "utf16_windows.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// The longest path the Windows API takes, with its terminator; the temporary
// name adds a dot and six characters, within the longest name a folder holds.
enum : size_t { wide_room = 32768, temp_suffix = 7, temp_attempts = 100, name_max = 255 };

std::array<wchar_t, wide_room> target;
std::array<wchar_t, wide_room + temp_suffix> temp;

bool write_all(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const unsigned chunk = length > 0x40000000 ? 0x40000000 : static_cast<unsigned>(length);
    const int n = _write(fd, bytes, chunk);
    if (n <= 0) {
      if (n == 0) {
        errno = ENOSPC;
      }
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The temporary file while it exists, in UTF-8, for the console handler
// that removes it (files_windows.cpp), and the folder it is made in.
std::array<char, 4 * wide_room> temp_text;
std::array<char, 4 * wide_room> folder;
volatile bool temp_exists = false;

// A new file beside the target, by a name nobody else holds. It may be
// deleted while it is open, so that the console handler can remove it
// whatever this thread is doing.
int open_temp() {
  const DWORD seed = GetCurrentProcessId() ^ GetTickCount();
  for (unsigned attempt = 0; attempt < temp_attempts; ++attempt) {
    const unsigned tag = (seed + attempt * 2654435761U) & 0xFFFFFFU;
    // The image's name, cut short where the suffix would take it past the limit.
    size_t name_at = 0;
    for (size_t i = 0; target[i] != L'\0'; ++i) {
      name_at = target[i] == L'\\' || target[i] == L'/' ? i + 1 : name_at;
    }
    std::swprintf(temp.data(), temp.size(), L"%.*ls%.*ls.%06x", static_cast<int>(name_at), target.data(),
                  static_cast<int>(name_max - temp_suffix), target.data() + name_at, tag);
    if (!platform_from_wide(temp.data(), temp_text.data(), temp_text.size())) {
      errno = ENAMETOOLONG;
      return -1;
    }
    HANDLE file =
        CreateFileW(temp.data(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
      if (fd < 0) {
        CloseHandle(file);
        DeleteFileW(temp.data());
        return -1;
      }
      temp_exists = true;
      return fd;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      errno = platform_errno(error);
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

} // namespace

const char* image_write_folder() { return folder.data(); }

int image_write_file(const char* path, const uint8_t* header, const uint8_t* body, uint32_t body_length) {
  // Written beside the target and moved into place, so that a write that
  // fails (a full disk) never leaves a truncated image behind, nor spoils the
  // one that was there.
  size_t name_at = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    name_at = path[i] == '\\' || path[i] == '/' ? i + 1 : name_at;
  }
  if (name_at == 0) {
    std::snprintf(folder.data(), folder.size(), ".");
  } else {
    std::snprintf(folder.data(), folder.size(), "%.*s", static_cast<int>(name_at > 1 ? name_at - 1 : 1), path);
  }
  if (!platform_to_wide(path, target.data(), target.size())) {
    errno = ENOENT;
    return image_not_written;
  }
  const int fd = open_temp();
  if (fd < 0) {
    return image_folder_refused;
  }
  bool written = write_all(fd, header, fw_header_size) && write_all(fd, body, body_length) && _commit(fd) == 0;
  int error = errno;
  if (_close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written) {
    if (MoveFileExW(temp.data(), target.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      temp_exists = false;
      return image_written;
    }
    error = platform_errno(GetLastError());
  }
  DeleteFileW(temp.data());
  temp_exists = false;
  errno = error;
  return image_not_written;
}

const char* image_temp_file() { return temp_exists ? temp_text.data() : ""; }
