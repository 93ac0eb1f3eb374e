// The sweep's faults, recorded and replayed: for each kind of fault, at the
// first and the last transaction of an update where it applies, a run with
// the fault planted records its session (KESLOAD_TRACE), and kesload replayed
// against that recording must print the same standard output and error and
// end with the same status. Prints one closing line; exits 1 on a mismatch.
#include "bench.h"
#include "bus_trace.h"
#include "fault_plans.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string shown(const std::string& text) { return "\"" + text + "\""; }

} // namespace

int main() {
  bench b = make_bench(40064); // one block
  std::filesystem::remove(b.trace);
  b.configure();
  const program_run clean = b.run();
  const std::vector<transaction> list = transactions_of(read_bus(read_file(b.trace)));
  if (clean.status != 0 || list.empty()) {
    std::printf("replay sweep: the fault-free run failed (status %d): %s\n", clean.status, clean.err.c_str());
    return 1;
  }
  size_t runs = 0;
  std::vector<std::string> mismatches;
  for (const fault_kind& kind : fault_kinds) {
    std::vector<std::pair<transaction, plan>> chosen;
    for (const transaction& t : list) {
      if (const std::optional<plan> p = kind.make(t)) {
        if (chosen.size() < 2) {
          chosen.emplace_back(t, *p);
        } else {
          chosen.back() = {t, *p};
        }
      }
    }
    for (const auto& [t, p] : chosen) {
      ++runs;
      std::filesystem::remove(b.state); // a new instrument, as the sweep has it
      b.recording = b.dir + "/recording.txt";
      std::filesystem::remove(b.recording);
      b.configure(p.line + "\n");
      const program_run recorded = b.run();
      const program_run replayed = b.replay(b.recording);
      if (recorded.out != replayed.out || recorded.err != replayed.err || recorded.status != replayed.status) {
        mismatches.push_back(std::string(kind.name) + " at k=" + std::to_string(t.k) + " [" + p.line +
                             "]: recorded status " + std::to_string(recorded.status) + ", out " +
                             shown(recorded.out) + ", err " + shown(recorded.err) + "; replayed status " +
                             std::to_string(replayed.status) + ", out " + shown(replayed.out) + ", err " +
                             shown(replayed.err));
      }
    }
  }
  for (const std::string& mismatch : mismatches) {
    std::printf("MISMATCH %s\n", mismatch.c_str());
  }
  std::printf("replay sweep: %zu fault runs recorded and replayed, %zu kinds, %zu mismatches\n", runs,
              fault_kinds.size(), mismatches.size());
  return mismatches.empty() && runs >= fault_kinds.size() ? 0 : 1;
}
