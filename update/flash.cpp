// Erases the firmware area and has the instrument program the staged file
// into it, then confirms the flash copy by CRC.
#include "image.h"
#include "link.h"
#include "phase.h"
#include "update.h"

#include <algorithm>

int32_t erase_flash() {
  // Every byte that is programmed (the whole file) and every byte the body
  // check reads (64 + body length) must lie in a sector erased in this run.
  const uint64_t extent = std::max<uint64_t>(fw_get_size(), uint64_t{header_size} + fw_get_length());
  const uint64_t sectors = (extent + flash_sector - 1) / flash_sector;
  if (sectors > flash_sector_max) {
    report_error("Number of sectors to erase too large %d\n", static_cast<int>(sectors));
    return 2;
  }
  phase_progress("Erase Flash ROM ( %d Sectos )      ", static_cast<int>(sectors));
  for (uint32_t sector = 0; sector < sectors; ++sector) {
    phase_dot();
    gpib_send_format(cmd_erase, sector);
    const int32_t result = phase_read_code(" erase failed, %d\n");
    if (result != 0) {
      return result;
    }
  }
  phase_progress("\n");
  return 0;
}

int32_t program_flash() {
  const uint32_t size = fw_get_size();
  uint32_t source = staging_address;
  uint32_t destination = fw_get_flash_base();

  phase_progress("Program Flash ROM ( %d Blocks )    ", static_cast<int>(phase_block_count(size)));
  for (uint32_t remaining = size; remaining != 0;) {
    const uint32_t block = std::min<uint32_t>(remaining, transfer_block);
    phase_dot();
    gpib_send_format(cmd_program, source, block, destination);
    const int32_t result = phase_read_code("programming failed, %d\n");
    if (result != 0) {
      return result;
    }
    source += block;
    destination += block;
    remaining -= block;
  }
  phase_progress("\n");

  int32_t result = phase_check_crc(flash_image_base + header_crc_offset, flash_image_base, header_crc_offset,
                                   fw_get_hdr_crc(), "Programmed data, header CRC error\n");
  if (result == 0) {
    result = phase_check_crc(flash_image_base, flash_image_base + header_size, fw_get_length(), fw_get_crc(),
                             "Programmed data, F/W CRC error\n");
  }
  if (result == 0) {
    phase_progress("Successfully F/W is updated\n");
  }
  return result;
}
