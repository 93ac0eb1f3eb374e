// Finding and parsing resources: what a script asks before it opens one.
#include "library.h"
#include "replay.h"

#include <cstring>

using namespace kesvisa;

namespace {

// Copies text into one of the standard's 256-byte string buffers.
void copy_out(ViChar* out, const std::string& text) {
  const size_t n = text.size() < VI_FIND_BUFLEN - 1 ? text.size() : VI_FIND_BUFLEN - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

bool is_resource_manager(const session* s) { return s != nullptr && s->kind == session_kind::resource_manager; }

} // namespace

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]) {
  try {
    if (replay_on()) {
      return replay_find_rsrc(sesn, expr, vi, retCnt, desc);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    ViStatus status = VI_SUCCESS;
    std::vector<std::string> found;
    ViFindList list = VI_NULL;
    if (vi != nullptr) {
      *vi = VI_NULL;
    }
    if (retCnt != nullptr) {
      *retCnt = 0;
    }
    if (!is_resource_manager(l.find(sesn))) {
      status = VI_ERROR_INV_OBJECT;
    } else if (desc == nullptr) {
      status = VI_ERROR_USER_BUF;
    } else if (desc[0] = '\0'; expr == nullptr || !resource_matches(expr, "")) {
      status = VI_ERROR_INV_EXPR;
    } else {
      // The instruments in the configuration's order, then the interfaces
      // they sit on.
      for (const auto& inst : l.config.instruments) {
        if (resource_matches(expr, inst->name.canonical).value_or(false)) {
          found.push_back(inst->name.canonical);
        }
      }
      for (const std::string& interface : l.config.interfaces()) {
        if (resource_matches(expr, interface).value_or(false)) {
          found.push_back(interface);
        }
      }
      if (found.empty()) {
        status = VI_ERROR_RSRC_NFOUND;
      }
    }
    if (status == VI_SUCCESS) {
      copy_out(desc, found.front());
      if (retCnt != nullptr) {
        *retCnt = static_cast<ViUInt32>(found.size());
      }
      if (vi != nullptr) {
        session s;
        s.kind = session_kind::find_list;
        s.rm = sesn;
        s.found = found;
        s.given = 1;
        list = l.new_session(s);
        *vi = list;
      }
    }
    trace_find_rsrc(line.text(), sesn, expr, status, list, static_cast<ViUInt32>(found.size()),
                    status == VI_SUCCESS ? desc : nullptr);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viFindNext(ViFindList vi, ViChar desc[]) {
  try {
    if (replay_on()) {
      return replay_find_next(vi, desc);
    }
    library& l = lib();
    std::lock_guard guard(l.lock);
    trace_line line;
    session* s = l.find(vi);
    ViStatus status = VI_SUCCESS;
    if (s == nullptr || s->kind != session_kind::find_list) {
      status = VI_ERROR_INV_OBJECT;
    } else if (desc == nullptr) {
      status = VI_ERROR_USER_BUF;
    } else if (s->given >= s->found.size()) {
      desc[0] = '\0';
      status = VI_ERROR_RSRC_NFOUND;
    } else {
      copy_out(desc, s->found[s->given++]);
    }
    trace_find_next(line.text(), vi, status, status == VI_SUCCESS ? desc : nullptr);
    l.config.trace.write(line);
    return status;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

namespace {

// Both parse calls: the name's interface and, for the extended one, its
// class and canonical form. Any well-formed name parses, declared or not.
ViStatus parse_call(const char* function, ViSession rm, ViConstRsrc name, ViPUInt16 type, ViPUInt16 board,
                    ViChar* rsrc_class, ViChar* expanded, ViChar* alias, bool extended) {
  library& l = lib();
  std::lock_guard guard(l.lock);
  trace_line line;
  ViStatus status = VI_SUCCESS;
  std::optional<resource_name> parsed;
  if (!is_resource_manager(l.find(rm))) {
    status = VI_ERROR_INV_OBJECT;
  } else if (type == nullptr || board == nullptr ||
             (extended && (rsrc_class == nullptr || expanded == nullptr || alias == nullptr))) {
    status = VI_ERROR_USER_BUF;
  } else if (parsed = name != nullptr ? parse_resource(name) : std::nullopt; !parsed) {
    status = VI_ERROR_INV_RSRC_NAME;
  } else {
    *type = VI_INTF_GPIB;
    *board = parsed->board;
    if (extended) {
      copy_out(rsrc_class, parsed->interface ? "INTFC" : "INSTR");
      copy_out(expanded, parsed->canonical);
      alias[0] = '\0'; // the stand-in knows no aliases
    }
  }
  line.add("%s(%u, ", function, static_cast<unsigned>(rm));
  line.add_text(name);
  line.add(") = ");
  line.add_status(status);
  if (status == VI_SUCCESS && type != nullptr && board != nullptr) {
    line.add(" type=%u board=%u", static_cast<unsigned>(*type), static_cast<unsigned>(*board));
    if (extended) {
      line.add(" class=\"%s\" name=", rsrc_class);
      line.add_text(expanded);
    }
  }
  l.config.trace.write(line);
  return status;
}

} // namespace

ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum) {
  try {
    if (replay_on()) {
      return replay_other("viParseRsrc", rmSesn);
    }
    return parse_call("viParseRsrc", rmSesn, rsrcName, intfType, intfNum, nullptr, nullptr, nullptr, false);
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                       ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[]) {
  try {
    if (replay_on()) {
      return replay_other("viParseRsrcEx", rmSesn);
    }
    return parse_call("viParseRsrcEx", rmSesn, rsrcName, intfType, intfNum, rsrcClass, expandedUnaliasedName,
                      aliasIfExists, true);
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}
