// What `kessim run` needs of the operating system. Each platform has its own
// file; the build picks it.
#pragma once

#include <string>

enum : int { run_cannot_run = 126, run_not_found = 127 }; // as the shell tells them apart

// The stand-in VISA library beside this kessim, as an absolute path, or
// empty with the reason told on standard error.
std::string run_standin_library();

// path as an absolute path, or false with errno set.
bool run_full_path(const char* path, std::string& out);

void run_set_variable(const char* name, const std::string& value);

// Whatever else the platform's loader needs to take the stand-in's VISA
// functions for any VISA library's; false with the reason told.
bool run_point_loader(const std::string& library);

// Runs argv with this environment: in place of kessim, or as a child whose
// exit status it returns. argv[0] is looked for in PATH on POSIX; on Windows
// beside kessim, in the current folder, the system's, then PATH (".exe"
// added when it has no extension). When it
// cannot be started: the reason told, then run_not_found or run_cannot_run.
int run_program(char** argv);

// Runs argv with this environment as a child and returns its exit status
// (128 + the signal that ended it), so that kessim can speak after it; the
// interrupts that reach both wait for the child's end. When it cannot be
// started: the reason told, then run_not_found or run_cannot_run.
int run_child(char** argv);
