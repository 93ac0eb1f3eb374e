// kescheck: finds, inspects and verifies instruments without changing them.
#pragma once

#include <cstdint>

enum : int { check_exit_ok = 0, check_exit_failed = 1, check_exit_usage = 2 };

// Reports the instrument at address on interface_name (null: GPIB0) and
// whether it holds an intact firmware, or, with with_image set, exactly the
// image the loader has accepted. Returns the exit status.
int check_instrument(int32_t address, const char* interface_name, bool with_image, const char* image_path);

// Reports the machine's VISA libraries in the order kesload considers them,
// what became of each, the one in use and the GPIB interfaces it sees.
// Returns the exit status: 0 when a usable VISA exists.
int report_visa();

// Lists the instruments on interface_name (null: every GPIB interface) with
// their operation modes. Returns the exit status.
int list_instruments(const char* interface_name);
