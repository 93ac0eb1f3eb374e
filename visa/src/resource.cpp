// Resource strings of the one form the stand-in serves: NAME::N::INSTR.
#include "library.h"

#include <charconv>

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

} // namespace

// As in VISA, names compare without regard to case, and the address as a
// number: "gpib0::017::instr" is "GPIB0::17::INSTR".
std::optional<std::string> canonical_resource(std::string_view text) {
  const size_t first = text.find("::");
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  const size_t second = text.find("::", first + 2);
  if (second == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view name = text.substr(0, first);
  const std::string_view address = text.substr(first + 2, second - first - 2);
  const std::string_view kind = text.substr(second + 2);

  if (name.empty() || !is_letter(name.front())) {
    return std::nullopt;
  }
  for (const char c : name) {
    if (!is_letter(c) && !is_digit(c)) {
      return std::nullopt;
    }
  }
  uint32_t number = 0;
  const char* end = address.data() + address.size();
  const auto [stop, error] = std::from_chars(address.data(), end, number, 10);
  if (address.empty() || !is_digit(address.front()) || error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  if (!same_letters(kind, "INSTR")) {
    return std::nullopt;
  }
  std::string out;
  for (const char c : name) {
    out += upper(c);
  }
  out += "::";
  out += std::to_string(number);
  out += "::INSTR";
  return out;
}

} // namespace kesvisa
