// The errno the C library would give for a Windows error, so that messages
// say "No such file or directory" where Linux says it, for the Windows files
// of the programs and of the stand-in.
#pragma once

int platform_errno(unsigned long windows_error);
