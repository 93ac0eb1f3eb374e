// Finding and loading the machine's VISA library on Linux.
#include "link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the common VISAs put their library, GPIB-capable ones first. A
// folder of null is the loader's own search (LD_LIBRARY_PATH, the folders
// registered with ldconfig, /usr/lib/x86_64-linux-gnu, /usr/lib64, /usr/lib).
struct visa_place {
  const char* folder;
  const char* file;
};
constexpr std::array<visa_place, 9> visa_places{{
    {nullptr, "libvisa.so"},                         // NI-VISA
    {"/usr/local/vxipnp/linux/lib64", "libvisa.so"}, // NI-VISA, older installs (not registered)
    {"/opt/keysight/iolibs", "libktvisa32.so"},      // Keysight IO Libraries (not registered)
    {nullptr, "libktvisa32.so.0"},                   // Keysight, some releases
    {nullptr, "libiovisa.so"},                       // Keysight, some releases
    {nullptr, "libivivisa.so.7"},                    // IVI VISA shared components
    {nullptr, "libivivisa.so"},
    {nullptr, "librsvisa.so"},                       // Rohde & Schwarz VISA: no GPIB
    {nullptr, "libvisa.so.0"},                       // open-source VISA: no GPIB
}};

// The loader's own folders, after LD_LIBRARY_PATH and its cache.
constexpr std::array<const char*, 6> loader_folders{"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
                                                    "/lib64",                "/usr/lib64",
                                                    "/lib",                  "/usr/lib"};

// With KESLOAD_VISA_ROOT set (for tests of this search), the folders the
// search names itself are looked for under it as well, first; bare names
// still go to the loader, whose LD_LIBRARY_PATH the tests set.
const char* nonempty_env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool is_bare_name(const char* candidate) { return std::strchr(candidate, '/') == nullptr; }

// "missing" for nothing by that name, the system's words for anything else
// that keeps the file from being read (a loop of links, a name too long, a
// folder the user may not enter).
void say_errno(int error, char* reason, size_t room) {
  std::snprintf(reason, room, "%s", error == ENOENT || error == ENOTDIR ? "missing" : std::strerror(error));
}

struct machine_name {
  uint16_t machine;
  const char* name;
};
constexpr std::array<machine_name, 11> machine_names{{{EM_386, "i386"},
                                                      {EM_X86_64, "x86-64"},
                                                      {EM_ARM, "arm"},
                                                      {EM_AARCH64, "aarch64"},
                                                      {EM_PPC, "ppc"},
                                                      {EM_PPC64, "ppc64"},
                                                      {EM_S390, "s390"},
                                                      {EM_MIPS, "mips"},
                                                      {EM_RISCV, "riscv"},
                                                      {EM_SPARCV9, "sparc64"},
                                                      {258, "loongarch"}}};

// The ELF identity of a file: its class (32 or 64 bits) and machine; false
// for a file that is no ELF file (the loader says what it is then).
bool elf_identity(const char* path, uint8_t* elf_class, uint16_t* machine) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  std::array<unsigned char, EI_NIDENT + 4> head{};
  const ssize_t got = read(fd, head.data(), head.size());
  close(fd);
  if (got < static_cast<ssize_t>(head.size()) || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0) {
    return false;
  }
  *elf_class = head[EI_CLASS];
  const bool little = head[EI_DATA] == ELFDATA2LSB;
  const unsigned char* field = &head[EI_NIDENT + 2]; // e_machine, after e_type
  *machine = little ? static_cast<uint16_t>(field[0] | field[1] << 8) : static_cast<uint16_t>(field[0] << 8 | field[1]);
  return true;
}

// A library built for another machine than this program: the loader's
// words ("wrong ELF class", or none at all) would not say so.
bool other_architecture(const char* path, char* reason, size_t room) {
  uint8_t own_class = 0;
  uint16_t own_machine = 0;
  uint8_t elf_class = 0;
  uint16_t machine = 0;
  if (!elf_identity("/proc/self/exe", &own_class, &own_machine) || !elf_identity(path, &elf_class, &machine) ||
      (elf_class == own_class && machine == own_machine)) {
    return false;
  }
  const char* name = nullptr;
  for (const machine_name& known : machine_names) {
    name = known.machine == machine ? known.name : name;
  }
  std::array<char, 32> unknown{};
  if (name == nullptr) {
    std::snprintf(unknown.data(), unknown.size(), "machine %u", static_cast<unsigned>(machine));
    name = unknown.data();
  }
  const char* bits = elf_class == own_class ? "" : elf_class == ELFCLASS32 ? "32-bit " : "64-bit ";
  std::snprintf(reason, room, "built for another architecture (%s%s)", bits, name);
  return true;
}

