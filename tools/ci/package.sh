#!/usr/bin/env bash
# The Debian package: what it holds, and that nothing in it points kesload
# (or kescheck) at the stand-in: the stand-in lies in its private folder and
# only kessim knows where.
#   tools/ci/package.sh BUILD
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kesload_*.deb)
dpkg-deb --info "$deb" | grep -E "Package|Version|Depends"
# The description's lines are text, each indented by one blank only.
if dpkg-deb --field "$deb" Description | grep -E '^ ?;|^  '; then
  echo "package: the description's lines carry list separators or extra blanks" >&2
  exit 1
fi
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
echo "$contents"
for file in ./usr/bin/kesload ./usr/bin/kescheck ./usr/bin/kesimage ./usr/bin/kessim ./usr/lib/kesload/libvisa.so \
  ./usr/share/man/man1/kesload.1 ./usr/share/man/man1/kescheck.1; do
  grep -qxF "$file" <<<"$contents" || { echo "package: $file missing" >&2; exit 1; }
done
# Nothing for the loader's configuration, and no VISA library outside the
# private folder.
if grep -E '^\./etc/|libvisa' <<<"$contents" | grep -vxF ./usr/lib/kesload/libvisa.so; then
  echo "package: a file that would put the stand-in in the loader's way" >&2
  exit 1
fi

unpacked=$(mktemp -d)
dpkg-deb --extract "$deb" "$unpacked"
for program in kesload kescheck kesimage; do
  if readelf -d "$unpacked/usr/bin/$program" | grep -E "RPATH|RUNPATH"; then
    echo "package: $program carries a library path" >&2
    exit 1
  fi
  if grep -q "lib/kesload" "$unpacked/usr/bin/$program"; then
    echo "package: $program names the stand-in's folder" >&2
    exit 1
  fi
  # The machine's VISA is bound at run time: no VISA among the needed libraries.
  if readelf -d "$unpacked/usr/bin/$program" | grep NEEDED | grep -i visa; then
    echo "package: $program needs a VISA library at load time" >&2
    exit 1
  fi
done

# Run from the unpacked package: without a VISA on this machine, kesload
# says what it tried (never the loader's status 127); through kessim run it
# binds the package's stand-in and updates a simulated instrument.
work=$(mktemp -d)
head -c 70000 /dev/urandom >"$work/body.bin"
"$unpacked/usr/bin/kesimage" make "$work/body.bin" "$work/appl.bin" >/dev/null
status=0
(cd "$work" && env -u KESLOAD_VISA -u KESLOAD_VISA_ROOT "$unpacked/usr/bin/kesload" appl.bin) 2>"$work/err" || status=$?
if [ "$status" != 1 ] || ! diff -u tests/data/no_visa.txt "$work/err"; then
  echo "package: kesload without a VISA gave status $status" >&2
  exit 1
fi
printf '[GPIB0::17::INSTR]\nstate = %s/bench.state\nrestart_ms = 0\n' "$work" >"$work/visa.conf"
(cd "$work" && "$unpacked/usr/bin/kessim" run visa.conf -- "$unpacked/usr/bin/kesload" -n appl.bin)
report=$(cd "$work" && "$unpacked/usr/bin/kessim" run visa.conf -- "$unpacked/usr/bin/kescheck" appl.bin)
grep -xF "visa: $unpacked/usr/lib/kesload/libvisa.so" <<<"$report"
grep -xF "verdict: same" <<<"$report"
rm -rf "$unpacked" "$work"
echo "package: $(basename "$deb") holds the programs, the manual pages and the stand-in in its private folder;" \
  "kesload and kescheck need no VISA to start, say what they tried without one, and rehearse through kessim run"
