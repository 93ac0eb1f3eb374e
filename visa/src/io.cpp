// Session attributes and the bus: writes, reads and device clears. Nothing
// on these paths allocates.
#include "library.h"

#include <sim.h>

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

const char* attribute_name(ViAttr attr) {
  switch (attr) {
  case VI_ATTR_SEND_END_EN:
    return "VI_ATTR_SEND_END_EN";
  case VI_ATTR_TMO_VALUE:
    return "VI_ATTR_TMO_VALUE";
  default:
    return nullptr;
  }
}

ViStatus set_attribute(session* s, ViAttr attr, ViAttrState value) {
  if (s == nullptr) {
    return VI_ERROR_INV_OBJECT;
  }
  if (s->inst == nullptr) {
    return VI_ERROR_NSUP_ATTR; // the resource manager has neither attribute
  }
  switch (attr) {
  case VI_ATTR_SEND_END_EN:
    if (value != VI_FALSE && value != VI_TRUE) {
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    s->send_end = value == VI_TRUE;
    return VI_SUCCESS;
  case VI_ATTR_TMO_VALUE:
    if (value > 0xFFFFFFFFULL) {
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    s->timeout_ms = static_cast<ViUInt32>(value);
    return VI_SUCCESS;
  default:
    return VI_ERROR_NSUP_ATTR;
  }
}

// The checks every bus call makes before it counts.
ViStatus bus_session(const session* s, const void* buffer, ViUInt32 count) {
  if (s == nullptr) {
    return VI_ERROR_INV_OBJECT;
  }
  if (s->inst == nullptr) {
    return VI_ERROR_NSUP_OPER;
  }
  if (buffer == nullptr && count > 0) {
    return VI_ERROR_USER_BUF;
  }
  return VI_SUCCESS;
}

} // namespace

ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  try {
    library& l = lib();
    std::lock_guard guard(l.lock);
    const ViStatus status = set_attribute(l.find(vi), attr, value);
    trace_line line;
    line.add("viSetAttribute(%u, ", static_cast<unsigned>(vi));
    if (const char* name = attribute_name(attr)) {
      line.add("%s", name);
    } else {
      line.add("0x%08X", static_cast<unsigned>(attr));
    }
    line.add(", %llu) = ", static_cast<unsigned long long>(value));
    line.add_status(status);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  try {
    library& l = lib();
    std::lock_guard guard(l.lock);
    session* s = l.find(vi);
    ViUInt32 sent = 0;
    // END goes with the last byte; a write of no bytes has none to carry it.
    const bool end = s != nullptr && s->inst != nullptr && s->send_end && count > 0;
    ViStatus status = bus_session(s, buf, count);
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
    trace_line line;
    line.add("viWrite(%u, ", static_cast<unsigned>(vi));
    if (buf == nullptr && count > 0) {
      line.add("NULL");
    } else {
      line.add_data(buf, count);
    }
    line.add("%s, %u) = ", end ? " END" : "", static_cast<unsigned>(count));
    line.add_status(status);
    if (status >= VI_SUCCESS) {
      line.add(" sent=%u", static_cast<unsigned>(sent));
    }
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  try {
    library& l = lib();
    std::lock_guard guard(l.lock);
    session* s = l.find(vi);
    ViUInt32 got = 0;
    bool end = false;
    ViStatus status = bus_session(s, buf, count);
    if (status == VI_SUCCESS) {
      if (const fault* f = meet_fault(*s->inst, call::read)) {
        status = f->status;
      } else if (!reach_bus(*s->inst)) {
        status = VI_ERROR_CONN_LOST;
      } else {
        ViByte spare = 0; // room for nothing, where the caller gave no buffer
        uint32_t taken = 0;
        if (sim_take_reply(s->inst->sim, buf != nullptr ? buf : &spare, count, &taken, &end)) {
          got = taken < count ? taken : count;
          status = end ? VI_SUCCESS : VI_SUCCESS_MAX_CNT;
        } else {
          wait_scaled(s->timeout_ms, l.config.timeout_scale);
          status = VI_ERROR_TMO;
        }
      }
    }
    if (ret_count != nullptr) {
      *ret_count = got;
    }
    trace_line line;
    line.add("viRead(%u, %u) = ", static_cast<unsigned>(vi), static_cast<unsigned>(count));
    line.add_status(status);
    if (status >= VI_SUCCESS) {
      line.add(" ");
      line.add_data(buf, got);
      if (end) {
        line.add(" END");
      }
    }
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viClear(ViSession vi) {
  try {
    library& l = lib();
    std::lock_guard guard(l.lock);
    session* s = l.find(vi);
    ViStatus status = bus_session(s, &vi, 0);
    if (status == VI_SUCCESS) {
      if (const fault* f = meet_fault(*s->inst, call::clear)) {
        status = f->status;
      } else if (!reach_bus(*s->inst)) {
        status = VI_ERROR_CONN_LOST;
      } else {
        sim_clear(s->inst->sim);
      }
    }
    trace_line line;
    line.add("viClear(%u) = ", static_cast<unsigned>(vi));
    line.add_status(status);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}
