// Writes the seed inputs of the fuzz targets, in each target's input format,
// into FOLDER/<target>/. Valid images are made by the project's own image
// code, so the seeds stay valid when that code is right and the loader
// target says so when it is not.
#include "image_make.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

std::filesystem::path folder;

void save(const char* target, const std::string& name, const bytes& content) {
  const std::filesystem::path dir = folder / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

void save_text(const char* target, const std::string& name, const std::string& text) {
  save(target, name, bytes(text.begin(), text.end()));
}

bytes pattern(uint32_t length, uint32_t seed) {
  bytes out(length);
  for (uint8_t& b : out) {
    seed = seed * 1103515245U + 12345U;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return out;
}

// A file of file_size bytes whose header covers body_length bytes of body;
// what lies past the file counts as 0xFF, as the loader sees it.
bytes image(uint32_t file_size, uint32_t body_length) {
  bytes file = pattern(file_size, file_size);
  bytes body(body_length, 0xFF);
  for (uint32_t i = 0; i < body_length && 64 + i < file_size; ++i) {
    body[i] = file[64 + i];
  }
  image_make_header(file.data(), body.data(), body_length);
  return file;
}

// Image loader inputs: a control byte, then the file.
bytes plain(uint8_t control, const bytes& file) {
  bytes out{control};
  out.insert(out.end(), file.begin(), file.end());
  return out;
}

// A long file of one fill byte after the given start.
bytes stretched(uint8_t control, uint32_t length, uint8_t fill, const bytes& start) {
  bytes out{static_cast<uint8_t>(control | 0x02U), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), fill};
  out.insert(out.end(), start.begin(), start.end());
  return out;
}

// The header of a file of length bytes: 64 header bytes, then fill.
bytes filled_header(uint32_t length, uint8_t fill) {
  bytes header(64);
  const bytes body(length - 64, fill);
  image_make_header(header.data(), body.data(), length - 64);
  return header;
}

void image_seeds() {
  const char* t = "image_loader";
  save(t, "valid-header-only", plain(0, image(64, 0)));
  save(t, "valid-1000", plain(0, image(1000, 936)));
  save(t, "valid-body-past-file", plain(0, image(200, 1000)));
  save(t, "valid-trailing-data", plain(0, image(300, 100)));
  save(t, "valid-largest", stretched(0, 0x1C0000, 0xA5, filled_header(0x1C0000, 0xA5)));
  // Right in every header word, so that only the size refuses it.
  save(t, "largest-plus-one", stretched(1, 0x1C0001, 0xA5, filled_header(0x1C0000, 0xA5)));
  save(t, "buffer-size", stretched(1, 0x200000, 0x00, {}));
  save(t, "three-mib", stretched(1, 0x300000, 0xFF, filled_header(0x300000, 0xFF)));
  save(t, "four-mib-repaired", stretched(0x3C, 0x400000, 0x11, {}));
  save(t, "largest-repaired", stretched(0x3C, 0x1C0000, 0x00, {}));
  save(t, "too-small", plain(1, pattern(63, 7)));
  save(t, "empty", plain(1, {}));
  bytes broken = image(500, 436);
  broken[20] ^= 0x01U;
  save(t, "header-crc-wrong", plain(1, broken));
  bytes body_wrong = image(500, 436);
  body_wrong[400] ^= 0x80U;
  save(t, "body-crc-wrong", plain(1, body_wrong));
  bytes header(64, 0);
  image_write_header(header.data(), 0, 0, 0);
  save(t, "address-zero", plain(1, header));
  image_write_header(header.data(), 0, 0xFFE00040U, 0xFFFFFFC0U);
  save(t, "length-wraps", plain(1, header));
  image_write_header(header.data(), 0, 0xFFE00040U, 0x1C0000U - 63);
  save(t, "length-one-too-many", plain(1, header));
  save(t, "repaired-pattern", plain(0x3C, pattern(200, 99)));
}

void reply_seeds() {
  const char* t = "reply_reader";
  const char* replies[] = {"42\n",        "0x1F",         "-1",       "",     "4294967295\n",
                           "4294967296",  "-4294967296",  "  +017\n", "0xg1", "09",
                           "-2147483649", "2147483648\n", "1\r\n",    "0x",   "abc",
                           "-0x10",       "037777777777", "0b101",    "- 5",  "\t\v\f 7"};
  int n = 0;
  for (const char* reply : replies) {
    save_text(t, "reply-" + std::to_string(n++), reply);
  }
  save_text(t, "embedded-zero", std::string("12\0 34", 6));
  save_text(t, "digits-100", std::string(100, '9'));
  save_text(t, "digits-101", std::string(101, '7'));
  save_text(t, "zeros-then-one", std::string(99, '0') + "1");
  save_text(t, "crc-reply", "3735928559\n");
}

void address_seeds() {
  const char* t = "address_option";
  const char* texts[] = {"17",
                         "0x1e",
                         "036",
                         "-1",
                         "31",
                         "",
                         " 30",
                         "99999999999999999999",
                         "18446744073709551615",
                         "18446744073709551616",
                         "-9223372036854775808",
                         "-9223372036854775809",
                         "0xFFFFFFFFFFFFFFFF",
                         "0x10000000000000000",
                         "0x7fffffff",
                         "0x80000000",
                         "-0x80000000",
                         "-0x80000001",
                         "+0",
                         "-0"};
  int n = 0;
  for (const char* text : texts) {
    save_text(t, "address-" + std::to_string(n++), text);
  }
  save_text(t, "long-digits", std::string(5000, '1'));
  save_text(t, "long-blanks", std::string(3000, ' ') + "12");
}

// Simulator inputs: a setup byte, then operations.
struct session {
  bytes out;
  explicit session(uint8_t setup) : out{setup} {}
  void write(const std::string& data, bool end = true) {
    size_t at = 0;
    while (data.size() - at > 63) {
      out.push_back(63);
      out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at) + 63);
      at += 63;
    }
    out.push_back(static_cast<uint8_t>((end ? 0x40U : 0U) | (data.size() - at)));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
  }
  void read(uint8_t room = 62) { out.push_back(static_cast<uint8_t>(0x80U | room)); }
  void query(const std::string& command) {
    write(command);
    read();
  }
  void clear() { out.push_back(0xC0); }
};

