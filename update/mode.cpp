// Operation mode control: into BOOTROM mode before the update, out of it after.
#include "link.h"
#include "phase.h"
#include "update.h"

#include <cstdio>

bool verbose = true;

int32_t get_operation_mode() {
  const int32_t mode = query_mode();
  if (mode >= 0 && mode <= 3) {
    return mode;
  }
  report_error("unknown operation mode (%d)\n", mode);
  return mode_unknown;
}

int32_t enter_bootrom() {
  int32_t mode = get_operation_mode();
  if (mode == mode_unknown) {
    report_error("Kestrune is in unknown operation mode\n");
    return 2;
  }
  if (mode == mode_bootrom || mode == mode_as_is) {
    return 0;
  }
  phase_progress("Changing operation mode to BOOTROM\n");
  gpib_send(cmd_enter);
  gpib_opc();
  gpib_send(cmd_boot_bootrom);
  gpib_pause(bootrom_switch_pause_ms);
  mode = get_operation_mode();
  if (mode != mode_bootrom) {
    report_error("Can't change operation mode to BOOTROM\n  operation mode is still %d\n", mode);
    return 2;
  }
  return 0;
}

int32_t reboot_target() {
  gpib_send(cmd_boot_application);
  std::printf("Now rebooting, please wait for a while.\n"); // not progress: printed whatever verbose says
  std::fflush(stdout);
  return 0;
}
