// Reading trace lines back, for the replay and for the tests.
#include "trace.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The next blank-separated word of text from at; at moves past it and one blank.
std::string_view next_word(std::string_view text, size_t& at) {
  const size_t start = at;
  while (at < text.size() && text[at] != ' ') {
    ++at;
  }
  const std::string_view word = text.substr(start, at - start);
  if (at < text.size()) {
    ++at;
  }
  return word;
}

bool to_number(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    if (!is_digit(c)) {
      return false;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool to_hex(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 16) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    const int digit = is_digit(c) ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) {
      return false;
    }
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return true;
}

// Milliseconds to 0.1 ms ("12.3", or "12" from another writer), in microseconds.
bool to_time(std::string_view text, int64_t& us) {
  const size_t dot = text.find('.');
  uint64_t whole = 0;
  uint64_t tenths = 0;
  if (!to_number(text.substr(0, dot), whole) || whole > 1000000000000ULL) {
    return false;
  }
  if (dot != std::string_view::npos) {
    const std::string_view fraction = text.substr(dot + 1);
    uint64_t digits = 0;
    if (fraction.empty() || fraction.size() > 6 || !to_number(fraction, digits)) {
      return false;
    }
    tenths = static_cast<uint64_t>(fraction[0] - '0');
  }
  us = static_cast<int64_t>(whole * 1000 + tenths * 100);
  return true;
}

// Past the quoted string that starts at at (its opening quote); npos when it
// is not closed.
size_t past_quoted(std::string_view text, size_t at) {
  for (++at; at < text.size(); ++at) {
    if (text[at] == '\\') {
      ++at;
    } else if (text[at] == '"') {
      return at + 1;
    }
  }
  return std::string_view::npos;
}

// Where the comment of a record starts (" # " outside quotes), or its end.
size_t comment_start(std::string_view text, size_t from) {
  for (size_t at = from; at < text.size();) {
    if (text[at] == '"') {
      at = past_quoted(text, at);
      if (at == std::string_view::npos) {
        return text.size();
      }
      continue;
    }
    if (text[at] == ' ' && at + 1 < text.size() && text[at + 1] == '#') {
      return at;
    }
    ++at;
  }
  return text.size();
}

bool fail(const char** reason, const char* why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return false;
}

bool parse_call(std::string_view record, trace_record& out, const char** reason) {
  size_t open = 2;
  while (open < record.size() && ((record[open] >= 'A' && record[open] <= 'Z') || (record[open] >= 'a' && record[open] <= 'z'))) {
    ++open;
  }
  if (open >= record.size() || record[open] != '(') {
    return fail(reason, "not a VISA call");
  }
  out.function = record.substr(0, open);
  // The call part ends at the parenthesis that closes it, outside quotes.
  size_t at = open + 1;
  while (at < record.size() && record[at] != ')') {
    if (record[at] == '"') {
      at = past_quoted(record, at);
      if (at == std::string_view::npos) {
        return fail(reason, "a quoted string is not closed");
      }
    } else {
      ++at;
    }
  }
  if (at >= record.size()) {
    return fail(reason, "the call's parenthesis is not closed");
  }
  out.call = record.substr(0, at + 1);
  uint64_t session = 0;
  size_t digits = open + 1;
  while (digits < at && is_digit(record[digits])) {
    ++digits;
  }
  if (to_number(record.substr(open + 1, digits - open - 1), session) && session <= 0xFFFFFFFFULL) {
    out.session = static_cast<uint32_t>(session);
  }
  std::string_view rest = record.substr(at + 1);
  uint64_t status = 0;
  if (!rest.starts_with(" = 0x") || rest.size() < 13 || !to_hex(rest.substr(5, 8), status)) {
    return fail(reason, "no status after the call");
  }
  out.status = static_cast<int32_t>(static_cast<uint32_t>(status));
  rest.remove_prefix(13);
  if (rest.starts_with(" VI_")) {
    size_t end = 1;
    while (end < rest.size() && rest[end] != ' ') {
      ++end;
    }
    rest.remove_prefix(end);
  }
  if (!rest.empty() && rest[0] != ' ') {
    return fail(reason, "a status that is not one");
  }
  out.results = rest.empty() ? rest : rest.substr(1);
  return true;
}

} // namespace

