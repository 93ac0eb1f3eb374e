// Resource strings of the instruments the stand-in serves,
// NAME[BOARD]::PRIMARY[::SECONDARY][::INSTR], and VISA's resource
// expressions that search them.
#include "library.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace kesvisa {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) {
      return false;
    }
  }
  return true;
}

std::optional<uint32_t> decimal(std::string_view text, uint32_t max) {
  uint32_t number = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number, 10);
  if (text.empty() || !is_digit(text.front()) || error != std::errc{} || stop != end || number > max) {
    return std::nullopt;
  }
  return number;
}

std::vector<std::string_view> fields(std::string_view text) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = text.find("::");
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return out;
    }
    text.remove_prefix(at + 2);
  }
}

// The interface: letters (and digits) from a letter, the board the number
// it ends with ("GPIB" is board 0).
bool parse_interface(std::string_view name, resource_name& out) {
  if (name.empty() || !is_letter(name.front())) {
    return false;
  }
  for (const char c : name) {
    if (!is_letter(c) && !is_digit(c)) {
      return false;
    }
  }
  size_t digits = name.size();
  while (digits > 0 && is_digit(name[digits - 1])) {
    --digits;
  }
  if (digits < name.size()) {
    const auto board = decimal(name.substr(digits), 0xFFFF);
    if (!board) {
      return false;
    }
    out.board = static_cast<uint16_t>(*board);
  }
  for (const char c : name.substr(0, digits)) {
    out.interface_name += upper(c);
  }
  out.interface_name += std::to_string(out.board);
  return true;
}

} // namespace

// As in VISA, names compare without regard to case, with the numbers as
// numbers, a missing board as board 0 and a missing class as INSTR:
// "gpib::017" is "GPIB0::17::INSTR". "GPIB0::INTFC" names the interface
// itself.
std::optional<resource_name> parse_resource(std::string_view text) {
  std::vector<std::string_view> parts = fields(text);
  resource_name out;
  if (parts.size() == 2 && same_letters(parts[1], "INTFC")) {
    if (!parse_interface(parts[0], out)) {
      return std::nullopt;
    }
    out.interface = true;
    out.canonical = out.interface_name + "::INTFC";
    return out;
  }
  if (parts.size() >= 3 && same_letters(parts.back(), "INSTR")) {
    parts.pop_back();
  }
  if (parts.size() < 2 || parts.size() > 3 || !parse_interface(parts[0], out)) {
    return std::nullopt;
  }
  const auto primary = decimal(parts[1], 0xFFFF);
  if (!primary) {
    return std::nullopt;
  }
  out.primary = static_cast<uint16_t>(*primary);
  if (parts.size() == 3) {
    const auto secondary = decimal(parts[2], 30); // GPIB's secondary addresses
    if (!secondary) {
      return std::nullopt;
    }
    out.secondary = static_cast<uint16_t>(*secondary);
  }
  out.canonical = out.interface_name + "::" + std::to_string(out.primary);
  if (out.secondary != VI_NO_SEC_ADDR) {
    out.canonical += "::" + std::to_string(out.secondary);
  }
  out.canonical += "::INSTR";
  return out;
}

namespace {

// A resource expression: '?' any character, [list] and [^list] (with a-z
// ranges), '*' and '+' zero-or-more and one-or-more of what precedes,
// (...) groups, '|' alternatives, '\' takes the next character as it is.
// Matching ignores case.
struct node;
using sequence = std::vector<node>;

struct node {
  enum class kind : uint8_t { literal, any, set, group } what = kind::literal;
  enum class repeat : uint8_t { once, star, plus } times = repeat::once;
  char letter = 0;
  bool in_set[256] = {};
  std::vector<sequence> alternatives;
};

class expression_parser {
public:
  explicit expression_parser(std::string_view text) : text_(text) {}

  std::optional<std::vector<sequence>> parse() {
    auto top = alternatives();
    if (!top || pos_ != text_.size()) {
      return std::nullopt;
    }
    return top;
  }

private:
  std::optional<std::vector<sequence>> alternatives() {
    std::vector<sequence> out;
    for (;;) {
      auto seq = items();
      if (!seq) {
        return std::nullopt;
      }
      out.push_back(std::move(*seq));
      if (pos_ >= text_.size() || text_[pos_] != '|') {
        return out;
      }
      ++pos_;
    }
  }

  std::optional<sequence> items() {
    sequence out;
    while (pos_ < text_.size() && text_[pos_] != '|' && text_[pos_] != ')') {
      auto n = item();
      if (!n) {
        return std::nullopt;
      }
      if (pos_ < text_.size() && (text_[pos_] == '*' || text_[pos_] == '+')) {
        n->times = text_[pos_] == '*' ? node::repeat::star : node::repeat::plus;
        ++pos_;
      }
      out.push_back(std::move(*n));
    }
    return out;
  }

