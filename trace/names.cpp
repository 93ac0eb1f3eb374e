// The VISA facts a trace needs: status and attribute names, and the width
// viGetAttribute stores each attribute in. Values are the VISA standard's.
#include "trace.h"

#include <array>

namespace {

struct status_entry {
  int32_t status;
  const char* name;
};

constexpr int32_t code(uint32_t bits) { return static_cast<int32_t>(bits); }

constexpr std::array<status_entry, 42> status_names{{
    {code(0x00000000U), "VI_SUCCESS"},
    {code(0x3FFF0002U), "VI_SUCCESS_EVENT_EN"},
    {code(0x3FFF0003U), "VI_SUCCESS_EVENT_DIS"},
    {code(0x3FFF0004U), "VI_SUCCESS_QUEUE_EMPTY"},
    {code(0x3FFF0005U), "VI_SUCCESS_TERM_CHAR"},
    {code(0x3FFF0006U), "VI_SUCCESS_MAX_CNT"},
    {code(0x3FFF007DU), "VI_SUCCESS_DEV_NPRESENT"},
    {code(0x3FFF0098U), "VI_SUCCESS_NESTED_SHARED"},
    {code(0x3FFF0099U), "VI_SUCCESS_NESTED_EXCLUSIVE"},
    {code(0x3FFF0077U), "VI_WARN_CONFIG_NLOADED"},
    {code(0x3FFF0082U), "VI_WARN_NULL_OBJECT"},
    {code(0x3FFF0084U), "VI_WARN_NSUP_ATTR_STATE"},
    {code(0x3FFF0085U), "VI_WARN_UNKNOWN_STATUS"},
    {code(0xBFFF0000U), "VI_ERROR_SYSTEM_ERROR"},
    {code(0xBFFF000EU), "VI_ERROR_INV_OBJECT"},
    {code(0xBFFF000FU), "VI_ERROR_RSRC_LOCKED"},
    {code(0xBFFF0010U), "VI_ERROR_INV_EXPR"},
    {code(0xBFFF0011U), "VI_ERROR_RSRC_NFOUND"},
    {code(0xBFFF0012U), "VI_ERROR_INV_RSRC_NAME"},
    {code(0xBFFF0013U), "VI_ERROR_INV_ACC_MODE"},
    {code(0xBFFF0015U), "VI_ERROR_TMO"},
    {code(0xBFFF0016U), "VI_ERROR_CLOSING_FAILED"},
    {code(0xBFFF001DU), "VI_ERROR_NSUP_ATTR"},
    {code(0xBFFF001EU), "VI_ERROR_NSUP_ATTR_STATE"},
    {code(0xBFFF001FU), "VI_ERROR_ATTR_READONLY"},
    {code(0xBFFF0020U), "VI_ERROR_INV_LOCK_TYPE"},
    {code(0xBFFF0026U), "VI_ERROR_INV_EVENT"},
    {code(0xBFFF0027U), "VI_ERROR_INV_MECH"},
    {code(0xBFFF0030U), "VI_ERROR_ABORT"},
    {code(0xBFFF0034U), "VI_ERROR_OUTP_PROT_VIOL"},
    {code(0xBFFF0036U), "VI_ERROR_INP_PROT_VIOL"},
    {code(0xBFFF003AU), "VI_ERROR_INV_SETUP"},
    {code(0xBFFF003CU), "VI_ERROR_ALLOC"},
    {code(0xBFFF003EU), "VI_ERROR_IO"},
    {code(0xBFFF005FU), "VI_ERROR_NLISTENERS"},
    {code(0xBFFF0067U), "VI_ERROR_NSUP_OPER"},
    {code(0xBFFF0071U), "VI_ERROR_USER_BUF"},
    {code(0xBFFF0072U), "VI_ERROR_RSRC_BUSY"},
    {code(0xBFFF0078U), "VI_ERROR_INV_PARAMETER"},
    {code(0xBFFF0081U), "VI_ERROR_NIMPL_OPER"},
    {code(0xBFFF009EU), "VI_ERROR_LIBRARY_NFOUND"},
    {code(0xBFFF00A6U), "VI_ERROR_CONN_LOST"},
}};

struct attribute_entry {
  uint32_t attribute;
  const char* name;
  size_t width; // bytes viGetAttribute stores; 0 for a string
};

constexpr std::array<attribute_entry, 17> attribute_names{{
    {0x3FFF0016U, "VI_ATTR_SEND_END_EN", 2},
    {0x3FFF001AU, "VI_ATTR_TMO_VALUE", 4},
    {0x3FFF0018U, "VI_ATTR_TERMCHAR", 1},
    {0x3FFF0038U, "VI_ATTR_TERMCHAR_EN", 2},
    {0xBFFF0002U, "VI_ATTR_RSRC_NAME", 0},
    {0xBFFF0001U, "VI_ATTR_RSRC_CLASS", 0},
    {0x3FFF0004U, "VI_ATTR_RSRC_LOCK_STATE", 4},
    {0x3FFF00C4U, "VI_ATTR_RM_SESSION", 4},
    {0x3FFF0171U, "VI_ATTR_INTF_TYPE", 2},
    {0x3FFF0176U, "VI_ATTR_INTF_NUM", 2},
    {0x3FFF0172U, "VI_ATTR_GPIB_PRIMARY_ADDR", 2},
    {0x3FFF0173U, "VI_ATTR_GPIB_SECONDARY_ADDR", 2},
    {0xBFFF0174U, "VI_ATTR_RSRC_MANF_NAME", 0},
    {0x3FFF0175U, "VI_ATTR_RSRC_MANF_ID", 2},
    {0x3FFF0003U, "VI_ATTR_RSRC_IMPL_VERSION", 4},
    {0x3FFF0170U, "VI_ATTR_RSRC_SPEC_VERSION", 4},
    {0xBFFF0003U, "VI_ATTR_INTF_INST_NAME", 0},
}};

const attribute_entry* find_attribute(uint32_t attribute) {
  for (const attribute_entry& entry : attribute_names) {
    if (entry.attribute == attribute) {
      return &entry;
    }
  }
  return nullptr;
}

} // namespace

const char* trace_status_name(int32_t status) {
  for (const status_entry& entry : status_names) {
    if (entry.status == status) {
      return entry.name;
    }
  }
  return nullptr;
}

bool trace_status_from_name(std::string_view name, int32_t& status) {
  for (const status_entry& entry : status_names) {
    if (name == entry.name) {
      status = entry.status;
      return true;
    }
  }
  return false;
}

const char* trace_attribute_name(uint32_t attribute) {
  const attribute_entry* entry = find_attribute(attribute);
  return entry != nullptr ? entry->name : nullptr;
}

bool trace_attribute_known(uint32_t attribute) { return find_attribute(attribute) != nullptr; }

size_t trace_attribute_width(uint32_t attribute) {
  const attribute_entry* entry = find_attribute(attribute);
  return entry != nullptr ? entry->width : 0;
}
