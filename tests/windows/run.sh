#!/usr/bin/env bash
# Checks under Wine what the Windows programs must do as on Linux: the
# command line as GNU reads it, images read as bytes, UTF-8 file names, the
# platform's line ends on standard output and error, Ctrl-C, missing
# standard streams and the VISA library's loading. Each case compares what
# the program printed, byte for byte, and its exit status.
# Usage: tests/windows/run.sh BUILD_DIR (after make windows-check's build).
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
tools=$build/windows-check
export WINEDEBUG=-all
# Wine takes file names and the environment in the locale's encoding.
export LC_ALL=C.UTF-8
unset KESLOAD_VISA POSIXLY_CORRECT
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0

# Text as the programs print it on Windows: every line ends in CR LF.
windows_text() { printf '%s' "$1" | sed 's/$/\r/'; }

# check NAME STATUS STDOUT STDERR COMMAND...: runs COMMAND and compares.
check() {
  local name=$1 status=$2 out=$3 err=$4
  shift 4
  "$@" > out.txt 2> err.txt
  local got=$?
  windows_text "$out" > want_out.txt
  windows_text "$err" > want_err.txt
  if [ "$got" -eq "$status" ] && cmp -s out.txt want_out.txt && cmp -s err.txt want_err.txt; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name (status $got, wanted $status)"
    diff want_out.txt out.txt | sed 's/^/  stdout /' | cat -A | head -20
    diff want_err.txt err.txt | sed 's/^/  stderr /' | cat -A | head -20
  fi
}

kesload=$build/kesload.exe
kescheck=$build/kescheck.exe
kesimage=$build/kesimage.exe
usage=$(cat "$source_dir/tests/data/usage.txt")$'\n'
# A library KESLOAD_VISA names that is not there: the message that a run got
# past its image check, whatever VISA the Wine prefix holds.
past_image="Can't use the VISA library in KESLOAD_VISA, none.dll: missing"$'\n'
answering=$(winepath -w "$tools/answering_visa.dll")

