#include <array>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "files.h"
#include "errno_windows.h"
#include "utf16_windows.h"

namespace ksim {

namespace {

using wide_path = std::array<wchar_t, 4096>;

// Sets errno from the last Windows error, for the callers' messages.
void set_errno() { errno = platform_errno(GetLastError()); }

bool widen(const char* path, wide_path& wide) {
  if (!platform_to_wide(path, wide.data(), wide.size())) {
    errno = ENOENT;
    return false;
  }
  return true;
}

// Shared with every other process for reading and writing: another run on
// the same instrument, kessim, or a test that cuts the file short. An
// existing file is not shared for deleting: while a state is open, Windows
// refuses to remove, rename or replace it, so its name keeps naming it. A
// trace or a new file may go while open, as on Linux.
constexpr DWORD share_read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD share_all = share_read_write | FILE_SHARE_DELETE;

int open_handle(const char* path, DWORD access, DWORD disposition, DWORD share = share_all) {
  wide_path wide;
  if (!widen(path, wide)) {
    return -1;
  }
  HANDLE h = CreateFileW(wide.data(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    set_errno();
    // Windows opens no folder as a file; say what POSIX says.
    const DWORD attributes = GetFileAttributesW(wide.data());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      errno = EISDIR;
    }
    return -1;
  }
  // Binary: the C library never sees the bytes, every access below goes to
  // the handle, but its descriptor keeps the handle with the callers' code.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
  }
  return fd;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

long transfer_result(BOOL ok, DWORD done) {
  if (!ok) {
    if (GetLastError() == ERROR_HANDLE_EOF) {
      return 0;
    }
    set_errno();
    return -1;
  }
  return long(done);
}

DWORD clamp(size_t length) { return length > 0x40000000 ? 0x40000000 : DWORD(length); }

OVERLAPPED at_offset(uint64_t at) {
  OVERLAPPED where{};
  where.Offset = DWORD(at);
  where.OffsetHigh = DWORD(at >> 32);
  return where;
}

} // namespace

int file_open(const char* path, bool writable) {
  return open_handle(path, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, OPEN_EXISTING, share_read_write);
}

int file_create_new(const char* path) { return open_handle(path, GENERIC_WRITE, CREATE_NEW); }

int file_open_append(const char* path) { return open_handle(path, GENERIC_WRITE, OPEN_ALWAYS); }

bool file_regular(int fd, uint64_t& size) {
  HANDLE h = handle_of(fd);
  BY_HANDLE_FILE_INFORMATION about{};
  if (GetFileType(h) != FILE_TYPE_DISK) {
    return false;
  }
  if (!GetFileInformationByHandle(h, &about)) {
    set_errno();
    return false;
  }
  size = uint64_t(about.nFileSizeHigh) << 32 | about.nFileSizeLow;
  return (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

long file_read_at(int fd, void* out, size_t length, uint64_t at) {
  OVERLAPPED where = at_offset(at);
  DWORD done = 0;
  const BOOL ok = ReadFile(handle_of(fd), out, clamp(length), &done, &where);
  return transfer_result(ok, done);
}

long file_write_at(int fd, const void* data, size_t length, uint64_t at) {
  OVERLAPPED where = at_offset(at);
  DWORD done = 0;
  const BOOL ok = WriteFile(handle_of(fd), data, clamp(length), &done, &where);
  return transfer_result(ok, done);
}

long file_write(int fd, const void* data, size_t length) {
  DWORD done = 0;
  const BOOL ok = WriteFile(handle_of(fd), data, clamp(length), &done, nullptr);
  return transfer_result(ok, done);
}

// Appenders take turns under a lock on one byte far beyond any data: an
// append-only handle alone does not keep two processes' writes apart
// everywhere (Wine seeks, then writes).
long file_append(int fd, const void* data, size_t length) {
  HANDLE h = handle_of(fd);
  OVERLAPPED turn = at_offset(0x7FFFFFFFFFFFFFFEULL);
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn)) {
    set_errno();
    return -1;
  }
  LARGE_INTEGER none{};
  DWORD done = 0;
  const BOOL ok = SetFilePointerEx(h, none, nullptr, FILE_END) && WriteFile(h, data, clamp(length), &done, nullptr);
  const long result = transfer_result(ok, done);
  OVERLAPPED again = at_offset(0x7FFFFFFFFFFFFFFEULL);
  UnlockFileEx(h, 0, 1, 0, &again);
  return result;
}

// Setting the end allocates the space on Windows's file systems, so a full
// disk fails here.
int file_reserve(int fd, uint64_t size) {
  HANDLE h = handle_of(fd);
  LARGE_INTEGER end{};
  end.QuadPart = LONGLONG(size);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h) ||
      !SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) {
    set_errno();
    return errno;
  }
  return 0;
}

