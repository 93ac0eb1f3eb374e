// The update procedure: the dialogue with the instrument, phase by phase.
// Every phase returns 0 on success, 1 when a reply was missing, 2 on a
// failure it has reported on standard error.
#pragma once

#include <cstdint>

// Progress output on standard output; the restart notice ignores it.
extern bool verbose;

// The instrument's memory map and the update's units.
enum : uint32_t {
  staging_address = 0x800000, // instrument RAM that receives the file
  staging_size = 0x200000,
  staging_fill = 0xFF, // the loader's pre-fill too, so CRCs past the file agree
  flash_image_base = 0xFFE00000,
  transfer_block = 0x10000,
  flash_sector = 0x10000,
  flash_sector_max = 28, // the firmware area; the sectors above hold the boot code
  header_crc_offset = 60,
  header_size = 64
};

// Operation modes as the instrument reports them.
enum : int32_t { mode_bootrom = 0, mode_as_is = 1, mode_unknown = 4 };

enum : uint32_t { bootrom_switch_pause_ms = 6000 };

// Command texts; "%u" is an unsigned decimal number. The mode and
// operation-complete queries are sent by the link's own helpers.
inline constexpr char cmd_enter[] = "XXENTER 6081\n";
inline constexpr char cmd_boot_bootrom[] = "XXBOOT 2\n";
inline constexpr char cmd_boot_application[] = "XXBOOT 0\n";
inline constexpr char cmd_fill[] = "XXFILL %u,%u,%u\n";
inline constexpr char cmd_download[] = "XXDLDATA %u,%u\n";
inline constexpr char cmd_read_word[] = "XXRDMEM? %u,4\n";
inline constexpr char cmd_crc[] = "XXCRC? %u,%u\n";
inline constexpr char cmd_erase[] = "XXERASE? %u,1\n";
inline constexpr char cmd_program[] = "XXPROG? %u,%u,%u\n";

int32_t get_operation_mode();
int32_t enter_bootrom();
int32_t reboot_target();
int32_t fill_target_ram();
int32_t download_image();
int32_t erase_flash();
int32_t program_flash();