// What the file at path is, before the loader opens it: a FIFO or a device
// would hold the loader for ever, a folder is no library.
bool file_refused(const char* path, char* reason, size_t room) {
  struct stat status {};
  if (stat(path, &status) != 0) {
    say_errno(errno, reason, room);
    return true;
  }
  if (!S_ISREG(status.st_mode)) {
    std::snprintf(reason, room, "not a regular file");
    return true;
  }
  return other_architecture(path, reason, room);
}

// A bare name: the first file of that name in the folders LD_LIBRARY_PATH
// names and the loader's own, which the loader would try to open. Only
// what would hold the loader, or what it cannot load, is refused here; the
// loader's own search then decides.
bool bare_name_refused(const char* name, gpib_load_note* note) {
  char* reason = note->reason.data();
  const size_t room = note->reason.size();
  std::array<char, PATH_MAX> path{};
  auto check = [&](const char* folder, size_t length) {
    const int n = std::snprintf(path.data(), path.size(), "%.*s%s%s", static_cast<int>(length), folder,
                                length > 0 ? "/" : "", name);
    struct stat status {};
    if (n < 0 || static_cast<size_t>(n) >= path.size() || stat(path.data(), &status) != 0) {
      return false;
    }
    if (S_ISREG(status.st_mode) && !other_architecture(path.data(), reason, room)) {
      return false;
    }
    if (!S_ISREG(status.st_mode)) {
      std::snprintf(reason, room, "not a regular file");
    }
    const size_t length_found = std::strlen(path.data());
    note->path_too_long = length_found >= note->path.size();
    std::memcpy(note->path.data(), path.data(), note->path_too_long ? note->path.size() - 1 : length_found);
    note->searched = true;
    return true;
  };
  if (const char* folders = std::getenv("LD_LIBRARY_PATH"); folders != nullptr) {
    for (const char* at = folders;;) {
      const size_t length = std::strcspn(at, ":;");
      if (check(at, length)) {
        return true;
      }
      if (at[length] == '\0') {
        break;
      }
      at += length + 1;
    }
  }
  return std::ranges::any_of(loader_folders, [&](const char* folder) { return check(folder, std::strlen(folder)); });
}

} // namespace

const char* platform_visa_override() { return nonempty_env("KESLOAD_VISA"); }

void platform_visa_search(bool (*try_one)(const char* candidate, void* context), void* context) {
  const char* root = nonempty_env("KESLOAD_VISA_ROOT");
  std::array<char, gpib_path_room> path{};
  for (const visa_place& place : visa_places) {
    if (place.folder == nullptr) {
      if (try_one(place.file, context)) {
        return;
      }
      continue;
    }
    if (root != nullptr) {
      std::snprintf(path.data(), path.size(), "%s%s/%s", root, place.folder, place.file);
      if (try_one(path.data(), context)) {
        return;
      }
    }
    std::snprintf(path.data(), path.size(), "%s/%s", place.folder, place.file);
    if (try_one(path.data(), context)) {
      return;
    }
  }
}

void* platform_library_load(const char* candidate, gpib_load_note* note) {
  char* reason = note->reason.data();
  const size_t room = note->reason.size();
  const bool bare = is_bare_name(candidate);
  if (!bare) {
    const int n = std::snprintf(note->path.data(), note->path.size(), "%s", candidate);
    note->path_too_long = n < 0 || static_cast<size_t>(n) >= note->path.size();
  }
  if (bare ? bare_name_refused(candidate, note) : file_refused(candidate, reason, room)) {
    return nullptr;
  }
  if (note->path_too_long) {
    std::snprintf(reason, room, "%s", gpib_path_too_long);
    return nullptr;
  }
  // Every symbol now: a library whose own dependencies are missing is
  // refused here, not at its first call.
  void* library = dlopen(candidate, RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    // The loader knows the folder a bare name was found in.
    std::array<char, PATH_MAX> folder{};
    if (bare && dlinfo(library, RTLD_DI_ORIGIN, folder.data()) == 0 && folder[0] == '/') {
      const int n = std::snprintf(note->path.data(), note->path.size(), "%s/%s", folder.data(), candidate);
      note->path_too_long = n < 0 || static_cast<size_t>(n) >= note->path.size();
      note->searched = true;
    }
    return library;
  }
  const char* error = dlerror();
  const size_t length = std::strlen(candidate);
  // "NAME: cannot open shared object file: No such file or directory": the
  // loader found nothing by that name.
  if (bare && error != nullptr && std::strncmp(error, candidate, length) == 0 &&
      std::strstr(error + length, "cannot open shared object file: No such file") != nullptr) {
    std::snprintf(reason, room, "missing");
    return nullptr;
  }
  // The loader's words, without the name it repeats in front.
  if (error != nullptr && std::strncmp(error, candidate, length) == 0 && std::strncmp(error + length, ": ", 2) == 0) {
    error += length + 2;
  }
  std::snprintf(reason, room, "not loadable (%s)", error != nullptr ? error : "unknown error");
  return nullptr;
}

void* platform_library_symbol(void* library, const char* name) { return dlsym(library, name); }

void platform_library_unload(void* library) { dlclose(library); }
