// kescheck -V: the VISA libraries of this PC as kesload sees them, for a
// technician to paste into a support request.
#include "kescheck.h"

#include "link.h"
#include "platform.h"
#include "report_out.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <string_view>

namespace {

// The search's lines, held while KESLOAD_VISA's library is looked at last:
// the report names that one first.
std::array<char, 16384> held{};
size_t held_length = 0;
bool holding = false;

[[gnu::format(printf, 1, 2)]] void out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (holding) {
    const int n = std::vsnprintf(&held[held_length], held.size() - held_length, format, args);
    held_length = n < 0 ? held_length : std::min(held.size() - 1, held_length + static_cast<size_t>(n));
  } else {
    std::array<char, 4 * gpib_path_room + 64> line{};
    std::vsnprintf(line.data(), line.size(), format, args);
    report_out("%s", line.data());
  }
  va_end(args);
}

// A VISA version word: major in bits 31-20, minor in 19-8, subminor in 7-0.
void out_version(const char* what, uint32_t version) {
  out(", %s %u.%u.%u", what, static_cast<unsigned>(version >> 20), static_cast<unsigned>((version >> 8) & 0xFFF),
      static_cast<unsigned>(version & 0xFF));
}

void report_library(const gpib_library_seen* library, void* /*context*/) {
  std::array<char, 4 * gpib_path_room> text{};
  holding = holding && !library->named;
  out("%s%s", library->named ? "KESLOAD_VISA: " : "  ", gpib_printable(library->name, text));
  if (library->path != nullptr && std::string_view(library->path) != library->name) {
    out(" (%s)", gpib_printable(library->path, text));
  }
  out(": %s", library->outcome);
  if (library->loaded) {
    if (library->resource_manager_status < 0) {
      out(", its resource manager fails, status 0x%08X",
          static_cast<unsigned>(static_cast<uint32_t>(library->resource_manager_status)));
    } else if (library->maker[0] == '\0' && library->implementation_version == 0) {
      out(", version not told");
    } else {
      if (library->maker[0] != '\0') {
        out(", \"%s\"", gpib_printable(library->maker, text));
      }
      if (library->implementation_version != 0) {
        out_version("version", library->implementation_version);
      }
      if (library->specification_version != 0) {
        out_version("VISA", library->specification_version);
      }
    }
  }
  out("\n");
  if (library->named) {
    report_out("search:\n%s", held.data());
  }
}

void report_interface(const char* name, void* context) {
  auto* count = static_cast<int*>(context);
  std::array<char, 4 * size_t{gpib_find_room}> text{};
  report_out("%s%s", *count == 0 ? "" : ", ", gpib_printable(name, text));
  ++*count;
}

} // namespace

int report_visa() {
  report_out("kescheck %s (%s)\n", KESLOAD_VERSION, platform_name());
  if (platform_visa_override() == nullptr) {
    report_out("KESLOAD_VISA: not set\nsearch:\n");
  } else {
    holding = true;
  }
  const int32_t usable = gpib_survey_visa(report_library, nullptr);
  const char* used = gpib_visa_library();
  std::array<char, 4 * gpib_path_room> text{};
  report_out("visa: %s\n", used != nullptr ? gpib_printable(used, text) : "none");
  if (usable == 0) {
    if (used == nullptr) {
      report_error("Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA.\n");
    }
    return check_exit_failed;
  }
  report_out("interfaces: ");
  int count = 0;
  const int32_t found = gpib_find("?*INTFC", report_interface, &count);
  report_out("%s\n", found < 0 ? "the library could not search" : found == 0 ? "none found" : "");
  return check_exit_ok;
}
