// The simulated Kestrune instrument, as the stand-in VISA library sees it:
// bytes go in as GPIB messages, replies come out. Nothing here knows VISA.
#pragma once

#include <cstddef>
#include <cstdint>

struct sim_instrument;

// Lifecycle, driven by the stand-in's configuration loader.
// sim_create: a new instrument with default settings (nothing opened yet).
sim_instrument* sim_create();
// sim_configure: one `key = value` line of the instrument's section.
// Returns 0 when taken, 1 when the key is not the instrument's (the caller
// may own it), 2 when the value is bad; on 2 a one-line reason is in err.
int sim_configure(sim_instrument* inst, const char* key, const char* value, char* err, size_t err_size);
// sim_start: after the whole section was read; opens or creates the state
// file. Returns 0, or 2 with a reason in err.
int sim_start(sim_instrument* inst, char* err, size_t err_size);
void sim_destroy(sim_instrument* inst);

// Bus side. sim_receive: bytes written by the controller; end is true when
// END came with the last of them. A message is complete only with END; bytes
// without END accumulate. The instrument acts on each complete message
// before returning (and may take its modelled time doing so).
void sim_receive(sim_instrument* inst, const uint8_t* data, size_t length, bool end);
// sim_take_reply: false when no reply is waiting. Otherwise copies up to
// room bytes of the pending reply into buf, stores their number in count
// (0 for an empty reply) and sets end when the reply's last byte was among
// them; the rest of a longer reply stays for the next call.
bool sim_take_reply(sim_instrument* inst, uint8_t* buf, uint32_t room, uint32_t* count, bool* end);
// sim_clear: device clear: input and output are dropped, a data transfer
// under way is aborted.
void sim_clear(sim_instrument* inst);

// Inspection, for the companion command and for tests.
// sim_peek: copies memory (RAM 0x800000.., flash 0xFFE00000..) into out;
// false when the range is not all inside one memory, or when the state file
// can no longer be read (another process cut it short).
bool sim_peek(const sim_instrument* inst, uint32_t address, uint8_t* out, uint32_t length);
// sim_mode: the present mode; -1 before the start or once the state failed.
int32_t sim_mode(const sim_instrument* inst);
