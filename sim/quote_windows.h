// One argument of a Windows command line, written so that the C library and
// CommandLineToArgvW split it back as it was: quoted when it holds a blank or
// a quote or is empty; backslashes doubled only before a quote. For kessim
// run and the tests, which start programs with CreateProcessW.
#pragma once

#include <string>

inline std::wstring windows_quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}
