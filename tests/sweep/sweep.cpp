// A fault at every bus transaction of an update, in every way the
// instrument can fail there. Each faulty run must fail with status 1 and the
// program's own message, must not erase before the staged copy is confirmed
// nor claim success before the flash copy is, and a second run without the
// fault must finish the update. A run may end with status 0 only when the
// flash holds the image afterwards. Prints one closing line with the counts;
// exits 1 on any violation, listing each.
#include "bench.h"
#include "bus_trace.h"
#include "fault_plans.h"
#include "image.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

// A check that found the stored and the calculated CRC apart.
constexpr char crc_failure[] = "(Transfered|Programmed) data, (header|F/W) CRC error\n"
                               "    Expected CRC: 0x[0-9A-F]{8}\n  Calculated CRC: 0x[0-9A-F]{8}\n";

// Every message the program writes to standard error on a failed update.
const std::vector<std::regex>& program_messages() {
  static const std::vector<std::regex> messages = [] {
    const char* patterns[] = {
        "viWrite: timeout\n",
        "viRead: timeout\n",
        "viClear: timeout\n",
        " gpib_u?int32: no data available\n",
        "unknown operation mode \\(-?[0-9]+\\)\n",
        "Kestrune is in unknown operation mode\n",
        "Can't change operation mode to BOOTROM\n  operation mode is still -?[0-9]+\n",
        " erase failed, -?[0-9]+\n",
        "programming failed, -?[0-9]+\n",
        crc_failure,
    };
    std::vector<std::regex> compiled;
    for (const char* pattern : patterns) {
      compiled.emplace_back(pattern);
    }
    return compiled;
  }();
  return messages;
}

// What is left of err once the program's own messages are taken off its front.
std::string foreign_part(const std::string& err) {
  auto at = err.cbegin();
  while (at != err.cend()) {
    std::smatch match;
    bool known = false;
    for (const std::regex& message : program_messages()) {
      if (std::regex_search(at, err.cend(), match, message, std::regex_constants::match_continuous)) {
        at += match.length(0);
        known = true;
        break;
      }
    }
    if (!known) {
      break;
    }
  }
  return std::string(at, err.cend());
}

std::string shown(std::string text) {
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
    text.replace(at, 1, "\\n");
  }
  return "\"" + text + "\"";
}

struct image_case {
  const char* name;
  uint32_t file_size;
};

struct tally {
  size_t transactions = 0;
  size_t runs = 0;
  size_t recovered = 0;
  size_t by_design = 0;
  std::vector<std::string> violations;
};

class image_sweep {
public:
  image_sweep(const image_case& image, tally& counts)
      : image_(image), bench_(make_bench(image.file_size)), counts_(counts) {}

  // The fault-free run: its transactions, once it has shown itself sound.
  std::vector<transaction> clean_run() {
    const program_run run = fresh_run({});
    const std::vector<bus_entry> bus = read_bus(read_file(bench_.trace));
    std::vector<std::string> problems = completed(run, bus);
    if (!run.err.empty()) {
      problems.push_back("standard error " + shown(run.err));
    }
    if (read_file(bench_.trace).find("XXERASE?") == std::string::npos ||
        run.out.find("Successfully F/W is updated") == std::string::npos) {
      problems.push_back("no erase or no success to judge");
    }
    checker_self_test(bus, run.out, problems);
    for (const std::string& problem : problems) {
      counts_.violations.push_back(std::string(image_.name) + ", fault-free run: " + problem);
    }
    return problems.empty() ? transactions_of(bus) : std::vector<transaction>{};
  }

  void sweep() {
    const std::vector<transaction> list = clean_run();
    counts_.transactions += list.size();
    for (const transaction& t : list) {
      for (const fault_kind& kind : fault_kinds) {
        if (const std::optional<plan> p = kind.make(t)) {
          run_case(t, kind, *p);
        }
      }
    }
  }

private:
  image_words words() const {
    return {image_.file_size - 64, read_be32(&bench_.image_bytes[60]), read_be32(bench_.image_bytes.data())};
  }

  // A run against a new instrument: mode 2, an older firmware in flash.
  program_run fresh_run(const std::string& fault_line) {
    std::filesystem::remove(bench_.state);
    return run(fault_line);
  }

  program_run run(const std::string& fault_line) {
    std::filesystem::remove(bench_.trace);
    std::filesystem::remove(bench_.dir + "/sleeps");
    bench_.configure(fault_line.empty() ? std::string{} : fault_line + "\n");
    return bench_.run();
  }

