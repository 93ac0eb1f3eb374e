#include "bench.h"

#include <sim.h>

namespace {

enum : uint32_t { flash_base = 0xFFE00000 };

// Opens the state file with a sim of this process, as a later run would.
struct state_view {
  explicit state_view(const std::string& path) : inst(sim_create()) {
    char err[200];
    sim_configure(inst, "state", path.c_str(), err, sizeof err);
    started = sim_start(inst, err, sizeof err) == 0;
  }
  ~state_view() { sim_destroy(inst); }
  state_view(const state_view&) = delete;
  state_view& operator=(const state_view&) = delete;
  sim_instrument* inst;
  bool started;
};

} // namespace

bench make_bench(uint32_t file_size) {
  bench b;
  b.dir = make_temp_dir();
  b.state = b.dir + "/bench.state";
  b.config = b.dir + "/visa.conf";
  b.trace = b.dir + "/trace.txt";
  b.image_bytes = make_image(file_size);
  b.image = write_image(b.dir, b.image_bytes);
  write_image(b.dir, make_image(70000), "old.bin");
  b.configure();
  return b;
}

void bench::configure(const std::string& extra) const {
  write_file(config, "trace = " + trace + "\ntimeout_scale = 0.001\n[GPIB0::17::INSTR]\nstate = " + state +
                         "\nmode = 2\nflash_image = " + dir + "/old.bin\nrestart_ms = 0\n" + extra);
}

running_program bench::start(const std::vector<std::string>& args, const launch_options& options,
                             const std::string& program) const {
  const std::vector<std::string> env = {"KESVISA_CONFIG=" + config, "KESLOAD_TEST_SLEEP_LOG=" + dir + "/sleeps",
                                        "POSIXLY_CORRECT",
                                        recording.empty() ? "KESLOAD_TRACE" : "KESLOAD_TRACE=" + recording};
  return start_program(program, args, env, dir, options);
}

program_run bench::replay(const std::string& trace, const std::vector<std::string>& args,
                          const std::string& program) const {
  std::vector<std::string> command = {"replay", trace, "--", program};
  command.insert(command.end(), args.begin(), args.end());
  // ASan's check that its runtime loads first does not allow for the
  // library kessim preloads; it matters only in sanitizer builds.
  return run_program(KESSIM_BIN, command,
                     {"KESVISA_CONFIG", "KESLOAD_TRACE", "KESLOAD_TEST_SLEEP_LOG=" + dir + "/sleeps", "POSIXLY_CORRECT",
                      "ASAN_OPTIONS=verify_asan_link_order=0"},
                     dir);
}

program_run bench::run(const std::vector<std::string>& args, bool merged, const std::string& program) const {
  running_program started = start(args, {.merged = merged}, program);
  return finish_program(started);
}

int32_t bench::mode() const {
  const state_view view(state);
  return view.started ? sim_mode(view.inst) : -1;
}

std::vector<uint8_t> bench::flash() const {
  const state_view view(state);
  std::vector<uint8_t> bytes(image_bytes.size());
  if (!view.started || !sim_peek(view.inst, flash_base, bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    bytes.clear();
  }
  return bytes;
}
