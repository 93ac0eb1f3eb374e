// kessim replay: a program against a recorded trace (kessim_replay.cpp).
#pragma once

// argv as kessim's main has it ("kessim", "replay", TRACE, ...); usage tells
// a wrong command line and returns its status. Returns kessim's status.
int replay_command(int argc, char** argv, int (*usage)(const char*));
