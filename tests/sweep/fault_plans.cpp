#include "fault_plans.h"

namespace {

std::string reply_fault(const transaction& t, const std::string& text) {
  return "fault = reply " + t.query + " " + std::to_string(t.reply_number) + (text.empty() ? "" : " " + text);
}

std::string timeout_message(bus_call call) { return std::string(call_name(call)) + ": timeout\n"; }

bool answers(const transaction& t, const char* query) { return t.call == bus_call::read && t.query == query; }

std::optional<plan> visa_error(const transaction& t) {
  return plan{"fail = " + std::string(call_name(t.call)) + " " + std::to_string(t.nth) + " VI_ERROR_IO", outcome::fails,
              timeout_message(t.call)};
}

std::optional<plan> cable_pulled(const transaction& t) {
  return plan{"cable = " + std::to_string(t.k - 1), outcome::fails, timeout_message(t.call)};
}

std::optional<plan> no_reply(const transaction& t) {
  if (t.call != bus_call::read) {
    return std::nullopt;
  }
  return plan{"fault = no-reply " + t.query + " " + std::to_string(t.reply_number), outcome::fails,
              "viRead: timeout\n"};
}

std::optional<plan> empty_reply(const transaction& t) {
  if (t.call != bus_call::read) {
    return std::nullopt;
  }
  const std::string line = reply_fault(t, "");
  // The program waits on *OPC? without judging the reply, and an empty
  // mode reply reads as 0: harmless where the instrument is in BOOTROM.
  if (answers(t, "*OPC?") || (answers(t, "XXCMD?") && reply_number(t.reply) == 0U)) {
    return plan{line, outcome::completes, {}};
  }
  const bool signed_reply = t.query == "XXERASE?" || t.query == "XXPROG?";
  return plan{line, outcome::fails,
              signed_reply ? " gpib_int32: no data available\n" : " gpib_uint32: no data available\n"};
}

// A code no step accepts: a failed erase or programming, a mode out of range.
std::optional<plan> error_code(const transaction& t) {
  const std::string line = reply_fault(t, "7");
  if (answers(t, "*OPC?")) {
    return plan{line, outcome::completes, {}};
  }
  if (answers(t, "XXERASE?")) {
    return plan{line, outcome::fails, " erase failed, 7\n"};
  }
  if (answers(t, "XXPROG?")) {
    return plan{line, outcome::fails, "programming failed, 7\n"};
  }
  if (answers(t, "XXCMD?")) {
    return plan{line, outcome::fails, "unknown operation mode (7)\n"};
  }
  return std::nullopt;
}

// Which check a memory query belongs to, as its failure names it.
std::string check_failure(const transaction& t, const std::string& command) {
  const size_t space = command.find(' ');
  const size_t comma = command.find(',');
  const unsigned long address = std::stoul(command.substr(space + 1));
  const unsigned long length = std::stoul(command.substr(comma + 1));
  const bool in_flash = address >= 0xFFE00000UL;
  const unsigned long base = in_flash ? 0xFFE00000UL : 0x800000UL;
  const bool header = t.query == "XXRDMEM?" ? address == base + 60 : length == 60;
  return std::string(in_flash ? "Programmed data, " : "Transfered data, ") + (header ? "header" : "F/W") +
         " CRC error\n";
}

// A value that is well formed but not the true one.
std::optional<plan> mismatch(const transaction& t) {
  const std::optional<uint32_t> truth = reply_number(t.reply);
  if (!truth) {
    return std::nullopt;
  }
  if (answers(t, "XXRDMEM?") || answers(t, "XXCRC?")) {
    return plan{reply_fault(t, std::to_string(*truth ^ 1U)), outcome::fails, check_failure(t, t.command)};
  }
  if (answers(t, "XXCMD?")) {
    if (*truth == 0) {
      return plan{reply_fault(t, "2"), outcome::fails,
                  "Can't change operation mode to BOOTROM\n  operation mode is still 2\n"};
    }
    // Believing itself in BOOTROM, the program skips the unlock; the
    // instrument ignores the service commands and the first check times out.
    return plan{reply_fault(t, "0"), outcome::fails, "viRead: timeout\n"};
  }
  return std::nullopt;
}

// Both readings of a check agree with each other, on a word that is not the
// image's: what an instrument holding another intact image answers.
std::optional<plan> another_image(const transaction& t) {
  const std::optional<uint32_t> truth = reply_number(t.reply);
  if (!answers(t, "XXCRC?") || !truth) {
    return std::nullopt;
  }
  const std::string other = std::to_string(*truth ^ 1U);
  const std::string word = "fault = reply XXRDMEM? " + std::to_string(t.reply_number) + " " + other;
  return plan{word + "\n" + reply_fault(t, other), outcome::fails, check_failure(t, t.command)};
}

// The instrument answers 0 to an erase or a programming command and does
// nothing. Harmless where the flash already held what was wanted; otherwise
// the programming or a flash check must catch it.
std::optional<plan> acknowledged_not_done(const transaction& t) {
  if (answers(t, "XXERASE?")) {
    return plan{"fault = erase-error " + t.command.substr(9, t.command.find(',') - 9) + " 0", outcome::either, {}};
  }
  if (answers(t, "XXPROG?")) {
    return plan{"fault = prog-error " + std::to_string(t.reply_number - 1) + " 0", outcome::either, {}};
  }
  return std::nullopt;
}

} // namespace

const std::vector<fault_kind> fault_kinds = {
    {"VISA error", visa_error},       {"cable pulled", cable_pulled},
    {"no reply", no_reply},           {"empty reply", empty_reply},
    {"error code", error_code},       {"mismatch", mismatch},
    {"another image", another_image}, {"acknowledged, not done", acknowledged_not_done},
};

