// Throughput of the program's CRC-32 engine, which goes one byte per step by
// design: over a transfer block (64 KiB) and a maximum image (1.75 MiB).
#include "image.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void crc32_engine(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  uint32_t x = 0x2545F491U;
  for (uint8_t& byte : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  const auto length = static_cast<uint32_t>(data.size());
  for ([[maybe_unused]] auto _ : state) {
    crc32_update(nullptr, 0);
    benchmark::DoNotOptimize(crc32_update(data.data(), length));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(crc32_engine)->Arg(65536)->Arg(1835008);

BENCHMARK_MAIN();
