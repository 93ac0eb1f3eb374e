#include "sim_test.h"

#include "run_program.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "crc32.h"

namespace simtest {

namespace {

// Restarts take no time unless the test says otherwise.
void configure_all(sim_instrument* in, const config& lines) {
  char err[256] = "";
  bool has_restart = false;
  for (const auto& [key, value] : lines)
    has_restart |= key == "restart_ms";
  if (!has_restart) {
    EXPECT_EQ(sim_configure(in, "restart_ms", "0", err, sizeof err), 0);
  }
  for (const auto& [key, value] : lines) {
    EXPECT_EQ(sim_configure(in, key.c_str(), value.c_str(), err, sizeof err), 0) << key << ": " << err;
  }
}

} // namespace

std::pair<int, std::string> try_start(const config& lines) {
  sim_instrument* in = sim_create();
  configure_all(in, lines);
  char err[256] = "";
  int rc = sim_start(in, err, sizeof err);
  sim_destroy(in);
  return {rc, err};
}

sim_ptr start(const config& lines) {
  sim_ptr in(sim_create());
  configure_all(in.get(), lines);
  char err[256] = "";
  EXPECT_EQ(sim_start(in.get(), err, sizeof err), 0) << err;
  return in;
}

void send(sim_instrument* in, const std::string& bytes, bool end) {
  sim_receive(in, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), end);
}

std::optional<std::string> take(sim_instrument* in) {
  std::string reply;
  uint8_t buf[64];
  uint32_t count = 0;
  bool end = false;
  if (!sim_take_reply(in, buf, sizeof buf, &count, &end))
    return std::nullopt;
  reply.append(reinterpret_cast<char*>(buf), count);
  while (!end) {
    if (!sim_take_reply(in, buf, sizeof buf, &count, &end)) {
      ADD_FAILURE() << "reply stopped before its END";
      break;
    }
    reply.append(reinterpret_cast<char*>(buf), count);
  }
  return reply;
}

std::optional<std::string> query(sim_instrument* in, const std::string& command) {
  send(in, command);
  return take(in);
}

uint32_t number(sim_instrument* in, const std::string& command) {
  auto reply = query(in, command);
  if (!reply) {
    ADD_FAILURE() << "no reply to " << command;
    return 0xDEADBEEF;
  }
  EXPECT_TRUE(!reply->empty() && reply->back() == '\n') << command;
  return uint32_t(std::strtoll(reply->c_str(), nullptr, 10));
}

std::vector<uint8_t> peek(sim_instrument* in, uint32_t address, uint32_t length) {
  std::vector<uint8_t> out(length);
  EXPECT_TRUE(sim_peek(in, address, out.data(), length));
  return out;
}

uint32_t crc(const std::vector<uint8_t>& bytes) { return ksim::crc32(bytes.data(), bytes.size()); }

static void put_be(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i)
    v[at + i] = uint8_t(x >> (24 - 8 * i));
}

std::vector<uint8_t> make_image(const std::vector<uint8_t>& body, uint32_t fw_address) {
  std::vector<uint8_t> image(64, 0);
  put_be(image, 0, crc(body));
  put_be(image, 4, fw_address);
  put_be(image, 8, uint32_t(body.size()));
  put_be(image, 60, ksim::crc32(image.data(), 60));
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

void set_header_word(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
  put_be(image, offset, value);
  put_be(image, 60, ksim::crc32(image.data(), 60));
}

std::vector<uint8_t> pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> v(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return v;
}

void download(sim_instrument* in, uint32_t address, const std::vector<uint8_t>& bytes) {
  send(in, "XXDLDATA " + std::to_string(address) + "," + std::to_string(bytes.size()) + "\n");
  for (size_t at = 0; at < bytes.size(); at += 0x10000) {
    size_t n = std::min<size_t>(0x10000, bytes.size() - at);
    sim_receive(in, bytes.data() + at, n, at + n == bytes.size());
  }
}

int32_t program_flash(sim_instrument* in, const std::vector<uint8_t>& bytes) {
  uint32_t sectors = uint32_t((bytes.size() + sector - 1) / sector);
  for (uint32_t s = 0; s < sectors; ++s)
    if (int32_t r = int32_t(number(in, "XXERASE? " + std::to_string(s) + ",1\n")))
      return r;
  for (uint32_t at = 0; at < bytes.size(); at += sector) {
    uint32_t n = std::min<uint32_t>(sector, uint32_t(bytes.size()) - at);
    std::string cmd =
        "XXPROG? " + std::to_string(ram + at) + "," + std::to_string(n) + "," + std::to_string(flash + at) + "\n";
    if (int32_t r = int32_t(number(in, cmd)))
      return r;
  }
  return 0;
}

temp_dir::temp_dir() {
  dir_ = make_temp_dir();
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void temp_dir::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  std::ofstream f(path(name), std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

} // namespace simtest
