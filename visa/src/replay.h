// Replay mode: with KESVISA_REPLAY naming a trace (the environment `kessim
// replay` sets), the library reads no configuration and answers every VISA
// call as the recording did, as long as the call is the one recorded. See
// sim/README.md, kessim replay.
#pragma once

#include "library.h"

namespace kesvisa {

// Whether this process replays a recording; asked at every call, decided
// at the first.
bool replay_on();

ViStatus replay_open_default_rm(ViPSession vi);
ViStatus replay_open(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi);
ViStatus replay_close(ViObject vi);
ViStatus replay_set_attribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus replay_get_attribute(ViObject vi, ViAttr attr, void* value);
ViStatus replay_write(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 sent);
ViStatus replay_read(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 got);
ViStatus replay_clear(ViSession vi);
ViStatus replay_find_rsrc(ViSession rm, ViConstString expr, ViPFindList list, ViPUInt32 count, ViChar desc[]);
ViStatus replay_find_next(ViFindList list, ViChar desc[]);
// A call no recording of the programs holds (viParseRsrc, viStatusDesc, ...).
ViStatus replay_other(const char* function, ViObject vi);

// The platform's way to deliver a recorded interrupt to this process:
// SIGINT or SIGTERM, or on Windows a Ctrl-C event (replay_<platform>.cpp).
void replay_raise(std::string_view interrupt);

} // namespace kesvisa
