// What kesimage asks of the file system, on Windows: names in UTF-8, files
// read as bytes, and the temporary image removed when the console ends the
// run.
#include "files.h"

#include "image_make.h"
#include "utf16_windows.h"

#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

// The longest path the Windows API takes, with its terminator.
enum : size_t { wide_room = 32768 };

std::array<wchar_t, wide_room> wide_path;
std::array<wchar_t, wide_room> wide_other;

// What an existing file is, without following a symbolic link (a reparse
// point); false when it is not there or cannot be asked. link: whether it
// is a link to another file or folder. Other reparse points (a cloud
// file's placeholder, a deduplicated file) are files in their own right.
bool describe(const wchar_t* path, BY_HANDLE_FILE_INFORMATION* about, DWORD* type, bool* link, bool follow = false) {
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT) | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  *type = GetFileType(file);
  const bool known = GetFileInformationByHandle(file, about) != 0;
  *link = known && (about->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (*link && GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    *link = tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT;
  }
  CloseHandle(file);
  return known;
}

// Ends the run as Windows would, once the temporary file is gone. Runs on a
// thread of its own; the file may be deleted while it is open.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  const char* temp = image_temp_file();
  static std::array<wchar_t, wide_room> wide_temp;
  if (temp[0] != '\0' && platform_to_wide(temp, wide_temp.data(), wide_temp.size())) {
    DeleteFileW(wide_temp.data());
  }
  return FALSE;
}

} // namespace

int files_read_body(const char* path, uint8_t* buffer, size_t room, size_t* length) {
  *length = 0;
  if (!platform_to_wide(path, wide_path.data(), wide_path.size())) {
    errno = ENOENT; // no file can have that name
    return body_cannot_open;
  }
  const int fd = _wopen(wide_path.data(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    // A folder cannot be opened as a file on Windows; it is no body either way.
    const DWORD attributes = GetFileAttributesW(wide_path.data());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? body_not_regular : body_cannot_open;
  }
  struct _stat64 about {};
  if (_fstat64(fd, &about) != 0 || (about.st_mode & _S_IFMT) != _S_IFREG) {
    _close(fd);
    return body_not_regular;
  }
  int result = body_read;
  while (*length < room) {
    const size_t left = room - *length;
    const int n = _read(fd, buffer + *length, left > INT_MAX ? INT_MAX : static_cast<unsigned>(left));
    if (n < 0) {
      result = body_read_failed;
    }
    if (n <= 0) {
      break;
    }
    *length += static_cast<size_t>(n);
  }
  _close(fd);
  return result;
}

int files_check_output(const char* image_path, const char* body_path) {
  BY_HANDLE_FILE_INFORMATION output{};
  DWORD type = FILE_TYPE_UNKNOWN;
  bool link = false;
  if (!platform_to_wide(image_path, wide_path.data(), wide_path.size()) ||
      !describe(wide_path.data(), &output, &type, &link)) {
    // A device (NUL, COM1) answers no file information.
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE ? output_not_regular : output_replaceable;
  }
  // The body by another name, a link to it too, is told as the body.
  BY_HANDLE_FILE_INFORMATION target{};
  BY_HANDLE_FILE_INFORMATION body{};
  DWORD other_type = FILE_TYPE_UNKNOWN;
  bool other_link = false;
  if (describe(wide_path.data(), &target, &other_type, &other_link, true) &&
      platform_to_wide(body_path, wide_other.data(), wide_other.size()) &&
      describe(wide_other.data(), &body, &other_type, &other_link, true) &&
      body.dwVolumeSerialNumber == target.dwVolumeSerialNumber && body.nFileIndexHigh == target.nFileIndexHigh &&
      body.nFileIndexLow == target.nFileIndexLow) {
    return output_is_body;
  }
  if (link) {
    return output_symbolic_link;
  }
  if (type != FILE_TYPE_DISK || (output.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return output_not_regular;
  }
  return output_replaceable;
}

void files_clean_up_on_signals() { SetConsoleCtrlHandler(on_console_event, TRUE); }