bool trace_parse(std::string_view line, trace_record& out, const char** reason) {
  out = trace_record{};
  for (const char c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return fail(reason, "a control character in the line");
    }
  }
  size_t at = 0;
  uint64_t pid = 0;
  if (!to_number(next_word(line, at), pid) || pid > 0x7FFFFFFFULL) {
    return fail(reason, "no process id");
  }
  out.pid = static_cast<long>(pid);
  if (!to_time(next_word(line, at), out.time_us)) {
    return fail(reason, "no time");
  }
  const std::string_view duration = next_word(line, at);
  if (duration != "-" && !to_time(duration, out.duration_us)) {
    return fail(reason, "no duration");
  }
  std::string_view record = line.substr(at < line.size() ? at : line.size());
  record = record.substr(0, comment_start(record, 0));
  out.record = record;
  size_t word_at = 0;
  const std::string_view first = next_word(record, word_at);
  const std::string_view second = next_word(record, word_at);
  uint64_t number = 0;
  if (first == "session") {
    out.kind = trace_kind::session;
    out.word = second;
    return !second.empty() || fail(reason, "a session without its program");
  }
  if (first == "pause") {
    out.kind = trace_kind::pause;
    if (!to_number(second, number) || number > 0xFFFFFFFFULL) {
      return fail(reason, "a pause without its length");
    }
    out.number = static_cast<int64_t>(number);
    return true;
  }
  if (first == "interrupt") {
    out.kind = trace_kind::interrupt;
    out.word = second;
    return !second.empty() || fail(reason, "an interrupt without its name");
  }
  if (first == "end") {
    out.kind = trace_kind::end;
    const bool negative = second.starts_with('-');
    if (!to_number(negative ? second.substr(1) : second, number) || number > 0x7FFFFFFFULL) {
      return fail(reason, "an end without its exit status");
    }
    out.number = negative ? -static_cast<int64_t>(number) : static_cast<int64_t>(number);
    return true;
  }
  if (record.starts_with("vi")) {
    out.kind = trace_kind::call;
    return parse_call(record, out, reason);
  }
  return fail(reason, "no record this trace knows");
}

bool trace_result_number(std::string_view results, std::string_view key, uint64_t& value) {
  for (size_t at = 0; at < results.size();) {
    if (results[at] == '"') {
      at = past_quoted(results, at);
      if (at == std::string_view::npos) {
        return false;
      }
      continue;
    }
    const bool word_start = at == 0 || results[at - 1] == ' ';
    if (word_start && results.substr(at).starts_with(key) && results.substr(at + key.size()).starts_with('=')) {
      size_t end = at + key.size() + 1;
      const size_t start = end;
      while (end < results.size() && results[end] != ' ') {
        ++end;
      }
      return to_number(results.substr(start, end - start), value);
    }
    ++at;
  }
  return false;
}

bool trace_result_bytes(std::string_view text, uint8_t* out, size_t room, size_t& length) {
  length = 0;
  const size_t open = text.find('"');
  if (open == std::string_view::npos) {
    return false;
  }
  const size_t close = past_quoted(text, open);
  if (close == std::string_view::npos) {
    return false;
  }
  for (size_t at = open + 1; at + 1 < close; ++at) {
    char c = text[at];
    if (c == '\\') {
      const char e = text[++at];
      switch (e) {
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      case 'x': {
        uint64_t value = 0;
        if (at + 2 >= close || !to_hex(text.substr(at + 1, 2), value)) {
          return false;
        }
        c = static_cast<char>(value);
        at += 2;
        break;
      }
      default:
        c = e; // \\ and \"
        break;
      }
    }
    if (length == room) {
      return false;
    }
    out[length++] = static_cast<uint8_t>(c);
  }
  return true;
}
