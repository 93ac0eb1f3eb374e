// The instrument's lasting state: its mode, its application mode and its
// flash, laid out as in the state file: a 64-byte header, then the flash.
//
//   0  8 bytes  magic "KESSIMST"
//   8  u32      format version (1)
//  12  u32      header size (64)
//  16  u32      mode (0..3)
//  20  u32      application mode (1..3)
//  24  u32      flash base (0xFFE00000)
//  28  u32      flash size (0x200000)
//  32..63       zero
//
// Words in the header are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ksim {

inline constexpr uint32_t state_version = 1;
inline constexpr size_t state_header_size = 64;

size_t state_total_size();

// Lays out a fresh state at image (state_total_size() bytes): header, and a
// flash as it leaves the factory.
void state_init(uint8_t* image, uint32_t mode, uint32_t app_mode);

// Reads a firmware image file into a factory-fresh flash at its start (the
// rest stays erased). 0, or 2 with a reason (the flash is then factory-fresh).
int load_image_file(const char* path, uint8_t* flash, char* err, size_t err_size);

// Writes a complete state file at path, never over an existing one: its space
// is reserved first (a full disk fails here, not halfway through an update),
// it is written under a temporary name and linked into place, so a process
// killed meanwhile leaves no half-written state. 0 created, 1 exists, 2 error
// (and no file left behind).
int state_create(const char* path, const uint8_t* image, char* err, size_t err_size);

// A state, either in a state file or in the process's own memory.
//
// A state file is never mapped: every access is a pread or pwrite on it, so
// another process using the same file (a second run on the same instrument,
// kessim) sees each change at once, and a file cut short by someone else
// makes the access fail instead of killing the process with SIGBUS. Every
// access first checks that the file's name still names it (not removed, not
// replaced by another file), and its size and header; once one fails the
// store stays failed and reason() says why. Offsets are into the flash.
class state_store {
public:
  state_store() = default;
  state_store(const state_store&) = delete;
  state_store& operator=(const state_store&) = delete;
  ~state_store() { close(); }

  // An existing state file, for reading and writing or for reading only.
  // 0 opened, 1 no such file, 2 not a valid state; the reason in err.
  int open(const char* path, bool writable, char* err, size_t err_size);
  // A state held in this process only, laid out as by state_init.
  void hold(std::vector<uint8_t> image);
  void close();

  // Whether the state is still whole and sound (see above).
  bool check() const { return usable(); }
  bool modes(uint32_t& mode, uint32_t& app_mode) const;
  bool set_mode(uint32_t mode);
  bool set_app_mode(uint32_t app_mode);
  bool read(uint32_t offset, uint8_t* out, size_t length) const;
  bool write(uint32_t offset, const uint8_t* data, size_t length);
  bool fill(uint32_t offset, uint8_t value, size_t length);
  // CRC-32 of flash bytes; erased: whether all of them are 0xFF.
  bool crc(uint32_t offset, size_t length, uint32_t& out) const;
  bool erased(uint32_t offset, size_t length, bool& out) const;

  bool failed() const { return failed_; }
  const char* reason() const { return reason_; }

private:
  bool usable() const;
  bool fail(const char* what, int error = 0) const;
  bool set_word(size_t at, uint32_t value);
  bool read_at(size_t at, uint8_t* out, size_t length) const;
  bool write_at(size_t at, const uint8_t* data, size_t length);

  int fd_ = -1;
  int watch_ = -1; // keeps watch over the file's name
  std::string path_;
  std::vector<uint8_t> memory_;          // the state, without a file
  mutable std::vector<uint8_t> scratch_; // with a file: room for one chunk
  mutable bool failed_ = false;
  mutable char reason_[320] = {};
};

} // namespace ksim
