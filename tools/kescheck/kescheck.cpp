// kescheck: the command line. Options read as kesload reads them, so that
// the same -a and -g reach the same instrument.
#include "kescheck.h"

#include "image.h"
#include "link.h"
#include "platform.h"
#include "report_out.h"

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr char usage_text[] = "Usage: kescheck [-a gpib_addr] [-g gpib_device] [fw_file]\n"
                              "       kescheck -l [-g gpib_device]\n"
                              "       kescheck -V\n"
                              "Reports the instrument's mode and flash firmware without changing it;\n"
                              "with fw_file, whether the instrument holds exactly that image.\n"
                              "  -a <gpib_addr>     GPIB address 0 thru 30 (default 17)\n"
                              "  -g <gpib_device>   VISA GPIB interface name (default 'GPIB0';\n"
                              "                     with -l, every GPIB interface)\n"
                              "  -l                 list the instruments and their operation modes\n"
                              "  -V                 report the VISA libraries of this PC and the one in use\n"
                              "Exit status: 0 holds that image (intact firmware), 1 does not or cannot\n"
                              "be asked, 2 wrong command line.\n";

[[noreturn]] void usage() {
  report_error("%s", usage_text);
  std::exit(check_exit_usage);
}

} // namespace

int main(int argc, char** argv) {
  platform_start(&argc, &argv);
  // The report must not land in a file the VISA library opens, and a
  // report that is lost must not pass for one that was written.
  report_start(platform_open_missing_streams());
  int32_t address = 17;
  const char* interface_name = nullptr;
  bool address_given = false;
  bool list = false;
  bool visa_report = false;
  int errors = 0;

  gpib_trace_command(argc, argv); // as given: getopt reorders it
  opterr = 0;
  for (int option = platform_getopt(argc, argv, "a:g:lV"); option != -1;
       option = platform_getopt(argc, argv, "a:g:lV")) {
    switch (option) {
    case 'a':
      address_given = true;
      errors += gpib_option_address(optarg, &address) ? 0 : 1;
      break;
    case 'g':
      interface_name = optarg;
      errors += gpib_option_interface(optarg) ? 0 : 1;
      break;
    case 'l':
      list = true;
      break;
    case 'V':
      visa_report = true;
      break;
    default:
      ++errors; // unknown option or missing argument; getopt stays quiet
      break;
    }
  }

  const int operands = argc - optind;
  // A listing has no one instrument and no image to compare with; the VISA
  // report asks no instrument at all.
  const bool instrument_given = address_given || interface_name != nullptr || operands > 0;
  if (errors > 0 || operands > 1 || (list && (address_given || operands > 0)) ||
      (visa_report && (list || instrument_given))) {
    usage();
  }
  gpib_trace_start("kescheck");
  if (visa_report) {
    gpib_exit(report_finish("kescheck", report_visa()));
  }
  if (list) {
    gpib_exit(report_finish("kescheck", list_instruments(interface_name)));
  }

  // The image is checked whole before the instrument is touched, so a
  // refused file sends nothing.
  const char* image_path = operands == 1 ? argv[optind] : nullptr;
  if (image_path != nullptr) {
    const bool loaded = load_fw_file_reported(image_path) == fw_load_ok;
    gpib_trace_image(image_path, loaded ? fw_get_buffer() : nullptr, loaded ? fw_get_size() : 0);
    if (!loaded) {
      gpib_exit(check_exit_failed);
    }
  }
  gpib_exit(report_finish("kescheck", check_instrument(address, interface_name, image_path != nullptr, image_path)));
}
