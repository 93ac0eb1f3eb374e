// kesload: replaces the firmware of a Kestrune instrument over GPIB.
#include "front.h"

#include "image.h"
#include "link.h"
#include "platform.h"
#include "update.h"

#include <array>

namespace {

enum : int32_t { io_timeout_seconds = 10 };
enum : uint32_t { settle_after_clear_ms = 2000 };

using phase = int32_t (*)();
// The update runs these in order and stops at the first that fails.
constexpr std::array<phase, 5> update_phases{enter_bootrom, fill_target_ram, download_image, erase_flash,
                                             program_flash};

int32_t run_update() {
  for (const phase run : update_phases) {
    if (run() != 0) {
      return 1;
    }
  }
  return reboot_after ? reboot_target() : 0;
}

} // namespace

int main(int argc, char** argv) {
  platform_start(&argc, &argv);
  platform_open_missing_streams();
  gpib_catch_interrupts();
  gpib_trace_command(argc, argv);
  parse_options(argc, argv);
  gpib_trace_start("kesload");

  // The image is checked whole before the instrument is touched. An
  // interrupt ends a read that stalls (a pipe), with nothing sent.
  fw_set_stop_fd(gpib_interrupt_fd());
  if (load_fw_file_reported(image_path) != fw_load_ok) {
    gpib_trace_image(image_path, nullptr, 0);
    gpib_stop_if_interrupted();
    gpib_exit(1);
  }
  gpib_trace_image(image_path, fw_get_buffer(), fw_get_size());

  // Not examined: without a resource manager the device clear fails next
  // and reports it.
  gpib_open(gpib_address, interface_name);
  gpib_set_timeout(io_timeout_seconds);
  gpib_clear();
  gpib_pause(settle_after_clear_ms);

  const int32_t status = run_update();
  gpib_close();
  gpib_exit(status);
}
