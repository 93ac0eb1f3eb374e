// UTF-8 and UTF-16 for the Windows API.
#include "utf16_windows.h"

#include <climits>
#include <windows.h>

bool platform_to_wide(const char* utf8, wchar_t* wide, size_t room) {
  const int units = room > INT_MAX ? INT_MAX : static_cast<int>(room);
  if (units == 0) {
    return false;
  }
  // -1: the terminator is converted too.
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, units) == 0) {
    wide[0] = L'\0';
    return false;
  }
  return true;
}

bool platform_from_wide(const wchar_t* wide, char* utf8, size_t room) {
  const int bytes = room > INT_MAX ? INT_MAX : static_cast<int>(room);
  if (bytes == 0) {
    return false;
  }
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8, bytes, nullptr, nullptr) == 0) {
    utf8[0] = '\0';
    return false;
  }
  return true;
}
