// The resource manager and the sessions: loading the configuration,
// opening and closing.
#include "library.h"
#include "replay.h"

#pragma GCC visibility push(default)
#include "kesvisa.h"
#pragma GCC visibility pop

#include <files.h> // the environment in UTF-8

namespace kesvisa {

library& lib() {
  static library the_library;
  return the_library;
}

session* library::find(ViSession vi) {
  if (vi == VI_NULL) {
    return nullptr;
  }
  const auto it = sessions.find(vi);
  return it == sessions.end() ? nullptr : &it->second;
}

ViSession library::next_number() const {
  ViSession number = next_session;
  while (number == VI_NULL || sessions.contains(number)) {
    ++number;
  }
  return number;
}

ViSession library::new_session(const session& s) {
  const ViSession number = next_number();
  sessions.emplace(number, s);
  next_session = number + 1;
  return number;
}

void library::reset() {
  sessions.clear();
  config = configuration{};
  state = load_state::unloaded;
  next_session = 1;
  rm = VI_NULL;
  rm_calls = 0;
}

namespace {

// viOpen's access modes: an exclusive lock or none, with or without
// VI_LOAD_CONFIG, which has nothing to load here (no attribute is kept
// between sessions). A shared lock is viLock's, never viOpen's.
bool known_access_mode(ViAccessMode mode) { return (mode & ~(VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG)) == 0; }

// The first call of a process, or the first after kesvisa_reset, reads the
// file that KESVISA_CONFIG names; without one, no instrument is attached.
void ensure_loaded(library& l) {
  if (l.state != load_state::unloaded) {
    return;
  }
  const char* path = ksim::process_variable("KESVISA_CONFIG");
  if (path == nullptr || path[0] == '\0') {
    l.state = load_state::loaded;
    return;
  }
  l.state = load_configuration(path, l.config) ? load_state::loaded : load_state::failed;
}

} // namespace

} // namespace kesvisa

using namespace kesvisa;

