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
// Words in the header are little-endian. The file is mapped shared and
// written through, so whatever the instrument did is in the file at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksim {

inline constexpr uint32_t state_version = 1;
inline constexpr size_t state_header_size = 64;

// A state image in memory: either a shared mapping of a state file or the
// process's own buffer.
struct state_view {
  uint8_t* base = nullptr;
  size_t size = 0;
  bool mapped = false;

  uint32_t mode() const;
  uint32_t app_mode() const;
  void set_mode(uint32_t mode);
  void set_app_mode(uint32_t app_mode);
  uint8_t* flash() { return base + state_header_size; }
  const uint8_t* flash() const { return base + state_header_size; }
};

size_t state_total_size();

// Lays out a fresh state at image (state_total_size() bytes): header, and a
// flash as it leaves the factory.
void state_init(uint8_t* image, uint32_t mode, uint32_t app_mode);

// Reads a firmware image file into a factory-fresh flash at its start (the
// rest stays erased). 0, or 2 with a reason (the flash is then factory-fresh).
int load_image_file(const char* path, uint8_t* flash, char* err, size_t err_size);

// Writes a complete state file at path, never over an existing one: it is
// written under a temporary name and linked into place, so a process killed
// meanwhile leaves no half-written state. 0 created, 1 exists, 2 error.
int state_create(const char* path, const uint8_t* image, char* err, size_t err_size);

// Maps an existing state file. 0 mapped, 1 no such file, 2 not a valid state.
int state_open(const char* path, state_view& view, char* err, size_t err_size);
void state_close(state_view& view);

} // namespace ksim
