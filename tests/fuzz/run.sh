#!/usr/bin/env bash
# Runs each libFuzzer program of BUILD_DIR (configured with KESLOAD_FUZZ=ON,
# built with --target fuzz) for about SECONDS, over a copy of its saved
# inputs, so that nothing is written into the source tree. Fails when any
# target finds a crash, a hang, a leak or a broken check; the input that did
# it is kept, and its path printed.
#
#   tests/fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image_loader reply_reader address_option sim_bus)
fi

work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work"

failed=()
for target in "${targets[@]}"; do
  program="$build/tests/fuzz/fuzz_$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: $program is missing (configure with -DKESLOAD_FUZZ=ON and build --target fuzz)" >&2
    exit 2
  fi
  corpus="$work/$target/corpus"
  mkdir -p "$corpus" "$work/$target/found"
  cp -R "$here/corpus/$target/." "$corpus/"
  options=(
    -max_total_time="$seconds"
    -timeout=10           # seconds for one input; a hang fails the run
    -max_len=8192         # the loader reaches its 3 MiB files from a length in its first bytes
    -rss_limit_mb=2048
    -print_final_stats=1
    -artifact_prefix="$work/$target/found/"
  )
  if [ -f "$here/$target.dict" ]; then
    options+=(-dict="$here/$target.dict")
  fi
  log="$work/$target/log"
  echo "fuzz: $target for ${seconds} s"
  # The targets' own messages (the loader's, the readers') go to the log only.
  if "$program" "${options[@]}" "$corpus" >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$log" | sed 's/^/  /' || true
    echo "  corpus: $(ls "$corpus" | wc -l) inputs"
  else
    echo "fuzz: $target FAILED; the end of its log ($log):"
    tail -n 60 "$log"
    for found in "$work/$target/found/"*; do
      if [ -e "$found" ]; then
        echo "fuzz: reproducer: $found  (rerun: $program $found)"
      fi
    done
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran clean"
