#!/usr/bin/env bash
# The benchmarks of a build folder: the CRC-32 engine's throughput (when
# Google Benchmark was found), then a maximum-size update on the simulator,
# whose closing block has every figure with its target.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
if [ ! -x "$build/bench/kesbench_update" ]; then
  echo "bench/run.sh: $build has no benchmarks; configure it with -DKESLOAD_BENCH=ON (the default when" \
    "Google Benchmark, libbenchmark-dev, is installed), the stand-in VISA and no sanitizers" >&2
  exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

args=()
if [ -x "$build/bench/kesbench_crc32" ]; then
  "$build/bench/kesbench_crc32" --benchmark_out="$work/crc32.json" --benchmark_out_format=json
  echo
  args+=(--crc-json "$work/crc32.json")
fi
"$build/bench/kesbench_update" "${args[@]}"
