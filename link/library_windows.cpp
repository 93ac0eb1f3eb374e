// Finding and loading the machine's VISA library on Windows: every VISA
// installs visa64.dll in the system folder.
#include "link.h"

#include "utf16_windows.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <windows.h>

namespace {

// The longest path the Windows API takes, with its terminator.
enum : size_t { wide_room = 32768 };

std::array<wchar_t, wide_room> wide_name{};
std::array<wchar_t, wide_room> wide_path{};
std::array<char, gpib_path_room> override_name{};

bool is_bare_name(const char* candidate) { return std::strpbrk(candidate, "\\/:") == nullptr; }

// The system's words for error, in UTF-8, without the line end it carries;
// a "%1" in them (some name the file that way) names candidate.
void system_message(DWORD error, const char* candidate, char* text, size_t room) {
  std::array<wchar_t, gpib_reason_room> message{};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                      message.data(), static_cast<DWORD>(message.size()), nullptr);
  if (length == 0 || !platform_from_wide(message.data(), text, room)) {
    std::snprintf(text, room, "error %lu", static_cast<unsigned long>(error));
    return;
  }
  for (size_t end = std::strlen(text); end > 0 && std::strchr("\r\n ", text[end - 1]) != nullptr; --end) {
    text[end - 1] = '\0';
  }
  if (char* insert = std::strstr(text, "%1"); insert != nullptr) {
    std::array<char, gpib_reason_room> rest{};
    std::snprintf(rest.data(), rest.size(), "%s", insert + 2);
    *insert = '\0';
    const size_t used = std::strlen(text);
    std::snprintf(insert, room - used, "%s%s", candidate, rest.data());
  }
}

} // namespace

// From the environment as Windows keeps it, in UTF-16: the C library's copy
// holds only what the code page can say.
const char* platform_visa_override() {
  const DWORD length = GetEnvironmentVariableW(L"KESLOAD_VISA", wide_name.data(), static_cast<DWORD>(wide_name.size()));
  if (length == 0 || length >= wide_name.size() ||
      !platform_from_wide(wide_name.data(), override_name.data(), override_name.size())) {
    return nullptr;
  }
  return override_name.data();
}

// Only the system folder's own, by its full path: a bare visa64.dll would
// take one lying beside the program (a rehearsal kit's stand-in) first.
void platform_visa_search(bool (*try_one)(const char* candidate, void* context), void* context) {
  constexpr wchar_t file[] = L"\\visa64.dll";
  const UINT length = GetSystemDirectoryW(wide_path.data(), static_cast<UINT>(wide_path.size()));
  std::array<char, gpib_path_room> path{};
  if (length == 0 || length + std::size(file) > wide_path.size()) {
    return;
  }
  std::wcscpy(wide_path.data() + length, file);
  if (platform_from_wide(wide_path.data(), path.data(), path.size())) {
    try_one(path.data(), context);
  }
}

namespace {

// The machine a DLL was built for, from its PE header; 0 when the file is
// no PE file (Windows then says what it is).
WORD pe_machine(HANDLE file) {
  IMAGE_DOS_HEADER dos{};
  DWORD got = 0;
  if (!ReadFile(file, &dos, sizeof dos, &got, nullptr) || got != sizeof dos || dos.e_magic != IMAGE_DOS_SIGNATURE ||
      SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return 0;
  }
  DWORD signature = 0;
  IMAGE_FILE_HEADER header{};
  if (!ReadFile(file, &signature, sizeof signature, &got, nullptr) || got != sizeof signature ||
      signature != IMAGE_NT_SIGNATURE || !ReadFile(file, &header, sizeof header, &got, nullptr) ||
      got != sizeof header) {
    return 0;
  }
  return header.Machine;
}

// This program's own machine, from its own header in memory.
WORD own_machine() {
  const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->FileHeader.Machine;
}

const char* machine_name(WORD machine) {
  switch (machine) {
  case IMAGE_FILE_MACHINE_I386:
    return "x86, a 32-bit DLL";
  case IMAGE_FILE_MACHINE_AMD64:
    return "x64";
  case IMAGE_FILE_MACHINE_ARM64:
    return "arm64";
  case IMAGE_FILE_MACHINE_ARMNT:
    return "arm";
  default:
    return "unknown machine";
  }
}

// What the file at name is, before the loader opens it: a folder, a device
// or a pipe is no library, and a DLL for another machine is told as such.
bool file_refused(const wchar_t* name, const char* candidate, char* reason, size_t room) {
  HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
      std::snprintf(reason, room, "missing");
    } else {
      system_message(error, candidate, reason, room);
    }
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
                       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  const WORD machine = regular ? pe_machine(file) : 0;
  CloseHandle(file);
  if (!regular) {
    std::snprintf(reason, room, "not a regular file");
    return true;
  }
  if (machine != 0 && machine != own_machine()) {
    std::snprintf(reason, room, "built for another architecture (%s)", machine_name(machine));
    return true;
  }
  return false;
}

} // namespace

