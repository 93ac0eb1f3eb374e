// Stages the image file in the instrument's RAM and has the instrument
// confirm it by CRC before anything touches the flash.
#include "image.h"
#include "link.h"
#include "phase.h"
#include "update.h"

int32_t fill_target_ram() {
  gpib_send_format(cmd_fill, staging_address, staging_size, staging_fill);
  return 0;
}

int32_t download_image() {
  const uint8_t* position = fw_get_buffer();
  uint32_t remaining = fw_get_size();
  const uint32_t length = fw_get_length();

  gpib_opc(); // the first wait for the instrument after the fill
  gpib_send_format(cmd_download, staging_address, remaining);
  phase_progress("Transfering data ( %d Blocks )     ", static_cast<int>(phase_block_count(remaining)));
  // The blocks go straight from the image buffer; only the last carries END,
  // so the instrument sees the file as one message.
  while (remaining != 0) {
    if (remaining > transfer_block) {
      gpib_send_block(position, transfer_block, 0);
      remaining -= transfer_block;
      position += transfer_block;
    } else {
      gpib_send_block(position, remaining, 1);
      remaining = 0;
    }
    phase_dot();
  }
  phase_progress("\n");

  const int32_t result = phase_check_crc(staging_address + header_crc_offset, staging_address, header_crc_offset,
                                         fw_get_hdr_crc(), "Transfered data, header CRC error\n");
  if (result != 0) {
    return result;
  }
  return phase_check_crc(staging_address, staging_address + header_size, length, fw_get_crc(),
                         "Transfered data, F/W CRC error\n");
}
