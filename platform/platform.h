// What the programs ask of the operating system beyond standard C++, apart
// from the VISA link's own needs (link.h) and the files they read and write
// (image/file.h, tools/kesimage/files.h): the command line and the standard
// streams. Each platform has its own files; the build picks them.
#pragma once

// Called first in main: leaves argc and argv as the programs read them, each
// argument in UTF-8, and standard output and error ready for UTF-8 text.
void platform_start(int* argc, char*** argv);

// A standard stream that was closed would be taken by the next file opened,
// the VISA library's own included, and the progress would go there: each one
// missing is opened on the null device first. True when standard output was
// one of them: a report written there is lost.
bool platform_open_missing_streams();

// A reader of standard output that went away is a write that fails (EPIPE),
// not the end of the process, for programs that must report it.
void platform_ignore_broken_pipe();

// The platform the programs were built for, as a report names it.
const char* platform_name();

// The C library's getopt as GNU reads a command line: options after operands
// are read too, "--" ends the options, and POSIXLY_CORRECT in the
// environment stops at the first operand.
int platform_getopt(int argc, char** argv, const char* options);
