// The recording's file, clocks and environment on Windows.
#include "recorder.h"

#include "errno_windows.h"
#include "utf16_windows.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <windows.h>

namespace {

enum : size_t { wide_room = 32768 };

std::array<wchar_t, wide_room> wide{};
std::array<char, 4 * 1024> variable{};

void say(DWORD error, char* reason, size_t room) {
  std::snprintf(reason, room, "%s", std::strerror(platform_errno(error)));
}

HANDLE handle_of(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// Appenders take turns under a lock on one byte far beyond any data, as the
// stand-in's trace does: an append-only handle alone does not keep two
// processes' writes apart everywhere (Wine seeks, then writes).
OVERLAPPED turn() {
  OVERLAPPED where{};
  where.Offset = 0xFFFFFFFEU;
  where.OffsetHigh = 0x7FFFFFFFU;
  return where;
}

} // namespace

const char* recorder_variable() {
  const DWORD length = GetEnvironmentVariableW(L"KESLOAD_TRACE", wide.data(), static_cast<DWORD>(wide.size()));
  if (length == 0 || length >= wide.size() || !platform_from_wide(wide.data(), variable.data(), variable.size()) ||
      variable[0] == '\0') {
    return nullptr;
  }
  return variable.data();
}

intptr_t recorder_file_open(const char* path, char* reason, size_t room) {
  if (!platform_to_wide(path, wide.data(), wide.size())) {
    say(ERROR_FILE_NOT_FOUND, reason, room);
    return -1;
  }
  HANDLE h = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.data());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      std::snprintf(reason, room, "%s", std::strerror(EISDIR));
    } else {
      say(error, reason, room);
    }
    return -1;
  }
  // A line cut short (a full disk, a power cut) is not continued by this
  // session's first line.
  LARGE_INTEGER size{};
  if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(size.QuadPart - 1);
    where.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    if (ReadFile(h, &last, 1, &got, &where) && got == 1 && last != '\n') {
      char unused[64];
      recorder_file_append(reinterpret_cast<intptr_t>(h), "\n", 1, unused, sizeof unused);
    }
  }
  return reinterpret_cast<intptr_t>(h);
}

bool recorder_file_append(intptr_t file, const char* data, size_t length, char* reason, size_t room) {
  HANDLE h = handle_of(file);
  OVERLAPPED lock = turn();
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock)) {
    say(GetLastError(), reason, room);
    return false;
  }
  LARGE_INTEGER none{};
  DWORD done = 0;
  const BOOL ok = SetFilePointerEx(h, none, nullptr, FILE_END) &&
                  WriteFile(h, data, static_cast<DWORD>(length), &done, nullptr);
  const DWORD error = GetLastError();
  OVERLAPPED unlock = turn();
  UnlockFileEx(h, 0, 1, 0, &unlock);
  if (!ok) {
    say(error, reason, room);
    return false;
  }
  if (done < length) {
    say(ERROR_DISK_FULL, reason, room);
    return false;
  }
  return true;
}

void recorder_file_close(intptr_t file) { CloseHandle(handle_of(file)); }

int64_t recorder_clock_us() {
  static LARGE_INTEGER frequency{};
  if (frequency.QuadPart == 0) {
    QueryPerformanceFrequency(&frequency);
  }
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<int64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                              now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

int64_t recorder_unix_ms() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const int64_t ticks = static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
  return (ticks - 116444736000000000LL) / 10000; // 100 ns since 1601 to ms since 1970
}

long recorder_process_id() { return static_cast<long>(GetCurrentProcessId()); }