ViStatus viOpenDefaultRM(ViPSession vi) {
  try {
    if (replay_on()) {
      return replay_open_default_rm(vi);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    ensure_loaded(l);
    if (l.state == load_state::failed) {
      if (vi != nullptr) {
        *vi = VI_NULL;
      }
      return VI_ERROR_INV_SETUP;
    }
    ViStatus status = VI_SUCCESS;
    if (vi == nullptr) {
      status = VI_ERROR_USER_BUF;
    } else {
      const fault* f = find_fault(l.config.rm_faults, call::open_default_rm, ++l.rm_calls);
      status = f != nullptr ? f->status : VI_SUCCESS;
      if (status < VI_SUCCESS) {
        *vi = VI_NULL;
      } else {
        if (l.rm == VI_NULL) {
          l.rm = l.new_session(session{});
        }
        *vi = l.rm;
      }
    }
    trace_open_default_rm(line.text(), status, vi != nullptr ? *vi : VI_NULL);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi) {
  try {
    if (replay_on()) {
      return replay_open(sesn, name, mode, timeout, vi);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    const session* rm = l.find(sesn);
    ViStatus status = VI_SUCCESS;
    if (rm == nullptr || rm->kind != session_kind::resource_manager) {
      status = VI_ERROR_INV_OBJECT;
    } else if (vi == nullptr) {
      status = VI_ERROR_USER_BUF;
    } else if (*vi = VI_NULL; !known_access_mode(mode)) {
      status = VI_ERROR_INV_ACC_MODE;
    } else {
      const auto parsed = name != nullptr ? parse_resource(name) : std::nullopt;
      instrument* inst = parsed ? l.config.find(*parsed) : nullptr;
      if (!parsed) {
        status = VI_ERROR_INV_RSRC_NAME;
      } else if (inst == nullptr) {
        status =
            parsed->interface && l.config.has_interface(parsed->canonical) ? VI_ERROR_NIMPL_OPER : VI_ERROR_RSRC_NFOUND;
      } else {
        const auto count = ++inst->calls[static_cast<size_t>(call::open)];
        const fault* f = find_fault(inst->faults, call::open, count);
        status = f != nullptr ? f->status : VI_SUCCESS;
        // The lock is the new session's, taken before the session opens.
        const bool locking = (mode & VI_EXCLUSIVE_LOCK) != 0;
        const ViSession number = l.next_number();
        if (status >= VI_SUCCESS && locking) {
          if (const ViStatus locked = take_lock(*inst, number, timeout, l.config.timeout_scale); locked != VI_SUCCESS) {
            status = locked;
          }
        }
        if (status >= VI_SUCCESS) {
          session s;
          s.kind = session_kind::instrument;
          s.inst = inst;
          s.rm = sesn;
          try {
            *vi = l.new_session(s);
          } catch (...) {
            release_lock(*inst, number);
            throw;
          }
        }
      }
    }
    trace_open(line.text(), sesn, name, mode, timeout, status, vi != nullptr ? *vi : VI_NULL);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viClose(ViObject vi) {
  try {
    if (replay_on()) {
      return replay_close(vi);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    session* s = l.find(vi);
    ViStatus status = VI_SUCCESS;
    if (vi == VI_NULL) {
      status = VI_WARN_NULL_OBJECT; // closing nothing is harmless, as VISA has it
    } else if (s == nullptr) {
      status = VI_ERROR_INV_OBJECT;
    } else if (s->kind == session_kind::find_list) {
      l.sessions.erase(vi);
    } else if (s->kind == session_kind::instrument) {
      const auto count = ++s->inst->calls[static_cast<size_t>(call::close)];
      const fault* f = find_fault(s->inst->faults, call::close, count);
      if (f != nullptr) {
        status = f->status;
      } else {
        release_lock(*s->inst, vi);
        l.sessions.erase(vi);
      }
    } else {
      // Closing the resource manager closes every session opened through it.
      for (auto& [number, opened] : l.sessions) {
        if (opened.rm == vi && opened.inst != nullptr) {
          release_lock(*opened.inst, number);
        }
      }
      std::erase_if(l.sessions, [vi](const auto& entry) { return entry.second.rm == vi; });
      l.sessions.erase(vi);
      l.rm = VI_NULL;
    }
    trace_close(line.text(), vi, status);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

namespace {

// No event can be enabled on the stand-in: disabling finds each disabled
// already and discarding finds each queue empty.
ViStatus event_call(const char* function, ViSession vi, ViEventType event, ViUInt16 mechanism, ViStatus nothing_to_do) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  trace_line line;
  const session* s = l.find(vi);
  ViStatus status = nothing_to_do;
  const bool known_event = event == VI_ALL_ENABLED_EVENTS || event == VI_EVENT_SERVICE_REQ ||
                           event == VI_EVENT_IO_COMPLETION || event == VI_EVENT_CLEAR;
  const bool known_mechanism = mechanism == VI_ALL_MECH || (mechanism != 0 && (mechanism & ~0x7U) == 0);
  if (s == nullptr || s->kind == session_kind::find_list) {
    status = VI_ERROR_INV_OBJECT;
  } else if (!known_event) {
    status = VI_ERROR_INV_EVENT;
  } else if (!known_mechanism) {
    status = VI_ERROR_INV_MECH;
  }
  line.add("%s(%u, 0x%08X, %u) = ", function, static_cast<unsigned>(vi), static_cast<unsigned>(event),
           static_cast<unsigned>(mechanism));
  line.add_status(status);
  l.config.trace.write(line);
  return status;
}

} // namespace

ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  try {
    if (replay_on()) {
      return replay_other("viDisableEvent", vi);
    }
    return event_call("viDisableEvent", vi, eventType, mechanism, VI_SUCCESS_EVENT_DIS);
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  try {
    if (replay_on()) {
      return replay_other("viDiscardEvents", vi);
    }
    return event_call("viDiscardEvents", vi, eventType, mechanism, VI_SUCCESS_QUEUE_EMPTY);
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

void kesvisa_reset() {
  library& l = lib();
  std::lock_guard guard(l.lock);
  l.reset();
}

sim_instrument* kesvisa_instrument(const char* resource) {
  try {
    library& l = lib();
    std::lock_guard guard(l.lock);
    if (resource == nullptr || l.state != load_state::loaded) {
      return nullptr;
    }
    const auto parsed = parse_resource(resource);
    const instrument* inst = parsed ? l.config.find(*parsed) : nullptr;
    return inst != nullptr ? inst->sim : nullptr;
  } catch (...) {
    return nullptr;
  }
}
