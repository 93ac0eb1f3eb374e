// Command-line front end: the run settings and the option parser. The
// progress flag `verbose` lives with the phases that print (update.h).
#pragma once

#include <cstdint>

extern int32_t gpib_address;
extern const char* interface_name; // null: the link's default interface
extern const char* image_path;
extern bool reboot_after;

// Fills the run settings; on a bad command line prints the usage text and
// ends the process with status 2.
void parse_options(int argc, char** argv);
void usage();
