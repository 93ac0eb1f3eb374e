// Finding and loading the machine's VISA library on Linux.
#include "link.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
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

// With KESLOAD_VISA_ROOT set (for tests of this search), every folder is
// looked for under it, and the loader's own search becomes its usual
// folders there.
constexpr std::array<const char*, 3> loader_folders{"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"};

const char* nonempty_env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool is_bare_name(const char* candidate) { return std::strchr(candidate, '/') == nullptr; }

} // namespace

const char* platform_visa_override() { return nonempty_env("KESLOAD_VISA"); }

void platform_visa_search(bool (*try_one)(const char* candidate, void* context), void* context) {
  const char* root = nonempty_env("KESLOAD_VISA_ROOT");
  std::array<char, gpib_path_room> path{};
  for (const visa_place& place : visa_places) {
    if (root == nullptr && place.folder == nullptr) {
      if (try_one(place.file, context)) {
        return;
      }
    } else if (place.folder != nullptr) {
      std::snprintf(path.data(), path.size(), "%s%s/%s", root != nullptr ? root : "", place.folder, place.file);
      if (try_one(path.data(), context)) {
        return;
      }
    } else {
      for (const char* folder : loader_folders) {
        std::snprintf(path.data(), path.size(), "%s%s/%s", root, folder, place.file);
        if (try_one(path.data(), context)) {
          return;
        }
      }
    }
  }
}

void* platform_library_load(const char* candidate, char* reason, size_t room) {
  // A path that names nothing is missing; the loader would say more words.
  if (!is_bare_name(candidate) && access(candidate, F_OK) != 0) {
    std::snprintf(reason, room, "missing");
    return nullptr;
  }
  // Every symbol now: a library whose own dependencies are missing is
  // refused here, not at its first call.
  void* library = dlopen(candidate, RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    return library;
  }
  const char* error = dlerror();
  const size_t length = std::strlen(candidate);
  // "NAME: cannot open shared object file": the loader found no such name.
  if (is_bare_name(candidate) && error != nullptr && std::strncmp(error, candidate, length) == 0 &&
      std::strstr(error + length, "cannot open shared object file") != nullptr) {
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

void platform_library_path(void* library, const char* candidate, char* path, size_t room) {
  // The loader knows which file a bare name became: ask it about one of the
  // library's own functions.
  Dl_info info{};
  void* function = dlsym(library, "viOpenDefaultRM");
  const bool known = function != nullptr && dladdr(function, &info) != 0 && info.dli_fname != nullptr &&
                     info.dli_fname[0] == '/';
  std::snprintf(path, room, "%s", known ? info.dli_fname : candidate);
}
