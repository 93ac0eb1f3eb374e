// Test-only hooks into the stand-in VISA library. The program never uses
// them; in-process tests do, to load a new configuration and to look at the
// simulated instruments behind the sessions.
#pragma once

struct sim_instrument;

// Closes every session and forgets the configuration, its instruments and
// its trace; the next viOpenDefaultRM reads the file named by KESVISA_CONFIG
// again and numbers sessions from 1 again.
void kesvisa_reset();

// The simulated instrument declared for resource in the loaded
// configuration (resource names compare as viOpen compares them), or null
// when nothing is loaded or nothing is declared there.
sim_instrument* kesvisa_instrument(const char* resource);
