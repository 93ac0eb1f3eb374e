// Updates a simulated instrument with a maximum-size image a few times and
// prints what the program itself costs: its time outside the stand-in VISA
// library against the bus floor, its peak memory without the simulated
// memories, the heap allocations its own code makes, and where the download
// blocks come from.
//
//   kesbench_update [--runs N] [--crc-json FILE]
//
// FILE is the JSON output of kesbench_crc32, whose throughput figures are then
// shown in the same block. Exit status 0 when every target is met, 1 when one
// is missed, 2 when a run failed.
#include "image.h"
#include "image_make.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double bus_rate = 1e6;        // bytes per second, the GPIB rate
constexpr double own_time_share = 0.01; // of the bus floor
constexpr double own_rss_limit_mib = 8;
constexpr uint32_t block_size = 65536;
constexpr uint32_t data_blocks = fw_max_size / block_size; // 28: the image is a whole number of blocks
static_assert(fw_max_size % block_size == 0);

using report = std::map<std::string, double>;

struct run_figures {
  double wall = 0;    // seconds, fork to exit
  double cpu = 0;     // seconds, user and system
  double rss_kib = 0; // peak resident set
  report shim;        // what the preloaded shim wrote
};

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

report read_report(const std::string& path) {
  report values;
  std::ifstream in(path);
  std::string key;
  double value = 0;
  while (in >> key >> value) {
    values[key] = value;
  }
  return values;
}

// One run of kesload against the simulator, recording into recording when it
// is not empty; false when it did not succeed.
bool run_kesload(const std::string& dir, const std::string& image, const std::string& recording,
                 run_figures& figures) {
  const std::string report_path = dir + "/report.txt";
  const std::string output_path = dir + "/output.txt";
  std::filesystem::remove(report_path);
  if (!recording.empty()) {
    std::filesystem::remove(recording); // one session a run
  }
  const double start = now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return false;
  }
  if (child == 0) {
    const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    setenv("KESVISA_CONFIG", (dir + "/visa.conf").c_str(), 1);
    setenv("KESBENCH_REPORT", report_path.c_str(), 1);
    setenv("LD_PRELOAD", KESBENCH_SHIM, 1);
    setenv("KESLOAD_VISA", KESBENCH_SHIM, 1); // the shim in front of the stand-in
    if (recording.empty()) {
      unsetenv("KESLOAD_TRACE");
    } else {
      setenv("KESLOAD_TRACE", recording.c_str(), 1);
    }
    execl(KESBENCH_KESLOAD, KESBENCH_KESLOAD, image.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return false;
  }
  figures.wall = now() - start;
  figures.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  figures.rss_kib = static_cast<double>(usage.ru_maxrss);
  figures.shim = read_report(report_path);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || figures.shim.empty()) {
    std::ifstream output(output_path);
    std::fprintf(stderr, "kesbench: kesload did not complete the update (status 0x%x); it printed:\n%s\n", status,
                 std::string(std::istreambuf_iterator<char>(output), {}).c_str());
    return false;
  }
  return true;
}