void* platform_library_load(const char* candidate, gpib_load_note* note) {
  char* reason = note->reason.data();
  const size_t room = note->reason.size();
  if (!platform_to_wide(candidate, wide_name.data(), wide_name.size())) {
    std::snprintf(reason, room, "missing");
    return nullptr;
  }
  const bool bare = is_bare_name(candidate);
  DWORD flags = 0;
  const wchar_t* name = wide_name.data();
  if (!bare) {
    // A path names a file that is there or missing; its own DLLs are then
    // looked for beside it first, which needs the path whole.
    const DWORD length = GetFullPathNameW(name, static_cast<DWORD>(wide_path.size()), wide_path.data(), nullptr);
    if (length > 0 && length < wide_path.size()) {
      name = wide_path.data();
      flags = LOAD_WITH_ALTERED_SEARCH_PATH;
    }
    const int n = std::snprintf(note->path.data(), note->path.size(), "%s", candidate);
    note->path_too_long = n < 0 || static_cast<size_t>(n) >= note->path.size();
    if (file_refused(name, candidate, reason, room)) {
      return nullptr;
    }
    if (note->path_too_long) {
      std::snprintf(reason, room, "%s", gpib_path_too_long);
      return nullptr;
    }
  }
  // No dialog box for a library that cannot be loaded: the refusal is
  // reported in the message.
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  HMODULE library = LoadLibraryExW(name, nullptr, flags);
  const DWORD error = GetLastError();
  SetThreadErrorMode(old_mode, nullptr);
  if (library != nullptr) {
    // The file Windows took, as it names it.
    const DWORD length = GetModuleFileNameW(library, wide_path.data(), static_cast<DWORD>(wide_path.size()));
    if (length > 0 && length < wide_path.size()) {
      note->path_too_long = !platform_from_wide(wide_path.data(), note->path.data(), note->path.size());
      note->searched = bare;
    }
    return library;
  }
  // The same error tells a library that is not there and one that needs
  // another that is not there; read as data, found the same way, it
  // loads without the libraries it needs.
  if (error == ERROR_MOD_NOT_FOUND) {
    HMODULE data = LoadLibraryExW(name, nullptr, flags | LOAD_LIBRARY_AS_DATAFILE);
    std::snprintf(reason, room, data != nullptr ? "not loadable (a library it needs is missing)" : "missing");
    if (data != nullptr) {
      FreeLibrary(data);
    }
    return nullptr;
  }
  // A bare name the search found as something that is no DLL for this
  // program: told as what it is, as for a path.
  if (bare && SearchPathW(nullptr, name, nullptr, static_cast<DWORD>(wide_path.size()), wide_path.data(), nullptr) > 0 &&
      file_refused(wide_path.data(), candidate, reason, room)) {
    return nullptr;
  }
  std::array<char, gpib_reason_room> words{};
  system_message(error, candidate, words.data(), words.size());
  std::snprintf(reason, room, "not loadable (%s)", words.data());
  return nullptr;
}

void* platform_library_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_library_unload(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