int file_sync(int fd) {
  if (!FlushFileBuffers(handle_of(fd))) {
    set_errno();
    return -1;
  }
  return 0;
}

int file_close(int fd) { return _close(fd); }

// Renaming without MOVEFILE_REPLACE_EXISTING never replaces what is there.
int file_publish(const char* temp, const char* path) {
  wide_path from;
  wide_path to;
  if (!widen(temp, from) || !widen(path, to)) {
    return ENOENT;
  }
  if (MoveFileExW(from.data(), to.data(), MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  set_errno();
  const int e = errno;
  DeleteFileW(from.data());
  return e;
}

bool file_exists(const char* path) {
  wide_path wide;
  return widen(path, wide) && GetFileAttributesW(wide.data()) != INVALID_FILE_ATTRIBUTES;
}

void file_remove(const char* path) {
  wide_path wide;
  if (widen(path, wide)) {
    DeleteFileW(wide.data());
  }
}

// Nothing to watch: an open state's name cannot change (see share_read_write).
int file_watch_open(const char*) { return -1; }

void file_watch_close(int) {}

file_name file_name_now(int, int, const char*) { return file_name::same; }

namespace {

// The lock, one byte far beyond any data, and a gate beside it. Windows
// cannot ask about a lock without trying to take it, so every try and every
// question passes the gate first: a question never makes another process's
// try fail. Locks belong to the handle (one per opening) and go with it when
// the process ends.
constexpr uint64_t lock_offset = uint64_t(1) << 62;
constexpr uint64_t gate_offset = lock_offset + 1;

bool lock_byte(HANDLE h, uint64_t at, DWORD flags) {
  OVERLAPPED where = at_offset(at);
  return LockFileEx(h, flags, 0, 1, 0, &where) != 0;
}

void unlock_byte(HANDLE h, uint64_t at) {
  OVERLAPPED where = at_offset(at);
  UnlockFileEx(h, 0, 1, 0, &where);
}

// Tries the lock within the gate; keeps it when wanted and taken.
file_lock try_within_gate(int fd, bool keep) {
  HANDLE h = handle_of(fd);
  if (!lock_byte(h, gate_offset, LOCKFILE_EXCLUSIVE_LOCK)) {
    set_errno();
    return file_lock::failed;
  }
  file_lock result = file_lock::taken;
  if (!lock_byte(h, lock_offset, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
    const DWORD error = GetLastError();
    result = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? file_lock::busy : file_lock::failed;
    errno = platform_errno(error);
  } else if (!keep) {
    unlock_byte(h, lock_offset);
  }
  unlock_byte(h, gate_offset);
  return result;
}

} // namespace

file_lock file_lock_try(int fd) { return try_within_gate(fd, true); }

void file_lock_release(int fd) { unlock_byte(handle_of(fd), lock_offset); }

int file_lock_held_elsewhere(int fd) {
  switch (try_within_gate(fd, false)) {
  case file_lock::taken:
    return 0;
  case file_lock::busy:
    return 1;
  default:
    return -1;
  }
}

long process_id() { return long(GetCurrentProcessId()); }

// From Windows's own UTF-16 environment: the C library's copy holds only
// what the code page can say (a folder named in another script would not
// be found).
const char* process_variable(const char* name) {
  static wide_path wide_name;
  static wide_path wide_value;
  static std::array<char, 4 * 4096> value;
  if (!platform_to_wide(name, wide_name.data(), wide_name.size())) {
    return nullptr;
  }
  const DWORD length = GetEnvironmentVariableW(wide_name.data(), wide_value.data(), DWORD(wide_value.size()));
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
    return nullptr;
  }
  if (length >= wide_value.size() || !platform_from_wide(wide_value.data(), value.data(), value.size())) {
    return nullptr;
  }
  return value.data();
}

// "C:\...", "C:/...", "\\server\..." and "\..." all name their file without
// the current folder.
bool path_absolute(std::string_view path) {
  if (!path.empty() && (path.front() == '/' || path.front() == '\\')) {
    return true;
  }
  return path.size() >= 2 && path[1] == ':';
}

size_t path_folder_length(std::string_view path) {
  const size_t separator = path.find_last_of("/\\");
  if (separator != std::string_view::npos) {
    return separator + 1;
  }
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

} // namespace ksim
