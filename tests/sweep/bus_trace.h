// Reading the stand-in's VISA trace of one run: the bus transactions on the
// instrument's session, the query-and-reply exchanges, and whether the run
// kept the two promises of an update: no erase before the staged copy was
// confirmed, no success before the flash copy was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class bus_call { write, read, clear };

const char* call_name(bus_call call); // "viWrite", "viRead", "viClear"

// One bus transaction as a fault-free run shows it.
struct transaction {
  size_t k = 0; // position on the bus, from 1
  bus_call call = bus_call::write;
  size_t nth = 0; // the nth call of its kind, from 1
  // Reads only: the command it answers and that command's first word, which
  // reply to that command it is (from 1), and the reply's text.
  std::string command;
  std::string query;
  size_t reply_number = 0;
  std::string reply;
};

// One entry of the trace on the instrument's session.
struct bus_entry {
  bus_call call = bus_call::write;
  bool ok = false;                 // VI_SUCCESS
  std::optional<std::string> text; // the bytes, when the trace shows them quoted
};

// The bus entries of a trace file, in order. Calls on other sessions (there are
// none on the bus today) and all other functions are left out.
std::vector<bus_entry> read_bus(const std::string& trace);

// The transactions of a run, each read tied to the query it answers.
std::vector<transaction> transactions_of(const std::vector<bus_entry>& bus);

// The number a reply holds: decimal digits, then at most a line feed.
// Nothing for an empty, partial or non-numeric reply.
std::optional<uint32_t> reply_number(const std::string& reply);

// The image a run was given, as far as its checks are concerned.
struct image_words {
  uint32_t body_length; // the body checks must cover exactly that many bytes
  uint32_t hdr_crc;     // the words both checks of a copy must find stored
  uint32_t fw_crc;
};

// What a run did wrong by its trace and its standard output: erasing
// before both checks of the staged copy found this image, or reporting
// success before both checks of the flash copy did. A check finds the image
// when the stored word, the instrument's CRC and the file's word agree.
std::vector<std::string> safety_violations(const std::vector<bus_entry>& bus, const std::string& out,
                                           const image_words& image);
