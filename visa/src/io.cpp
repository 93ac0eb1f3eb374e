// Session attributes and the bus: writes, reads and device clears. Nothing
// on these paths allocates.
#include "library.h"
#include "replay.h"

#include <sim.h>

#include <cstring>

using namespace kesvisa;

namespace {

// Counts one call of its kind on the instrument; the fault it meets, if any.
const fault* meet_fault(instrument& inst, call which) {
  const auto count = ++inst.calls[static_cast<size_t>(which)];
  return find_fault(inst.faults, which, count);
}

// Counts a bus transaction; false once the cable is pulled.
bool reach_bus(instrument& inst) {
  ++inst.transactions;
  return !inst.cable_set || inst.transactions <= inst.cable;
}

// The library's identity, which the resource manager and instrument
// sessions show. It has no manufacturer ID of its own to give
// (VI_ATTR_RSRC_MANF_ID): any number would name some vendor's VISA.
bool identity(ViAttr attr) {
  return attr == VI_ATTR_RSRC_MANF_NAME || attr == VI_ATTR_RSRC_IMPL_VERSION || attr == VI_ATTR_RSRC_SPEC_VERSION;
}

// The attributes an instrument session only shows.
bool read_only(ViAttr attr) {
  if (identity(attr)) {
    return true;
  }
  switch (attr) {
  case VI_ATTR_RSRC_NAME:
  case VI_ATTR_RSRC_CLASS:
  case VI_ATTR_RSRC_LOCK_STATE:
  case VI_ATTR_RM_SESSION:
  case VI_ATTR_INTF_TYPE:
  case VI_ATTR_INTF_NUM:
  case VI_ATTR_GPIB_PRIMARY_ADDR:
  case VI_ATTR_GPIB_SECONDARY_ADDR:
    return true;
  default:
    return false;
  }
}

ViStatus set_attribute(session* s, ViAttr attr, ViAttrState value) {
  if (s == nullptr) {
    return VI_ERROR_INV_OBJECT;
  }
  if (s->kind != session_kind::instrument) {
    // The resource manager shows the identity only; find lists have none.
    return s->kind == session_kind::resource_manager && identity(attr) ? VI_ERROR_ATTR_READONLY : VI_ERROR_NSUP_ATTR;
  }
  // These are every session's own (local, in VISA's terms): a lock held by
  // another session does not keep them from being set.
  switch (attr) {
  case VI_ATTR_SEND_END_EN:
  case VI_ATTR_TERMCHAR_EN:
    if (value != VI_FALSE && value != VI_TRUE) {
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    (attr == VI_ATTR_SEND_END_EN ? s->send_end : s->termchar_en) = value == VI_TRUE;
    return VI_SUCCESS;
  case VI_ATTR_TERMCHAR:
    if (value > 0xFF) {
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    s->termchar = static_cast<ViUInt8>(value);
    return VI_SUCCESS;
  case VI_ATTR_TMO_VALUE:
    if (value > 0xFFFFFFFFULL) {
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    s->timeout_ms = static_cast<ViUInt32>(value);
    return VI_SUCCESS;
  default:
    return read_only(attr) ? VI_ERROR_ATTR_READONLY : VI_ERROR_NSUP_ATTR;
  }
}

// An attribute's value as viGetAttribute stores it: a number of its own
// width, or a string.
struct attribute_value {
  ViStatus status = VI_SUCCESS;
  uint64_t number = 0;
  size_t width = 0; // bytes of number to store; 0 for a string
  const char* text = nullptr;
};

attribute_value failed(ViStatus status) {
  attribute_value v;
  v.status = status;
  return v;
}

template <typename T> attribute_value number_of(uint64_t value) { return {VI_SUCCESS, value, sizeof(T), nullptr}; }

attribute_value get_attribute(const session* s, ViSession vi, ViAttr attr) {
  if (s == nullptr) {
    return failed(VI_ERROR_INV_OBJECT);
  }
  if (s->kind != session_kind::find_list) {
    switch (attr) {
    case VI_ATTR_RSRC_MANF_NAME:
      return {VI_SUCCESS, 0, 0, "kesload stand-in VISA"};
    case VI_ATTR_RSRC_IMPL_VERSION:
      return number_of<ViVersion>(KESVISA_IMPL_VERSION);
    case VI_ATTR_RSRC_SPEC_VERSION:
      return number_of<ViVersion>(VI_SPEC_VERSION);
    default:
      break;
    }
  }
  if (s->kind != session_kind::instrument) {
    return failed(VI_ERROR_NSUP_ATTR);
  }
  const resource_name& name = s->inst->name;
  switch (attr) {
  case VI_ATTR_SEND_END_EN:
    return number_of<ViBoolean>(s->send_end ? VI_TRUE : VI_FALSE);
  case VI_ATTR_TERMCHAR_EN:
    return number_of<ViBoolean>(s->termchar_en ? VI_TRUE : VI_FALSE);
  case VI_ATTR_TERMCHAR:
    return number_of<ViUInt8>(s->termchar);
  case VI_ATTR_TMO_VALUE:
    return number_of<ViUInt32>(s->timeout_ms);
  case VI_ATTR_RSRC_NAME:
    return {VI_SUCCESS, 0, 0, name.canonical.c_str()};
  case VI_ATTR_RSRC_CLASS:
    return {VI_SUCCESS, 0, 0, "INSTR"};
  case VI_ATTR_RSRC_LOCK_STATE: {
    // The resource's state, whichever session holds the lock.
    const auto state = lock_state(*s->inst, vi);
    return state ? number_of<ViAccessMode>(*state) : failed(VI_ERROR_SYSTEM_ERROR);
  }
  case VI_ATTR_RM_SESSION:
    return number_of<ViSession>(s->rm);
  case VI_ATTR_INTF_TYPE:
    return number_of<ViUInt16>(VI_INTF_GPIB);
  case VI_ATTR_INTF_NUM:
    return number_of<ViUInt16>(name.board);
  case VI_ATTR_GPIB_PRIMARY_ADDR:
    return number_of<ViUInt16>(name.primary);
  case VI_ATTR_GPIB_SECONDARY_ADDR:
    return number_of<ViUInt16>(name.secondary);
  default:
    return failed(VI_ERROR_NSUP_ATTR);
  }
}

void store(void* out, const attribute_value& v) {
  if (v.text != nullptr) {
    const size_t length = std::strlen(v.text);
    const size_t n = length < VI_FIND_BUFLEN - 1 ? length : VI_FIND_BUFLEN - 1;
    std::memcpy(out, v.text, n);
    static_cast<char*>(out)[n] = '\0';
    return;
  }
  switch (v.width) {
  case 1: {
    const auto x = static_cast<uint8_t>(v.number);
    std::memcpy(out, &x, 1);
    break;
  }
  case 2: {
    const auto x = static_cast<uint16_t>(v.number);
    std::memcpy(out, &x, 2);
    break;
  }
  default: {
    const auto x = static_cast<uint32_t>(v.number);
    std::memcpy(out, &x, 4);
    break;
  }
  }
}

// The checks every bus call makes before it counts: a call another
// session's lock refuses is no call on the instrument.
ViStatus bus_session(const session* s, ViSession vi, const void* buffer, ViUInt32 count) {
  if (s == nullptr) {
    return VI_ERROR_INV_OBJECT;
  }
  if (s->kind != session_kind::instrument) {
    return VI_ERROR_NSUP_OPER;
  }
  if (buffer == nullptr && count > 0) {
    return VI_ERROR_USER_BUF;
  }
  return lock_allows(*s->inst, vi);
}

// The reply up to and with the termination character, the room's worth, or
// the whole reply, whichever is shortest: byte by byte, so that what follows
// the character stays for the next read. False when no reply is waiting.
bool take_to_termchar(const session& s, ViByte* buf, ViUInt32 room, ViUInt32& got, bool& end, bool& term) {
  got = 0;
  while (got < room) {
    uint32_t n = 0;
    if (!sim_take_reply(s.inst->sim, buf + got, 1, &n, &end)) {
      return got > 0;
    }
    got += n;
    if (end) {
      return true;
    }
    if (n == 1 && buf[got - 1] == s.termchar) {
      term = true;
      return true;
    }
  }
  return true;
}

} // namespace

ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  try {
    if (replay_on()) {
      return replay_set_attribute(vi, attr, value);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    const ViStatus status = set_attribute(l.find(vi), attr, value);
    trace_set_attribute(line.text(), vi, attr, value, status);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void* attrValue) {
  try {
    if (replay_on()) {
      return replay_get_attribute(vi, attrName, attrValue);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    attribute_value value = get_attribute(l.find(vi), vi, attrName);
    if (value.status == VI_SUCCESS && attrValue == nullptr) {
      value.status = VI_ERROR_USER_BUF;
    }
    if (value.status == VI_SUCCESS) {
      store(attrValue, value);
    }
    trace_get_attribute(line.text(), vi, attrName, value.status, value.text, value.number);
    l.config.trace.write(line);
    return value.status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  try {
    if (replay_on()) {
      return replay_write(vi, buf, count, ret_count);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    session* s = l.find(vi);
    ViUInt32 sent = 0;
    // END goes with the last byte; a write of no bytes has none to carry it.
    const bool end = s != nullptr && s->inst != nullptr && s->send_end && count > 0;
    ViStatus status = bus_session(s, vi, buf, count);
    if (status == VI_SUCCESS) {
      if (const fault* f = meet_fault(*s->inst, call::write)) {
        status = f->status;
      } else if (!reach_bus(*s->inst)) {
        status = VI_ERROR_CONN_LOST;
      } else if (count > 0) {
        sim_receive(s->inst->sim, buf, count, end);
        sent = count;
      }
    }
    if (ret_count != nullptr) {
      *ret_count = sent;
    }
    if (!l.config.trace.on()) {
      return status; // no trace: spare the data's CRC
    }
    trace_write(line.text(), vi, buf, count, end, status, sent);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  try {
    if (replay_on()) {
      return replay_read(vi, buf, count, ret_count);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    session* s = l.find(vi);
    ViUInt32 got = 0;
    bool end = false;
    ViStatus status = bus_session(s, vi, buf, count);
    if (status == VI_SUCCESS) {
      if (const fault* f = meet_fault(*s->inst, call::read)) {
        status = f->status;
      } else if (!reach_bus(*s->inst)) {
        status = VI_ERROR_CONN_LOST;
      } else {
        bool replied = false;
        bool term = false;
        if (s->termchar_en && count > 0) {
          replied = take_to_termchar(*s, buf, count, got, end, term);
        } else {
          ViByte spare = 0; // room for nothing, where the caller gave no buffer
          uint32_t taken = 0;
          replied = sim_take_reply(s->inst->sim, buf != nullptr ? buf : &spare, count, &taken, &end);
          got = taken < count ? taken : count;
        }
        if (replied) {
          // END decides over the termination character when both came.
          status = end ? VI_SUCCESS : term ? VI_SUCCESS_TERM_CHAR : VI_SUCCESS_MAX_CNT;
        } else {
          wait_scaled(s->timeout_ms, l.config.timeout_scale);
          status = VI_ERROR_TMO;
        }
      }
    }
    if (ret_count != nullptr) {
      *ret_count = got;
    }
    trace_read(line.text(), vi, count, status, buf, got);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viClear(ViSession vi) {
  try {
    if (replay_on()) {
      return replay_clear(vi);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    session* s = l.find(vi);
    ViStatus status = bus_session(s, vi, &vi, 0);
    if (status == VI_SUCCESS) {
      if (const fault* f = meet_fault(*s->inst, call::clear)) {
        status = f->status;
      } else if (!reach_bus(*s->inst)) {
        status = VI_ERROR_CONN_LOST;
      } else {
        sim_clear(s->inst->sim);
      }
    }
    trace_clear_call(line.text(), vi, status);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}
