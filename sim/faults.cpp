#include "faults.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "memory.h"
#include "numbers.h"

namespace ksim {

namespace {

constexpr const char* words[query_count] = {"XXCMD?", "*OPC?", "XXRDMEM?", "XXCRC?", "XXERASE?", "XXPROG?"};

// Splits off the next blank-separated word.
std::string_view next_word(std::string_view& rest) {
  rest = trim(rest);
  size_t end = rest.find_first_of(" \t");
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  return word;
}

int bad(char* err, size_t err_size, const char* reason, std::string_view what = "") {
  if ((err != nullptr) && (err_size != 0U)) {
    std::snprintf(err, err_size, "fault: %s%s%.*s", reason, what.empty() ? "" : ": ", int(what.size()), what.data());
  }
  return 2;
}

bool query_from_word(const char* word, size_t length, query& q) {
  for (size_t i = 0; i < query_count; ++i) {
    if (std::strlen(words[i]) == length && std::memcmp(words[i], word, length) == 0) {
      q = query(i);
      return true;
    }
  }
  return false;
}

} // namespace

int parse_fault(const char* value, fault& out, char* err, size_t err_size) {
  std::string_view rest = value != nullptr ? value : "";
  std::string_view kind = next_word(rest);
  out = fault{};

  if (kind == "no-reply" || kind == "reply" || kind == "long-reply") {
    out.kind = kind == "no-reply" ? fault_kind::no_reply : kind == "reply" ? fault_kind::reply : fault_kind::long_reply;
    std::string_view cmd = next_word(rest);
    if (cmd.empty()) {
      return bad(err, err_size, "missing the command word, e.g. XXCRC?");
    }
    if (!query_from_word(cmd.data(), cmd.size(), out.cmd)) {
      return bad(err, err_size, "not a command that replies", cmd);
    }
    std::string_view n = next_word(rest);
    if (!parse_u32(n, out.n) || out.n == 0) {
      return bad(err, err_size, "the occurrence must be a number from 1", n);
    }
    if (out.kind == fault_kind::reply) {
      // The text is the rest of the line, as it stands; it may be empty.
      if (rest.size() > max_reply_text) {
        return bad(err, err_size, "reply text longer than 255 bytes");
      }
      out.text.assign(rest);
      return 0;
    }
  } else if (kind == "erase-error" || kind == "prog-error") {
    out.kind = kind == "erase-error" ? fault_kind::erase_error : fault_kind::prog_error;
    std::string_view where = next_word(rest);
    if (!parse_u32(where, out.n) || (out.kind == fault_kind::erase_error && out.n >= sector_count)) {
      return bad(err, err_size,
                 out.kind == fault_kind::erase_error ? "sector must be 0..31" : "block must be a number from 0", where);
    }
    std::string_view code = next_word(rest);
    if (!parse_i32(code, out.code)) {
      return bad(err, err_size, "code must be a signed 32-bit decimal number", code);
    }
  } else if (kind == "boot-mode") {
    out.kind = fault_kind::boot_mode;
    std::string_view mode = next_word(rest);
    if (!parse_u32(mode, out.n) || out.n > 3) {
      return bad(err, err_size, "mode must be 0..3 (use a reply fault on XXCMD? for other values)", mode);
    }
  } else if (kind == "corrupt-download") {
    out.kind = fault_kind::corrupt_download;
    std::string_view offset = next_word(rest);
    if (!parse_u32(offset, out.n)) {
      return bad(err, err_size, "offset must be an unsigned decimal number", offset);
    }
  } else {
    return bad(err, err_size, "unknown kind", kind.empty() ? std::string_view("(none)") : kind);
  }
  if (!trim(rest).empty()) {
    return bad(err, err_size, "unexpected words at the end", trim(rest));
  }
  return 0;
}

} // namespace ksim