  std::optional<node> item() {
    node n;
    const char c = text_[pos_++];
    switch (c) {
    case '?':
      n.what = node::kind::any;
      return n;
    case '(': {
      auto inner = alternatives();
      if (!inner || pos_ >= text_.size() || text_[pos_] != ')') {
        return std::nullopt;
      }
      ++pos_;
      n.what = node::kind::group;
      n.alternatives = std::move(*inner);
      return n;
    }
    case '[':
      return set();
    case '\\':
      if (pos_ >= text_.size()) {
        return std::nullopt;
      }
      n.letter = upper(text_[pos_++]);
      return n;
    case '*':
    case '+': // nothing to repeat
    case ']':
    case '{': // attribute expressions are not supported
    case '}':
      return std::nullopt;
    default:
      n.letter = upper(c);
      return n;
    }
  }

  std::optional<node> set() {
    node n;
    n.what = node::kind::set;
    bool negated = false;
    if (pos_ < text_.size() && text_[pos_] == '^') {
      negated = true;
      ++pos_;
    }
    bool any = false;
    for (;;) {
      if (pos_ >= text_.size()) {
        return std::nullopt;
      }
      char first = text_[pos_++];
      if (first == ']') {
        break;
      }
      if (first == '\\') {
        if (pos_ >= text_.size()) {
          return std::nullopt;
        }
        first = text_[pos_++];
      }
      char last = first;
      if (pos_ + 1 < text_.size() && text_[pos_] == '-' && text_[pos_ + 1] != ']') {
        last = text_[pos_ + 1];
        pos_ += 2;
        if (static_cast<unsigned char>(last) < static_cast<unsigned char>(first)) {
          return std::nullopt;
        }
      }
      for (unsigned c = static_cast<unsigned char>(first); c <= static_cast<unsigned char>(last); ++c) {
        n.in_set[upper(static_cast<char>(c)) & 0xFF] = true;
      }
      any = true;
    }
    if (!any) {
      return std::nullopt;
    }
    if (negated) {
      for (bool& in : n.in_set) {
        in = !in;
      }
    }
    return n;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

using rest = std::function<bool(size_t)>;

class matcher {
public:
  explicit matcher(std::string_view name) {
    for (const char c : name) {
      name_ += upper(c);
    }
  }

  bool alternatives(const std::vector<sequence>& alts, size_t pos, const rest& then) const {
    return std::ranges::any_of(alts, [&](const sequence& alt) { return items(alt, 0, pos, then); });
  }

  bool whole(const std::vector<sequence>& alts) const {
    return alternatives(alts, 0, [this](size_t pos) { return pos == name_.size(); });
  }

private:
  bool items(const sequence& seq, size_t i, size_t pos, const rest& then) const {
    if (i == seq.size()) {
      return then(pos);
    }
    const node& n = seq[i];
    const rest next = [&](size_t p) { return items(seq, i + 1, p, then); };
    switch (n.times) {
    case node::repeat::star:
      return repeated(n, pos, next);
    case node::repeat::plus:
      return one(n, pos, [&](size_t p) { return repeated(n, p, next); });
    default:
      return one(n, pos, next);
    }
  }

  // Greedy, and every round must consume something, so that a group that
  // matches nothing cannot repeat for ever.
  bool repeated(const node& n, size_t pos, const rest& then) const {
    if (one(n, pos, [&](size_t p) { return p > pos && repeated(n, p, then); })) {
      return true;
    }
    return then(pos);
  }

  bool one(const node& n, size_t pos, const rest& then) const {
    if (n.what == node::kind::group) {
      return alternatives(n.alternatives, pos, then);
    }
    if (pos >= name_.size()) {
      return false;
    }
    const char c = name_[pos];
    bool ok = false;
    switch (n.what) {
    case node::kind::any:
      ok = true;
      break;
    case node::kind::set:
      ok = n.in_set[static_cast<unsigned char>(c)];
      break;
    default:
      ok = c == n.letter;
      break;
    }
    return ok && then(pos + 1);
  }

  std::string name_;
};

} // namespace

std::optional<bool> resource_matches(std::string_view expression, std::string_view name) {
  if (expression.empty() || expression.size() >= VI_FIND_BUFLEN) {
    return std::nullopt;
  }
  const auto parsed = expression_parser(expression).parse();
  if (!parsed) {
    return std::nullopt;
  }
  return matcher(name).whole(*parsed);
}

} // namespace kesvisa