// Bytes per second of one Google Benchmark entry in its JSON output, or 0.
double crc_rate(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"name\": \"" + name + "\"");
  if (at == std::string::npos) {
    return 0;
  }
  const std::string key = "\"bytes_per_second\": ";
  const size_t value = json.find(key, at);
  return value == std::string::npos ? 0 : std::strtod(json.c_str() + value + key.size(), nullptr);
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

} // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::string crc_json;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = static_cast<int>(std::clamp(std::strtol(argv[++i], nullptr, 10), 1L, 1000L));
    } else if (arg == "--crc-json" && i + 1 < argc) {
      crc_json = argv[++i];
    } else {
      std::fprintf(stderr, "usage: kesbench_update [--runs N] [--crc-json FILE]\n");
      return 2;
    }
  }

  // A maximum-size image and an instrument in application mode that restarts
  // at once, with the timing model off.
  char dir_template[] = "/tmp/kesbench.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string dir = dir_template;
  const std::string image = dir + "/appl.bin";
  std::vector<uint8_t> body(fw_max_size - fw_header_size);
  uint32_t x = 0x12345678U;
  for (uint8_t& byte : body) {
    x = x * 1103515245U + 12345U;
    byte = static_cast<uint8_t>(x >> 24);
  }
  uint8_t header[fw_header_size];
  image_make_header(header, body.data(), static_cast<uint32_t>(body.size()));
  if (image_write_file(image.c_str(), header, body.data(), static_cast<uint32_t>(body.size())) != 0) {
    std::perror(image.c_str());
    return 2;
  }
  std::ofstream(dir + "/visa.conf") << "[GPIB0::17::INSTR]\nmode = 2\nrestart_ms = 0\n";

  // One run first, not counted, so that every counted one finds the files
  // and the libraries in the page cache; then the same with the recording on.
  const std::string recording = dir + "/trace.txt";
  std::vector<run_figures> all;
  std::vector<run_figures> recorded;
  for (const bool record : {false, true}) {
    for (int i = 0; i <= runs; ++i) {
      run_figures figures;
      if (!run_kesload(dir, image, record ? recording : std::string(), figures)) {
        std::fprintf(stderr, "kesbench: files kept in %s\n", dir.c_str());
        return 2;
      }
      if (i > 0) {
        (record ? recorded : all).push_back(figures);
      }
    }
  }
  uintmax_t trace_bytes = 0;
  size_t trace_lines = 0;
  {
    std::ifstream trace(recording);
    for (std::string line; std::getline(trace, line);) {
      ++trace_lines;
      trace_bytes += line.size() + 1;
    }
  }
  std::filesystem::remove_all(dir);

  // The figures shown are those of the median run by kesload's own wall
  // time, so that they add up; the allocation count and the block proof must
  // hold in every run.
  auto value = [](const run_figures& r, const char* key) {
    const auto found = r.shim.find(key);
    return found != r.shim.end() ? found->second : 0.0;
  };
  auto own_wall_of = [&value](const run_figures& r) { return r.wall - value(r, "visa_wall_s"); };
  std::ranges::sort(all, {}, own_wall_of);
  const run_figures& mid = all[all.size() / 2];
  std::ranges::sort(recorded, {}, own_wall_of);
  const run_figures& mid_recorded = recorded[recorded.size() / 2];
  auto allocations_total = [](const run_figures& r) {
    double total = 0;
    for (const auto& [key, count] : r.shim) {
      if (key.rfind("alloc_", 0) == 0) {
        total += count;
      }
    }
    return total;
  };

  const double visa_wall = value(mid, "visa_wall_s");
  const double visa_cpu = value(mid, "visa_cpu_s");
  const double own_wall = mid.wall - visa_wall;
  const double own_cpu = mid.cpu - visa_cpu;
  const double run_queue = value(mid, "sched_wait_s");
  const double stand_in =
      (value(mid, "sim_memories_kib") + value(mid, "visa_file_kib") + value(mid, "shim_file_kib")) / 1024;
  const double rss = mid.rss_kib / 1024;
  const double own_rss = rss - stand_in;
  double own_allocations = 0;
  bool blocks_direct = true;
  for (const run_figures& r : recorded) {
    own_allocations = std::max(own_allocations, value(r, "alloc_program"));
  }
  for (const run_figures& r : all) {
    own_allocations = std::max(own_allocations, value(r, "alloc_program"));
    blocks_direct = blocks_direct && value(r, "data_writes") == double{data_blocks} && value(r, "data_stepped") == 1 &&
                    value(r, "data_in_buffer") == 1 && value(r, "data_first_is_buffer") == 1 &&
                    value(r, "data_first_in_program") == 1 && value(r, "memory_taken") == 1;
  }
  const double bus_bytes = value(mid, "bus_bytes");
  const double floor = bus_bytes / bus_rate;
  const double own_limit = floor * own_time_share;

  std::printf("kesload update benchmark: %u-byte image (the maximum), simulator timing model off;\n"
              "the median of %d runs by kesload's own wall time, %s build; kesload_bench is kesload\n"
              "with a pause that only records\n\n",
              static_cast<unsigned>(fw_max_size), runs, KESBENCH_BUILD_TYPE);
  std::printf("  bus traffic          %.0f bytes in %.0f VISA calls; bus floor at 1 MB/s: %.3f s\n", bus_bytes,
              value(mid, "visa_calls"), floor);
  std::printf("  fixed pauses         %.0f recorded (%.0f ms), not slept\n", value(mid, "pause_count"),
              value(mid, "pause_ms"));
  std::printf("  whole run            wall %7.2f ms   CPU %7.2f ms   (fork to exit)\n", mid.wall * 1e3, mid.cpu * 1e3);
  std::printf("  inside the stand-in  wall %7.2f ms   CPU %7.2f ms   (the simulated instrument's work)\n",
              visa_wall * 1e3, visa_cpu * 1e3);
  std::printf("  kesload's own        wall %7.2f ms   CPU %7.2f ms   = %.2f%% / %.2f%% of the bus floor\n",
              own_wall * 1e3, own_cpu * 1e3, own_wall / floor * 100, own_cpu / floor * 100);
  std::printf("                       own wall over the %d runs: %.2f to %.2f ms\n", runs,
              own_wall_of(all.front()) * 1e3, own_wall_of(all.back()) * 1e3);
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  std::printf("  waiting for a CPU    wall %7.2f ms of the whole run (load average %.2f on %ld cores)\n",
              run_queue * 1e3, load, sysconf(_SC_NPROCESSORS_ONLN));
  if (!crc_json.empty()) {
    std::ifstream in(crc_json);
    const std::string json((std::istreambuf_iterator<char>(in)), {});
    std::printf("  CRC-32 engine        %.0f MB/s over 64 KiB, %.0f MB/s over 1.75 MiB (one byte per step)\n",
                crc_rate(json, "crc32_engine/65536") / 1e6, crc_rate(json, "crc32_engine/1835008") / 1e6);
  } else {
    std::printf("  CRC-32 engine        not measured (bench/run.sh shows it when Google Benchmark is installed)\n");
  }
  std::printf("  peak resident        %.2f MiB in all = kesload %.2f MiB + stand-in %.2f MiB\n", rss, own_rss,
              stand_in);
  std::printf("                       stand-in: simulated memories %.2f MiB resident (%.0f blocks of %.2f MiB\n"
              "                       allocated, from the page map), libvisa.so %.2f MiB, shim %.2f MiB (smaps)\n",
              value(mid, "sim_memories_kib") / 1024, value(mid, "sim_memories_blocks"),
              value(mid, "sim_memories_size") / 1048576, value(mid, "visa_file_kib") / 1024,
              value(mid, "shim_file_kib") / 1024);
  std::printf("                       kesload's image buffer: %.2f MiB resident\n",
              value(mid, "image_buffer_kib") / 1024);
  std::printf("  heap allocations     %.0f by kesload's own code; %.0f in all (", own_allocations,
              allocations_total(mid));
  const char* separator = "";
  for (const auto& [key, count] : mid.shim) {
    if (key.rfind("alloc_", 0) == 0 && key != "alloc_program") {
      std::printf("%s%s %.0f", separator, key == "alloc_unknown" ? "unattributed" : key.c_str() + 6, count);
      separator = ", ";
    }
  }
  std::printf(")\n");
  std::printf("  download blocks      %.0f data writes, all at image buffer + 65536·k: %s\n",
              value(mid, "data_writes"), blocks_direct ? "yes" : "no");
  // The same update recorded (KESLOAD_TRACE): the recording's cost is
  // kesload's own, outside the stand-in.
  const double recorded_wall = mid_recorded.wall - value(mid_recorded, "visa_wall_s");
  const double recorded_cpu = mid_recorded.cpu - value(mid_recorded, "visa_cpu_s");
  std::printf("  recording on         whole run wall %7.2f ms, CPU %7.2f ms; %zu lines, %ju bytes of trace\n",
              mid_recorded.wall * 1e3, mid_recorded.cpu * 1e3, trace_lines, trace_bytes);
  std::printf("  kesload's own        wall %7.2f ms   CPU %7.2f ms   = %.2f%% / %.2f%% of the bus floor, recording\n",
              recorded_wall * 1e3, recorded_cpu * 1e3, recorded_wall / floor * 100, recorded_cpu / floor * 100);
  std::printf("                       (off: wall %.2f ms, CPU %.2f ms; the recording costs %+.2f ms wall, %+.2f ms CPU)\n\n",
              own_wall * 1e3, own_cpu * 1e3, (recorded_wall - own_wall) * 1e3, (recorded_cpu - own_cpu) * 1e3);

  const bool time_met = own_wall <= own_limit && own_cpu <= own_limit;
  const bool recorded_met = recorded_wall <= own_limit && recorded_cpu <= own_limit;
  const bool rss_met = own_rss < own_rss_limit_mib;
  const bool allocations_met = own_allocations == 0;
  char limit_text[64];
  char time_text[64];
  char rss_text[32];
  char allocations_text[32];
  char recorded_limit_text[64];
  char recorded_text[64];
  std::snprintf(recorded_limit_text, sizeof recorded_limit_text, "the same with the recording on");
  std::snprintf(recorded_text, sizeof recorded_text, "wall %.2f ms, CPU %.2f ms", recorded_wall * 1e3,
                recorded_cpu * 1e3);
  std::snprintf(limit_text, sizeof limit_text, "own time at most 1%% of the bus floor (%.2f ms)", own_limit * 1e3);
  std::snprintf(time_text, sizeof time_text, "wall %.2f ms, CPU %.2f ms", own_wall * 1e3, own_cpu * 1e3);
  std::snprintf(rss_text, sizeof rss_text, "%.2f MiB", own_rss);
  std::snprintf(allocations_text, sizeof allocations_text, "%.0f", own_allocations);
  const auto row = [](const char* target, const char* figure, bool met) {
    std::printf("  %-50s %-28s %s\n", target, figure, verdict(met));
  };
  std::printf("  %-50s %s\n", "target", "figure");
  row(limit_text, time_text, time_met);
  row(recorded_limit_text, recorded_text, recorded_met);
  row("kesload's peak resident memory under 8 MiB", rss_text, rss_met);
  row("0 heap allocations by kesload's own code (both)", allocations_text, allocations_met);
  row("every block straight from the image buffer", blocks_direct ? "yes" : "no", blocks_direct);
  if (!time_met && own_cpu <= own_limit && run_queue >= own_wall - own_limit) {
    std::printf("\n  The wall figure is over because the run waited %.2f ms for a CPU: other work on the\n"
                "  machine, not the program's (its own CPU time is within the limit).\n",
                run_queue * 1e3);
  }
  return time_met && recorded_met && rss_met && allocations_met && blocks_direct ? 0 : 1;
}