constexpr uint32_t ram = 0x800000;
constexpr uint32_t flash = 0xFFE00000;

std::string num(uint32_t v) { return std::to_string(v); }

// The commands of a whole update of a small image, in the program's order.
void update(session& s, bool from_application, uint32_t file_size) {
  const bytes file = image(file_size, file_size - 64);
  const uint32_t length = file_size - 64;
  s.query("XXCMD?\n");
  if (from_application) {
    s.write("XXENTER 6081\n");
    s.query("*OPC?\n");
    s.write("XXBOOT 2\n");
    s.query("XXCMD?\n");
  }
  s.write("XXFILL " + num(ram) + ",2097152,255\n");
  s.query("*OPC?\n");
  s.write("XXDLDATA " + num(ram) + "," + num(file_size) + "\n");
  s.write(std::string(file.begin(), file.end()));
  s.query("XXRDMEM? " + num(ram + 60) + ",4\n");
  s.query("XXCRC? " + num(ram) + ",60\n");
  s.query("XXRDMEM? " + num(ram) + ",4\n");
  s.query("XXCRC? " + num(ram + 64) + "," + num(length) + "\n");
  s.query("XXERASE? 0,1\n");
  s.query("XXPROG? " + num(ram) + "," + num(file_size) + "," + num(flash) + "\n");
  s.query("XXRDMEM? " + num(flash + 60) + ",4\n");
  s.query("XXCRC? " + num(flash) + ",60\n");
  s.query("XXRDMEM? " + num(flash) + ",4\n");
  s.query("XXCRC? " + num(flash + 64) + "," + num(length) + "\n");
  s.write("XXBOOT 0\n");
  s.query("XXCMD?\n");
}

void sim_seeds() {
  const char* t = "sim_bus";
  session from_app(2);
  update(from_app, true, 200);
  save(t, "update-from-mode-2", from_app.out);

  session from_bootrom(0);
  update(from_bootrom, false, 64);
  save(t, "update-from-bootrom", from_bootrom.out);

  session faulty(0xFC | 2);
  update(faulty, true, 130);
  save(t, "update-with-faults", faulty.out);

  session stuck(3);
  stuck.write("XXENTER 6081\n");
  stuck.write("XXBOOT 2\n");
  stuck.query("XXCMD?\n");
  stuck.query("XXRDMEM? 4294836224,4\n"); // a boot sector
  stuck.query("XXERASE? 28,1\n");
  save(t, "mode-3-stays", stuck.out);

  session cleared(0);
  cleared.write("XXDLDATA " + num(ram) + ",1000\n");
  cleared.write(std::string(100, 'D'), false);
  cleared.clear();
  cleared.query("XXCMD?\n");
  cleared.write("XXCRC? " + num(ram) + ",2097152\n");
  cleared.read(1);
  cleared.read(1);
  cleared.write("XXCMD", false);
  cleared.write("?\n", false);
  cleared.write("");
  cleared.read(63);
  save(t, "clear-and-pieces", cleared.out);

  session junk(1);
  junk.out.push_back(0xC5); // 320 bytes with END: longer than any command
  junk.out.insert(junk.out.end(), 320, 'X');
  junk.query("XXCMD?\n");
  junk.query("XXCRC? 4294967295,1\n");
  junk.query("XXPROG? " + num(ram) + ",65537," + num(flash) + "\n");
  junk.query("XXFILL 8388608,1,256\n");
  junk.query("xxcmd?\n");
  junk.query("XXCMD? \n");
  junk.query("*OPC?\r\n");
  save(t, "refused-commands", junk.out);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds FOLDER\n");
    return 2;
  }
  folder = argv[1];
  image_seeds();
  reply_seeds();
  address_seeds();
  sim_seeds();
  return 0;
}
