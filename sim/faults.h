// Faults declared in the configuration. Each fires at a fixed, countable
// point, so a run that meets one can be repeated exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ksim {

// The queries, the only commands that reply.
enum class query { mode, opc, rdmem, crc, erase, prog, count_ };
inline constexpr size_t query_count = size_t(query::count_);

enum class fault_kind { no_reply, reply, long_reply, erase_error, prog_error, boot_mode, corrupt_download };

struct fault {
  fault_kind kind = fault_kind::no_reply;
  query cmd = query::mode; // no_reply, reply, long_reply
  uint32_t n = 0;          // the n-th reply (from 1); sector; block (from 0); mode; offset
  int32_t code = 0;        // erase_error, prog_error
  std::string text;        // reply
};

inline constexpr size_t max_reply_text = 255;

// Parses the value of a `fault` line. 0, or 2 with a reason.
int parse_fault(const char* value, fault& out, char* err, size_t err_size);

} // namespace ksim