# The programs carry their C++ runtime and link no VISA: what they import is
# Windows's own.
for program in "$kesload" "$kescheck" "$kesimage" "$build/kessim.exe"; do
  foreign=$(x86_64-w64-mingw32-objdump -p "$program" | awk '/DLL Name/ { print $3 }' |
    grep -viE '^(kernel32|msvcrt|shell32|user32|advapi32)\.dll$')
  if [ -z "$foreign" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $(basename "$program") imports $foreign"
  fi
done

# An image whose body holds the bytes a text-mode read or write changes.
{ printf '\r\n\032\n\r\032\r\n'; head -c 4000 /dev/zero | tr '\0' 'K'; printf '\r\n\032'; } > body.bin
check "kesimage makes an image of a body with CR, LF and 0x1A" 0 "" "" wine "$kesimage" make body.bin appl.bin
if ! tail -c +65 appl.bin | cmp -s - body.bin; then
  failed=$((failed + 1))
  echo "FAILED: the image's body is not the body's bytes"
fi
# The header words, worked out here from the body.
info=$(python3 - <<'PY'
import struct, zlib
body = open("body.bin", "rb").read()
header = struct.pack(">IIII", zlib.crc32(body), 0xFFE00040, len(body), 0) + bytes(44)
print(f"size:       {64 + len(body)} bytes")
print(f"fw_crc:     0x{zlib.crc32(body):08X}")
print("fw_address: 0xFFE00040")
print(f"fw_length:  {len(body)}")
print("fw_word3:   0x00000000")
print(f"hdr_crc:    0x{zlib.crc32(header):08X}")
print("accepted: size, address, length and both CRCs pass")
PY
)
check "kesimage info on redirected standard output, CR LF line ends" 0 "$info"$'\n' "" wine "$kesimage" info appl.bin
check "kesload accepts that image" 1 "" "$past_image" env KESLOAD_VISA=none.dll wine "$kesload" appl.bin
head -c 100 appl.bin > short.bin
check "kesload refuses a cut image before looking for VISA" 1 "" "Data file short.bin is corrupted"$'\n' \
  wine "$kesload" short.bin

# The command line.
check "-a 31 after the file" 2 "" "invalid GPIB address 31"$'\n'"$usage" wine "$kesload" appl.bin -a 31
check "options after the file are read" 1 "" "$past_image" env KESLOAD_VISA=none.dll wine "$kesload" appl.bin -n -a 3
check "POSIXLY_CORRECT stops at the file" 2 "" "$usage" env POSIXLY_CORRECT=1 wine "$kesload" appl.bin -n
check "-- ends the options" 1 "" "Can not open -x.bin"$'\n' wine "$kesload" -- -x.bin
check "-- after the file" 2 "" "$usage" wine "$kesload" appl.bin -- -n
wine "$kescheck" appl.bin -a 31 > out.txt 2> err.txt
status=$?
if [ "$status" -eq 2 ] && [ "$(head -n 1 err.txt)" = $'invalid GPIB address 31\r' ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: kescheck appl.bin -a 31 (status $status):"
  cat err.txt
fi

# File names beyond ASCII.
mkdir -p "Prüfstand/日本語"
cp appl.bin "Prüfstand/日本語/appl.bin"
check "a German and Japanese folder opens" 1 "" "$past_image" env KESLOAD_VISA=none.dll wine "$kesload" "Prüfstand/日本語/appl.bin"
check "and is named in messages as given" 1 "" "Can not open Prüfstand/日本語/none.bin"$'\n' \
  wine "$kesload" "Prüfstand/日本語/none.bin"
check "kesimage writes there" 0 "" "" wine "$kesimage" make body.bin "Prüfstand/日本語/new.bin"
check "and a failed write says why" 1 "" "kesimage: can't write nowhere/new.bin: No such file or directory"$'\n' \
  wine "$kesimage" make body.bin nowhere/new.bin
check "and a name Windows forbids says so" 1 "" "kesimage: can't write a<b.bin: No such file or directory"$'\n' \
  wine "$kesimage" make body.bin 'a<b.bin'
mkdir folder.bin
check "kesimage replaces no folder" 1 "" "kesimage: folder.bin is not a regular file, not replaced"$'\n' \
  wine "$kesimage" make body.bin folder.bin
check "nor the body itself" 1 "" "kesimage: ./body.bin is the body file itself, not replaced"$'\n' \
  wine "$kesimage" make body.bin ./body.bin
check "and takes no folder for a body" 1 "" "kesimage: folder.bin is not a regular file"$'\n' \
  wine "$kesimage" make folder.bin other.bin
# A write that fails midway (a file-size limit under Wine, as a full disk on
# Windows) leaves the old image as it was.
head -c 200000 /dev/zero | tr '\0' 'B' > big.bin
cp appl.bin old.bin
(ulimit -f 100; trap '' XFSZ; wine "$kesimage" make big.bin old.bin > out.txt 2> err.txt)
status=$?
if [ "$status" -eq 1 ] && grep -q "^kesimage: can't write old.bin: " err.txt && cmp -s old.bin appl.bin; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a failed write kept the old image (status $status):"
  cat err.txt
fi
leftovers=$(find . -name '*.bin.*' | wc -l)
if [ "$leftovers" -ne 0 ]; then
  failed=$((failed + 1))
  echo "FAILED: kesimage left temporary files: $(find . -name '*.bin.*')"
fi

# The VISA library.
prefix=${WINEPREFIX:-$HOME/.wine}
if [ -e "$prefix/drive_c/windows/system32/visa64.dll" ]; then
  echo "skipped: no VISA (the Wine prefix has a visa64.dll)"
else
  no_visa="No VISA library found. Tried:
  C:\\windows\\system32\\visa64.dll: missing
Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA."$'\n'
  check "no VISA" 1 "" "$no_visa" wine "$kesload" appl.bin
  check "kescheck -V without a VISA" 1 "kescheck 1.0.0 (windows-x64)
KESLOAD_VISA: not set
search:
  C:\\windows\\system32\\visa64.dll: missing
visa: none"$'\n' "Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA."$'\n' \
    wine "$kescheck" -V
  check "an empty KESLOAD_VISA is unset" 1 "" "$no_visa" env KESLOAD_VISA= wine "$kesload" appl.bin
  # A VISA in the current folder and beside the program: neither is taken.
  mkdir beside
  cp "$kesload" beside/
  cp "$tools/answering_visa.dll" beside/visa64.dll
  cp "$tools/answering_visa.dll" visa64.dll
  check "a visa64.dll beside the image or the program is not taken" 1 "" "$no_visa" wine beside/kesload.exe appl.bin
  rm -r visa64.dll beside
fi
mkdir needing
cp "$tools/needing_visa.dll" needing/
check "a library that needs one that is not there" 1 "" \
  "Can't use the VISA library in KESLOAD_VISA, needing/needing_visa.dll: not loadable (a library it needs is missing)"$'\n' \
  env KESLOAD_VISA=needing/needing_visa.dll wine "$kesload" appl.bin
check "a library without viClear" 1 "" \
  "Can't use the VISA library in KESLOAD_VISA, $tools/answering_visa_without_clear.dll: lacks viClear"$'\n' \
  env KESLOAD_VISA="$tools/answering_visa_without_clear.dll" wine "$kesload" appl.bin
check "a folder is no library" 1 "" \
  "Can't use the VISA library in KESLOAD_VISA, folder.bin: not a regular file"$'\n' \
  env KESLOAD_VISA=folder.bin wine "$kesload" appl.bin
# The header of a 32-bit DLL, as a visa32.dll has: MZ, the PE header at 64, machine 0x14C.
{ printf 'MZ'; head -c 58 /dev/zero; printf '\x40\0\0\0PE\0\0\x4c\x01'; head -c 200 /dev/zero; } > visa32.dll
check "a 32-bit DLL" 1 "" \
  "Can't use the VISA library in KESLOAD_VISA, visa32.dll: built for another architecture (x86, a 32-bit DLL)"$'\n' \
  env KESLOAD_VISA=visa32.dll wine "$kesload" appl.bin
check "a file that is no library" 1 "" \
  "Can't use the VISA library in KESLOAD_VISA, appl.bin: not loadable (Bad EXE format for appl.bin.)"$'\n' \
  env KESLOAD_VISA=appl.bin wine "$kesload" appl.bin

# The rehearsal kit as a technician unpacks it, in a folder beyond ASCII: a
# whole update through kessim run, and the stand-in installed as the system's
# visa64.dll, as on a bench PC with a VISA (in a Wine prefix of its own).
mkdir "Prüfstand/Jürgen"
(cd "Prüfstand/Jürgen" && cmake -E tar xf "$build"/kesload-*-windows-x64.zip)
kit=$(echo "$work/Prüfstand/Jürgen"/kesload-*-windows-x64)
image=$(winepath -w appl.bin)
(
  cd "$kit/rehearsal" || exit 1
  wine ./kessim.exe create bench.state --mode 2 > /dev/null
  wine ./kessim.exe run visa.conf -- '..\kesload.exe' "$image" > "$work/out.txt" 2> "$work/err.txt"
  echo "status $?" >> "$work/out.txt"
  wine ./kessim.exe run visa.conf -- '..\kescheck.exe' "$image" >> "$work/out.txt" 2>> "$work/err.txt"
  echo "status $?" >> "$work/out.txt"
)
if grep -qx $'Successfully F/W is updated\r' out.txt && grep -qx "status 0" out.txt && [ ! -s err.txt ] &&
  grep -qx $'verdict: same\r' out.txt && [ "$(grep -c "^status 0$" out.txt)" -eq 2 ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: an update on the simulated bench from the zip:"
  cat out.txt err.txt
fi
system_prefix=$work/prefix
WINEPREFIX=$system_prefix wineboot -i > /dev/null 2>&1
cp "$kit/rehearsal/visa64.dll" "$system_prefix/drive_c/windows/system32/"
WINEPREFIX=$system_prefix KESVISA_CONFIG=$(winepath -w "$kit/rehearsal/visa.conf") wine "$kit/kescheck.exe" appl.bin \
  > out.txt 2> err.txt
status=$?
WINEPREFIX=$system_prefix wineserver -k 2> /dev/null
if [ "$status" -eq 0 ] && grep -qxF $'visa: C:\\windows\\system32\\visa64.dll\r' out.txt; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: the stand-in as the system's visa64.dll (status $status):"
  cat out.txt err.txt
fi
# kescheck -V names it, who made it and the interfaces it sees.
WINEPREFIX=$system_prefix KESVISA_CONFIG=$(winepath -w "$kit/rehearsal/visa.conf") wine "$kit/kescheck.exe" -V \
  > out.txt 2> err.txt
status=$?
WINEPREFIX=$system_prefix wineserver -k 2> /dev/null
if [ "$status" -eq 0 ] && grep -qF $'C:\\windows\\system32\\visa64.dll: used, ' out.txt &&
  grep -qxF $'visa: C:\\windows\\system32\\visa64.dll\r' out.txt && grep -qxF $'interfaces: GPIB0::INTFC\r' out.txt; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: kescheck -V with the stand-in as the system's visa64.dll (status $status):"
  cat out.txt err.txt
fi

# A recording made on Windows (KESLOAD_TRACE) replays there to the same
# output and status, and it reads as the stand-in's own trace of the same
# run, call for call; a recording made on Linux (tests/data) replays too.
(
  cd "$kit/rehearsal" || exit 1
  rm -f bench.state trace.txt recording.txt
  wine ./kessim.exe create bench.state --mode 2 > /dev/null
  KESLOAD_TRACE=recording.txt wine ./kessim.exe run visa.conf -- '..\kesload.exe' "$image" \
    > "$work/recorded.txt" 2>&1
  echo "status $?" >> "$work/recorded.txt"
  wine ./kessim.exe replay recording.txt -- '..\kesload.exe' "$image" > "$work/replayed.txt" 2>&1
  echo "status $?" >> "$work/replayed.txt"
  # The calls of both traces, without the process ids, times and comments.
  for file in recording.txt trace.txt; do
    tr -d '\r' < "$file" | grep -E '^[0-9]+ [0-9.]+ [0-9.]+ vi' | cut -d ' ' -f 4- | sed 's/ # .*//' > "$work/$file.calls"
  done
)
if grep -qx "status 0" "$work/recorded.txt" && cmp -s "$work/recorded.txt" "$work/replayed.txt" &&
  [ -s "$work/recording.txt.calls" ] && cmp -s "$work/recording.txt.calls" "$work/trace.txt.calls" &&
  grep -q ' - session kesload 1\.0\.0 windows-' "$kit/rehearsal/recording.txt" &&
  grep -q ' - end 0$' "$kit/rehearsal/recording.txt"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a recording made on Windows does not replay to the same run:"
  diff "$work/recorded.txt" "$work/replayed.txt" | head -20
  diff "$work/recording.txt.calls" "$work/trace.txt.calls" | head -10
fi
(
  cd "$kit/rehearsal" || exit 1
  wine ./kessim.exe replay "$(winepath -w "$source_dir/tests/data/kescheck_recording.txt")" -- '..\kescheck.exe' \
    > "$work/out.txt" 2> "$work/err.txt"
  echo "status $?" >> "$work/out.txt"
)
tr -d '\r' < out.txt | sed '2d' > replayed_check.txt
{ sed '2d' "$source_dir/tests/data/kescheck_recording.out"; echo "status 0"; } > wanted_check.txt
if cmp -s replayed_check.txt wanted_check.txt && [ ! -s err.txt ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a recording made on Linux does not replay on Windows:"
  diff wanted_check.txt replayed_check.txt | head -20
  cat err.txt
fi

# The simulator's files on Windows: a trace two processes append to at once,
# a state file cut short under a running instrument, a full disk.
kessim=$kit/rehearsal/kessim.exe
mkdir files
printf 'trace = %s\n[GPIB0::17::INSTR]\nstate = bench.state\nrestart_ms = 300\nbus_rate = 2000\n' "$(winepath -w files/trace.txt)" > files/visa.conf
wine "$kessim" create files/bench.state --mode 2 > /dev/null
wine "$kessim" run files/visa.conf -- "$kescheck" appl.bin > /dev/null 2>&1 &
wine "$kessim" run files/visa.conf -- "$kescheck" appl.bin > /dev/null 2>&1
wait
pids=$(cut -d ' ' -f 1 files/trace.txt | sort -u | wc -l)
whole=$(grep -cE '^[0-9]+ [0-9]+\.[0-9] (- session kesvisa .*|[0-9]+\.[0-9] vi[A-Za-z]+\(.*\) = 0x[0-9A-F]{8}( .*)?)$' files/trace.txt)
# Both ran the same session: each process's lines, in order, are the same.
for pid in $(cut -d ' ' -f 1 files/trace.txt | sort -u); do
  grep "^$pid " files/trace.txt | cut -d ' ' -f 4- | grep -v '^session ' > "files/$pid.lines"
done
if [ "$pids" -eq 2 ] && [ "$whole" -eq "$(wc -l < files/trace.txt)" ] && cmp -s files/*.lines; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: two processes' trace lines ($pids processes, $whole whole lines):"
  head -20 files/trace.txt
fi
wine "$kessim" run files/visa.conf -- "$kesload" appl.bin > out.txt 2> err.txt &
# Cut once the instrument is in BOOTROM mode, its RAM being filled.
for _ in $(seq 300); do
  grep -q XXFILL files/trace.txt 2> /dev/null && break
  sleep 0.2
done
truncate -s 0 files/bench.state
wait $!
status=$?
if [ "$status" -eq 1 ] && grep -q "the simulated instrument stops answering" err.txt && [ ! -s files/bench.state ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a state file cut short under kesload's run (status $status):"
  cat out.txt err.txt
fi
# Wine cannot take the space ahead as Windows does (its files grow sparse),
# so the write may be what fails; either way no state and no part of one.
(ulimit -f 64; trap '' XFSZ; wine "$kessim" create files/full.state > out.txt 2> err.txt)
status=$?
if [ "$status" -eq 1 ] && grep -qE "^kessim: state files/full.state: cannot (reserve 2097216 bytes|write): " err.txt &&
  [ "$(ls files | grep -c full)" -eq 0 ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a full disk under kessim create (status $status):"
  cat err.txt
  ls files
fi

# The exclusive lock between processes: while one holds it, another's
# locking open is refused and its writes without the lock too; once the
# holder has ended (its session still open), the lock is free.
printf '[GPIB0::17::INSTR]\nstate = lock.state\n' > files/lock.conf
opener() { wine "$kessim" run files/lock.conf -- "$tools/locking_open.exe" "$@" 2>&1; }
opener 1 "$(winepath -w files/release)" > holder.txt &
holder=$!
for _ in $(seq 300); do
  grep -qs open holder.txt && break
  sleep 0.2
done
meanwhile=$( (opener 1; opener 0) | tr -d '\r')
touch files/release
wait $holder
after=$(opener 1 | tr -d '\r')
if [ "$(tr -d '\r' < holder.txt)" = "open 0x00000000 write 0x00000000" ] &&
  [ "$meanwhile" = $'open 0xBFFF000F\nopen 0x00000000 write 0xBFFF000F' ] &&
  [ "$after" = "open 0x00000000 write 0x00000000" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: the lock between processes:"
  printf 'holder: %s\nmeanwhile: %s\nafter: %s\n' "$(tr -d '\r' < holder.txt)" "$meanwhile" "$after"
fi

# Ctrl-C: once, the run ends at the next transaction boundary (here the
# pause after the device clear ends at once); twice, while VISA holds the
# program, the second ends it where it is.
check "Ctrl-C" 0 "console_event: exit status 1"$'\n' "Interrupted: update not complete, run kesload again"$'\n' \
  env KESLOAD_VISA="$answering" wine "$tools/console_event.exe" 1 "$(winepath -w "$kesload") -n appl.bin"
ANSWERING_VISA_HANG=1 KESLOAD_VISA="$answering" timeout 120 wine "$tools/console_event.exe" 2 \
  "$(winepath -w "$kesload") -n appl.bin" > out.txt 2> err.txt
if grep -q "exit status" out.txt && ! grep -q "did not end" out.txt && [ ! -s err.txt ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: a second Ctrl-C does not end the run at once:"
  cat out.txt err.txt
fi

# Missing standard streams: what is there is still written whole.
check "no standard output" 0 "" "${past_image}without_stream: exit status 1"$'\n' \
  env KESLOAD_VISA=none.dll wine "$tools/without_stream.exe" 1 "$(winepath -w "$kesload") appl.bin"
check "no standard error" 0 "without_stream: exit status 0"$'\n' "" \
  wine "$tools/without_stream.exe" 2 "$(winepath -w "$kesimage") make body.bin other.bin"

echo "windows-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
