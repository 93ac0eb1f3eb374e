// kessim: create, inspect and reset a simulated instrument's state file, and
// run a VISA program against the stand-in VISA library.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "files.h"
#include "kessim_replay.h"
#include "memory.h"
#include "numbers.h"
#include "platform.h"
#include "run.h"
#include "state_file.h"

using namespace ksim;

namespace {

enum : int {
  exit_ok = 0,
  exit_failed = 1,
  exit_usage = 2,
  exit_invalid = 3
};

const char usage_text[] = "usage: kessim create STATE [--mode N] [--app-mode N] [--image FILE]\n"
                          "       kessim show STATE\n"
                          "       kessim check STATE\n"
                          "       kessim mode STATE N [--app-mode N]\n"
                          "       kessim reset STATE [--mode N] [--app-mode N] [--image FILE]\n"
                          "       kessim run CONFIG -- PROGRAM [ARGS...]\n"
                          "       kessim replay TRACE [--session N] [--timing] -- PROGRAM [ARGS...]\n"
                          "modes: 0 BOOTROM, 1..3 application; exit status: 0 done, 1 failed,\n"
                          "2 usage, 3 (check) the flash holds no valid firmware; run: PROGRAM's status,\n"
                          "or 1 no CONFIG or stand-in VISA library, 126 PROGRAM cannot run, 127 not found;\n"
                          "replay: PROGRAM's status when every call was the one recorded, 2 a bad TRACE\n"
                          "(PROGRAM not started), 3 a call that differs or a recording not replayed to its end\n";

int usage(const char* problem = nullptr) {
  if (problem != nullptr) {
    std::fprintf(stderr, "kessim: %s\n", problem);
  }
  std::fputs(usage_text, stderr);
  return exit_usage;
}

struct options {
  bool has_mode = false, has_app_mode = false;
  uint32_t mode = 2, app_mode = 0;
  const char* image = nullptr;
};

// Reads the options after STATE; allowed names what the command takes.
bool read_options(int argc, char** argv, int first, bool allow_mode, bool allow_image, options& o) {
  for (int i = first; i < argc; ++i) {
    std::string_view name = argv[i];
    if (i + 1 >= argc) {
      usage(("missing value for " + std::string(name)).c_str());
      return false;
    }
    const char* value = argv[++i];
    uint32_t n;
    if (name == "--mode" && allow_mode) {
      if (!parse_u32(value, n) || n > 3) {
        usage("--mode must be 0..3");
        return false;
      }
      o.has_mode = true;
      o.mode = n;
    } else if (name == "--app-mode") {
      if (!parse_u32(value, n) || n < 1 || n > 3) {
        usage("--app-mode must be 1..3");
        return false;
      }
      o.has_app_mode = true;
      o.app_mode = n;
    } else if (name == "--image" && allow_image) {
      o.image = value;
    } else {
      usage(("unknown option " + std::string(name)).c_str());
      return false;
    }
  }
  return true;
}

// A flash as it leaves the factory, with the image file at its start.
bool fresh_flash(const char* image, std::vector<uint8_t>& flash) {
  flash.assign(flash_size, 0);
  flash_factory(flash.data());
  char err[512];
  if ((image != nullptr) && load_image_file(image, flash.data(), err, sizeof err) != 0) {
    std::fprintf(stderr, "kessim: %s\n", err);
    return false;
  }
  return true;
}

bool open_state(const char* path, bool writable, state_store& store) {
  char err[512];
  if (store.open(path, writable, err, sizeof err) != 0) {
    std::fprintf(stderr, "kessim: %s\n", err);
    return false;
  }
  return true;
}

// Another process may cut the file short under us: that is a failure with
// its reason, never a crash.
int store_failed(const state_store& store) {
  std::fprintf(stderr, "kessim: %s\n", store.reason());
  return exit_failed;
}

int do_create(const char* path, const options& o) {
  std::vector<uint8_t> image(state_total_size());
  uint32_t mode = o.has_mode ? o.mode : 2;
  uint32_t app_mode = o.has_app_mode ? o.app_mode : mode >= 1 ? mode : 2;
  state_init(image.data(), mode, app_mode);
  std::vector<uint8_t> flash;
  if (!fresh_flash(o.image, flash)) {
    return exit_failed;
  }
  std::memcpy(image.data() + state_header_size, flash.data(), flash_size);
  char err[512];
  if (state_create(path, image.data(), err, sizeof err) != 0) {
    std::fprintf(stderr, "kessim: %s\n", err);
    return exit_failed;
  }
  return exit_ok;
}

int do_reset(const char* path, const options& o) {
  std::vector<uint8_t> flash;
  if (!fresh_flash(o.image, flash)) {
    return exit_failed;
  }
  state_store store;
  if (!open_state(path, true, store)) {
    return exit_failed;
  }
  if (!store.write(0, flash.data(), flash_size) || (o.has_mode && !store.set_mode(o.mode)) ||
      (o.has_app_mode && !store.set_app_mode(o.app_mode))) {
    return store_failed(store);
  }
  return exit_ok;
}

int do_mode(const char* path, uint32_t mode, const options& o) {
  state_store store;
  if (!open_state(path, true, store)) {
    return exit_failed;
  }
  if (!store.set_mode(mode) || (o.has_app_mode && !store.set_app_mode(o.app_mode))) {
    return store_failed(store);
  }
  return exit_ok;
}

// Reads a state for show and check; read-only, so a file without write
// permission or in a read-only folder serves.
bool read_state(const char* path, uint32_t& mode, uint32_t& app_mode, std::vector<uint8_t>& flash) {
  state_store store;
  if (!open_state(path, false, store)) {
    return false;
  }
  flash.assign(flash_size, 0);
  if (!store.modes(mode, app_mode) || !store.read(0, flash.data(), flash_size)) {
    store_failed(store);
    return false;
  }
  return true;
}

// Erased sectors as a compact list, e.g. "0-3,5,7-27".
void print_erased(const uint8_t* flash) {
  bool any = false;
  for (uint32_t s = 0; s < sector_count;) {
    if (!sector_erased(flash, s)) {
      ++s;
      continue;
    }
    uint32_t e = s;
    while (e + 1 < sector_count && sector_erased(flash, e + 1)) {
      ++e;
    }
    std::printf(any ? ",%u" : "%u", unsigned(s));
    if (e > s) {
      std::printf("-%u", unsigned(e));
    }
    any = true;
    s = e + 1;
  }
  std::printf(any ? "\n" : "none\n");
}

int do_show(const char* path) {
  uint32_t mode = 0;
  uint32_t app_mode = 0;
  std::vector<uint8_t> flash;
  if (!read_state(path, mode, app_mode, flash)) {
    return exit_failed;
  }
  image_check c = check_image(flash.data());
  std::printf("state:       %s\n", path);
  std::printf("mode:        %u\n", unsigned(mode));
  std::printf("app mode:    %u\n", unsigned(app_mode));
  std::printf("fw_crc:      0x%08X\n", unsigned(c.fw_crc));
  std::printf("fw_address:  0x%08X\n", unsigned(c.fw_address));
  std::printf("fw_length:   0x%08X (%u)\n", unsigned(c.fw_length), unsigned(c.fw_length));
  std::printf("hdr_crc:     0x%08X\n", unsigned(c.hdr_crc));
  std::printf("header CRC:  %s\n", c.header_ok ? "ok" : "bad");
  std::printf("body CRC:    %s\n", !c.length_ok ? "length too large" : c.body_ok ? "ok" : "bad");
  std::printf("firmware:    %s\n", c.valid() ? "valid" : "invalid");
  std::printf("erased:      ");
  print_erased(flash.data());
  return exit_ok;
}

int do_check(const char* path) {
  uint32_t mode = 0;
  uint32_t app_mode = 0;
  std::vector<uint8_t> flash;
  if (!read_state(path, mode, app_mode, flash)) {
    return exit_failed;
  }
  return check_image(flash.data()).valid() ? exit_ok : exit_invalid;
}

// kessim run CONFIG -- PROGRAM [ARGS...]: PROGRAM with the stand-in VISA
// library and the bench configuration; kessim ends with its status.
int do_run(int argc, char** argv) {
  if (argc < 5 || std::string_view(argv[3]) != "--") {
    return usage("run needs CONFIG -- PROGRAM [ARGS...]");
  }
  const char* config = argv[2];
  std::string config_path;
  if (!run_full_path(config, config_path)) {
    std::fprintf(stderr, "kessim: %s: %s\n", config, std::strerror(errno));
    return exit_failed;
  }
  uint64_t size = 0;
  const int fd = file_open(config_path.c_str(), false);
  const bool readable = fd >= 0 && file_regular(fd, size);
  if (fd >= 0) {
    file_close(fd);
  }
  if (!readable) {
    std::fprintf(stderr, "kessim: %s: not a readable configuration file\n", config);
    return exit_failed;
  }
  const std::string library = run_standin_library();
  if (library.empty()) {
    return exit_failed;
  }
  run_set_variable("KESVISA_CONFIG", config_path);
  run_set_variable("KESSIM_VISA_LIBRARY", library);
  // kesload and kescheck bind the library KESLOAD_VISA names.
  run_set_variable("KESLOAD_VISA", library);
  if (!run_point_loader(library)) {
    return exit_failed;
  }
  return run_program(argv + 4);
}

} // namespace

int main(int argc, char** argv) {
  platform_start(&argc, &argv);
  if (argc < 3) {
    return usage();
  }
  std::string_view command = argv[1];
  const char* path = argv[2];
  if (command == "run") {
    return do_run(argc, argv);
  }
  if (command == "replay") {
    return replay_command(argc, argv, [](const char* problem) { return usage(problem); });
  }
  options o;
  if (command == "create" || command == "reset") {
    if (!read_options(argc, argv, 3, true, true, o)) {
      return exit_usage;
    }
    return command == "create" ? do_create(path, o) : do_reset(path, o);
  }
  if (command == "show" || command == "check") {
    if (argc != 3) {
      return usage("too many arguments");
    }
    return command == "show" ? do_show(path) : do_check(path);
  }
  if (command == "mode") {
    uint32_t mode;
    if (argc < 4 || !parse_u32(argv[3], mode) || mode > 3) {
      return usage("mode needs a mode 0..3");
    }
    if (!read_options(argc, argv, 4, false, false, o)) {
      return exit_usage;
    }
    return do_mode(path, mode, o);
  }
  return usage("unknown command");
}
