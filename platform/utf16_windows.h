// UTF-8 text, as the programs keep it, to the UTF-16 the Windows API takes,
// and back, for the Windows files of the platform seam.
#pragma once

#include <cstddef>

// Both always terminate the result; false when the text is not valid or does
// not fit room (counted in units of the target).
bool platform_to_wide(const char* utf8, wchar_t* wide, size_t room);
bool platform_from_wide(const wchar_t* wide, char* utf8, size_t room);
