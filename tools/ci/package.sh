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
done
readelf -d "$unpacked/usr/bin/kesload" | grep -F "Shared library: [libvisa.so]"
rm -rf "$unpacked"
echo "package: $(basename "$deb") holds the programs, the manual pages and the stand-in in its private folder; kesload uses the system's VISA"