  // What is wrong with a run that should have finished the update.
  std::vector<std::string> completed(const program_run& run, const std::vector<bus_entry>& bus) const {
    std::vector<std::string> problems = safety_violations(bus, run.out, words());
    if (run.status != 0) {
      problems.push_back("exit status " + std::to_string(run.status) + ", standard error " + shown(run.err));
    }
    if (!foreign_part(run.err).empty()) {
      problems.push_back("standard error not the program's own: " + shown(run.err));
    }
    if (bench_.mode() != 2) {
      problems.push_back("instrument left in mode " + std::to_string(bench_.mode()));
    }
    if (bench_.flash() != bench_.image_bytes) {
      problems.push_back("flash does not hold the new image");
    }
    return problems;
  }

  // The checker must see a fault when one is there: the clean trace with a
  // staged or a flash body CRC altered, or with both readings of a body
  // check telling of another image, must be judged unsafe.
  void checker_self_test(const std::vector<bus_entry>& bus, const std::string& out,
                         std::vector<std::string>& problems) const {
    for (const char* body_crc : {"XXCRC? 8388672,", "XXCRC? 4292870208,"}) {
      for (const bool both : {false, true}) {
        std::vector<bus_entry> doctored = bus;
        bool altered = false;
        for (size_t i = 2; i + 1 < doctored.size(); ++i) {
          if (doctored[i].text && doctored[i].text->starts_with(body_crc) && doctored[i + 1].call == bus_call::read) {
            doctored[i + 1].text = "1\n";
            if (both) {
              doctored[i - 1].text = "1\n"; // the stored word's reply
            }
            altered = true;
          }
        }
        if (!altered || safety_violations(doctored, out, words()).empty()) {
          problems.push_back(std::string("the safety check misses ") + (both ? "another image's " : "an altered ") +
                             body_crc + " reply");
        }
      }
    }
  }

  void run_case(const transaction& t, const fault_kind& kind, const plan& p) {
    ++counts_.runs;
    const program_run failed = fresh_run(p.line);
    const std::vector<bus_entry> bus = read_bus(read_file(bench_.trace));
    std::vector<std::string> problems;
    const bool fails = p.expect == outcome::fails || (p.expect == outcome::either && failed.status != 0);
    if (!fails) {
      problems = completed(failed, bus);
    } else {
      problems = safety_violations(bus, failed.out, words());
      if (failed.status != 1) {
        problems.push_back("exit status " + std::to_string(failed.status));
      }
      if (failed.err.empty()) {
        problems.push_back("nothing on standard error");
      } else if (!foreign_part(failed.err).empty()) {
        problems.push_back("standard error not the program's own: " + shown(failed.err));
      } else if (failed.err.find(p.names) == std::string::npos) {
        problems.push_back("standard error " + shown(failed.err) + " does not show " + shown(p.names));
      }
      const program_run again = run({});
      const std::vector<bus_entry> again_bus = read_bus(read_file(bench_.trace));
      for (const std::string& problem : completed(again, again_bus)) {
        problems.push_back("second run: " + problem);
      }
    }
    if (problems.empty()) {
      ++(fails ? counts_.recovered : counts_.by_design);
      return;
    }
    std::string where = std::string(image_.name) + ", k=" + std::to_string(t.k) + " " + call_name(t.call) + " #" +
                        std::to_string(t.nth);
    if (t.call == bus_call::read) {
      where += " (reply " + std::to_string(t.reply_number) + " to " + t.query + ")";
    }
    where += ", " + std::string(kind.name) + " [" + p.line + "]";
    where += ": ";
    for (const std::string& problem : problems) {
      counts_.violations.push_back(where);
      counts_.violations.back() += problem;
    }
  }

  image_case image_;
  bench bench_;
  tally& counts_;
};

} // namespace

int main() {
  const auto start = std::chrono::steady_clock::now();
  // One block; and three whose body is not a whole number of 64 KiB blocks.
  const image_case images[] = {{"1-block image", 40064}, {"3-block image", 150064}};
  tally counts;
  for (const image_case& image : images) {
    image_sweep(image, counts).sweep();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (const std::string& violation : counts.violations) {
    std::printf("VIOLATION %s\n", violation.c_str());
  }
  std::printf("sweep: %zu transactions x kinds = %zu fault runs, %zu failed safely and recovered, %zu not a failure "
              "by design, %zu violations (%.1f s)\n",
              counts.transactions, counts.runs, counts.recovered, counts.by_design, counts.violations.size(), seconds);
  const bool whole = counts.transactions > 0 && counts.recovered + counts.by_design == counts.runs;
  return counts.violations.empty() && whole ? 0 : 1;
}
