// The command line: kesload [options] [fw_file]
#include "front.h"

#include "link.h"
#include "platform.h"
#include "update.h"

#include <cstdlib>
#include <unistd.h>

int32_t gpib_address = 17;
const char* interface_name = nullptr;
const char* image_path = "appl.bin";
bool reboot_after = true;

namespace {

constexpr char usage_head[] = "Usage: kesload [options] [fw_file]\n";
constexpr char usage_options[] = "Options available:\n"
                                 "  -a <gpib_addr>   Specify GPIB address 0 thru 30 to be used\n"
                                 "      to communicate with the Kestrune.\n"
                                 "  -g <gpib_device>   VISA GPIB interface name string that should be\n"
                                 "      used to open GPIB device on the system.\n"
                                 "                default: 'GPIB0'\n"
                                 "  -n Don't reboot after firmware have been updated\n";

enum : int { exit_usage = 2 };

} // namespace

void usage() {
  report_error("%s", usage_head);
  report_error("%s", usage_options);
}

void parse_options(int argc, char** argv) {
  opterr = 0;
  int errors = 0;
  verbose = true;

  for (int option = platform_getopt(argc, argv, "vg:a:n"); option != -1;
       option = platform_getopt(argc, argv, "vg:a:n")) {
    switch (option) {
    case 'a':
      errors += gpib_option_address(optarg, &gpib_address) ? 0 : 1;
      break;
    case 'g':
      interface_name = optarg;
      errors += gpib_option_interface(optarg) ? 0 : 1;
      break;
    case 'n':
      reboot_after = false;
      break;
    case 'v':
      break; // progress output is always on
    default:
      ++errors; // unknown option or missing argument; getopt stays quiet
      break;
    }
  }

  const int operands = argc - optind;
  if (errors > 0 || operands > 1) {
    usage();
    std::exit(exit_usage);
  }
  if (operands == 1) {
    image_path = argv[optind];
  }
}
