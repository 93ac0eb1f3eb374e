// Binding the machine's VISA library at run time. The programs link no VISA
// library, so they start on every bench PC whoever made its VISA, and a
// library that lacks a function is found out here, before anything is sent,
// not by the loader in the middle of an update.
#include "link.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : size_t { tried_max = 32 };

// What was tried and why it was refused, for the message when nothing fits.
struct tried_library {
  std::array<char, gpib_path_room> candidate;
  std::array<char, gpib_path_room> path;
  std::array<char, gpib_reason_room> reason;
  bool searched;
};
std::array<tried_library, tried_max> tried{};
size_t tried_count = 0;

std::array<char, gpib_path_room> bound_path{};
bool bound = false;

struct wanted_functions {
  std::span<const char* const> names;
  size_t required;
  std::span<void*> functions;
  // A survey looks at every candidate; a binding stops at the first that fits.
  void (*visit)(gpib_library_seen* library, void* context);
  void* context;
  bool named;
  bool survey_only; // nothing is bound
};

void note_refusal(const char* candidate, const gpib_load_note& note) {
  if (tried_count < tried.size()) {
    std::snprintf(tried[tried_count].candidate.data(), gpib_path_room, "%s", candidate);
    tried[tried_count].path = note.path;
    tried[tried_count].reason = note.reason;
    tried[tried_count].searched = note.searched && !note.path_too_long;
    ++tried_count;
  }
}

// Takes the functions from a loaded library; false, with why, when it lacks
// a required one.
bool take_functions(void* library, const wanted_functions& wanted, gpib_load_note* note) {
  for (size_t i = 0; i < wanted.names.size(); ++i) {
    wanted.functions[i] = platform_library_symbol(library, wanted.names[i]);
    if (i < wanted.required && wanted.functions[i] == nullptr) {
      std::snprintf(note->reason.data(), note->reason.size(), "lacks %s", wanted.names[i]);
      return false;
    }
  }
  return true;
}

bool try_library(const char* candidate, void* context) {
  const auto* wanted = static_cast<const wanted_functions*>(context);
  gpib_load_note note{};
  void* library = platform_library_load(candidate, &note);
  bool usable = library != nullptr && take_functions(library, *wanted, &note);
  if (usable && note.path_too_long) {
    std::snprintf(note.reason.data(), note.reason.size(), "%s", gpib_path_too_long);
    usable = false;
  }
  // A survey binds the first usable one too, so that the report's "used" is
  // what kesload would use: KESLOAD_VISA's alone when it is set.
  const bool use = usable && !bound && !wanted->survey_only && (wanted->named || platform_visa_override() == nullptr);
  if (wanted->visit != nullptr) {
    gpib_library_seen seen{};
    seen.name = candidate;
    seen.path = note.searched && note.path[0] != '\0' && !note.path_too_long ? note.path.data() : nullptr;
    seen.outcome = use ? "used" : usable ? "complete" : note.reason.data();
    seen.named = wanted->named;
    seen.used = use;
    seen.loaded = usable;
    wanted->visit(&seen, wanted->context);
  }
  if (use) {
    bound_path = note.path;
    bound = true; // kept for the life of the process
    return wanted->visit == nullptr;
  }
  if (library != nullptr) {
    platform_library_unload(library);
  }
  if (!usable) {
    note_refusal(candidate, note);
  }
  return false;
}

// Text of any length on standard error, its control characters escaped.
void report_printable(const char* text) {
  std::array<char, 4 * 256 + 1> piece{};
  std::array<char, 256 + 1> part{};
  for (size_t at = 0, length = std::strlen(text); at < length; at += 256) {
    std::snprintf(part.data(), part.size(), "%s", text + at);
    report_error("%s", gpib_printable(part.data(), piece));
  }
}

// "NAME: REASON", or "NAME (FILE): REASON" for a bare name when the file it
// became is known.
void report_refusal(const char* candidate, const tried_library& library) {
  report_printable(candidate);
  if (library.searched && library.path[0] != '\0') {
    report_error(" (");
    report_printable(library.path.data());
    report_error(")");
  }
  report_error(": %s\n", library.reason.data());
}

void search(wanted_functions& wanted) {
  // The loader may wait for ever on a file that is not what it seems (a
  // network folder): an interrupt must still end the run.
  gpib_interrupt_ends_at_once(true);
  // A library the user names is the one meant: never another in its place.
  if (const char* named = platform_visa_override(); named != nullptr) {
    wanted.named = true;
    try_library(named, &wanted);
    wanted.named = false;
  }
  if (platform_visa_override() == nullptr) {
    platform_visa_search(try_library, &wanted);
  }
  gpib_interrupt_ends_at_once(false);
}

// The survey with KESLOAD_VISA set looks at the search's places first:
// once its library is loaded (and a C++ library stays loaded), every bare
// name it answers to would find that one again. They are handed to visit in
// that order; the report puts KESLOAD_VISA's first.
void survey_search(wanted_functions& wanted) {
  const char* named = platform_visa_override();
  if (named == nullptr) {
    search(wanted);
    return;
  }
  wanted_functions looking = wanted;
  looking.survey_only = true;
  gpib_interrupt_ends_at_once(true);
  platform_visa_search(try_library, &looking);
  wanted.named = true;
  try_library(named, &wanted);
  gpib_interrupt_ends_at_once(false);
}

} // namespace

const char* gpib_bind_visa(std::span<const char* const> names, size_t required, std::span<void*> functions) {
  if (bound) {
    return bound_path.data();
  }
  wanted_functions wanted{names, required, functions, nullptr, nullptr, false, false};
  search(wanted);
  if (bound) {
    return bound_path.data();
  }
  if (platform_visa_override() != nullptr) {
    report_error("Can't use the VISA library in KESLOAD_VISA, ");
    report_refusal(platform_visa_override(), tried[0]);
    gpib_exit(1);
  }
  report_error("No VISA library found. Tried:\n");
  for (size_t i = 0; i < tried_count; ++i) {
    report_error("  ");
    report_refusal(tried[i].candidate.data(), tried[i]);
  }
  report_error("Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA.\n");
  gpib_exit(1);
}

void gpib_survey_libraries(std::span<const char* const> names, size_t required, std::span<void*> functions,
                           void (*visit)(gpib_library_seen* library, void* context), void* context) {
  wanted_functions wanted{names, required, functions, visit, context, false, false};
  survey_search(wanted);
}

const char* gpib_visa_library() { return bound ? bound_path.data() : nullptr; }

const char* gpib_printable(const char* text, std::span<char> room) {
  size_t at = 0;
  auto put = [&](const char* piece) {
    const size_t length = std::strlen(piece);
    if (at + length < room.size()) {
      std::memcpy(&room[at], piece, length);
      at += length;
    }
  };
  for (const char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    std::array<char, 5> piece{};
    if (byte == '\n' || byte == '\r' || byte == '\t') {
      std::snprintf(piece.data(), piece.size(), "\\%c", byte == '\n' ? 'n' : byte == '\r' ? 'r' : 't');
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(piece.data(), piece.size(), "\\x%02X", byte);
    } else {
      piece[0] = *c;
    }
    put(piece.data());
  }
  room[at] = '\0';
  return room.data();
}
