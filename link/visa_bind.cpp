// Binding the machine's VISA library at run time. The programs link no VISA
// library, so they start on every bench PC whoever made its VISA, and a
// library that lacks a function is found out here, before anything is sent,
// not by the loader in the middle of an update.
#include "link.h"

#include <array>
#include <cstdio>

namespace {

enum : size_t { tried_max = 32 };

// What was tried and why it was refused, for the message when nothing fits.
struct tried_library {
  std::array<char, gpib_path_room> candidate;
  std::array<char, gpib_reason_room> reason;
};
std::array<tried_library, tried_max> tried{};
size_t tried_count = 0;

std::array<char, gpib_path_room> bound_path{};
bool bound = false;
void* bound_library = nullptr;

struct wanted_functions {
  std::span<const char* const> names;
  std::span<void*> functions;
};

void note_refusal(const char* candidate, const char* reason) {
  if (tried_count < tried.size()) {
    std::snprintf(tried[tried_count].candidate.data(), gpib_path_room, "%s", candidate);
    std::snprintf(tried[tried_count].reason.data(), gpib_reason_room, "%s", reason);
    ++tried_count;
  }
}

// Takes every wanted function from candidate, or none of them.
bool try_library(const char* candidate, void* context) {
  const auto* wanted = static_cast<const wanted_functions*>(context);
  std::array<char, gpib_reason_room> reason{};
  void* library = platform_library_load(candidate, reason.data(), reason.size());
  if (library == nullptr) {
    note_refusal(candidate, reason.data());
    return false;
  }
  for (size_t i = 0; i < wanted->names.size(); ++i) {
    wanted->functions[i] = platform_library_symbol(library, wanted->names[i]);
    if (wanted->functions[i] == nullptr) {
      std::snprintf(reason.data(), reason.size(), "lacks %s", wanted->names[i]);
      note_refusal(candidate, reason.data());
      platform_library_unload(library);
      return false;
    }
  }
  platform_library_path(library, candidate, bound_path.data(), bound_path.size());
  bound = true; // kept for the life of the process
  bound_library = library;
  return true;
}

} // namespace

const char* gpib_bind_visa(std::span<const char* const> names, std::span<void*> functions) {
  if (bound) {
    return bound_path.data();
  }
  wanted_functions wanted{names, functions};
  // A library the user names is the one meant: never another in its place.
  if (const char* named = platform_visa_override(); named != nullptr) {
    if (!try_library(named, &wanted)) {
      report_error("Can't use the VISA library in KESLOAD_VISA, %s: %s\n", named, tried[0].reason.data());
      gpib_exit(1);
    }
  } else {
    platform_visa_search(try_library, &wanted);
    if (!bound) {
      report_error("No VISA library found. Tried:\n");
      for (size_t i = 0; i < tried_count; ++i) {
        report_error("  %s: %s\n", tried[i].candidate.data(), tried[i].reason.data());
      }
      report_error("Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA.\n");
      gpib_exit(1);
    }
  }
  return bound_path.data();
}

const char* gpib_visa_library() { return bound ? bound_path.data() : nullptr; }

void* gpib_visa_symbol(const char* name) { return bound ? platform_library_symbol(bound_library, name) : nullptr; }
