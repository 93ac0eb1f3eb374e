#!/usr/bin/env bash
# A complete firmware update of a simulated instrument, as it looks on a
# bench: an instrument in its application mode with an older firmware, a new
# image, kesload, and a look at the instrument afterwards.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
clone=$(cd "$(dirname "$0")/.." && pwd)
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
cd "$demo"

export PATH="$build:$PATH"

show() {
  echo "\$ $*"
  "$@"
}

# Two firmware bodies with fixed contents, so every run prints the same CRCs.
yes "Kestrune firmware 1.0" | head -c 150000 >old-body.bin || true
yes "Kestrune firmware 2.0" | head -c 400000 >new-body.bin || true
kesimage make old-body.bin old.bin
kesimage make new-body.bin appl.bin

# The instrument: application mode 2, the old firmware in flash, and the
# timing of a real bench (1 MB/s bus, erase and programming times).
kessim create bench.state --mode 2 --image old.bin >/dev/null
cat >visa.conf <<CONF
trace = $demo/trace.txt
[GPIB0::17::INSTR]
state = $demo/bench.state
restart_ms = 3000
bus_rate = 1000000
erase_ms = 400
program_ms = 150
crc_ms_per_mib = 40
CONF

# kesload and kescheck use the machine's VISA; kessim run puts the stand-in
# library and this bench in its place, on purpose.
# Paths of this clone are shown from the clone's top, as README.md shows them.
bench() {
  echo "\$ kessim run visa.conf -- $*"
  local status=0
  kessim run visa.conf -- "$@" | sed -u "s#$clone/##" || status=${PIPESTATUS[0]}
  echo "(exit status $status)"
}

show kesimage info appl.bin
echo
bench kescheck appl.bin
echo
start=$(date +%s)
bench kesload appl.bin
echo "($(($(date +%s) - start)) s)"
echo
# The instrument restarts for a few seconds before it answers again.
sleep 3
bench kescheck appl.bin
echo
show kessim show bench.state
echo
echo "Every VISA call: ${1:-build}/demo/trace.txt ($(wc -l <trace.txt) lines)"
