#!/usr/bin/env bash
# The zip a technician unpacks on a Windows PC: the programs at the top, the
# Windows user's README and the manual pages as text, and the rehearsal kit (the stand-in
# VISA library, kessim and a bench configuration) in rehearsal\. Text files
# get Windows line ends.
# Usage: tools/windows_zip.sh BUILD_DIR VERSION (after make windows's build).
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
name=kesload-$version-windows-x64
stage=$build/zip/$name
rm -rf "$build/zip"
mkdir -p "$stage/rehearsal"

crlf() { sed 's/\r*$/\r/' "$1" > "$2"; }
# The manual pages as plain text: no bold or underline by overstriking.
manual() { groff -man -Tascii -P-cbou "$1" | sed 's/\r*$/\r/' > "$2"; }

cp "$build"/kesload.exe "$build"/kescheck.exe "$build"/kesimage.exe "$stage"/
crlf "$source_dir/tools/windows/README.txt" "$stage/README.txt"
manual "$source_dir/man/kesload.1" "$stage/kesload.txt"
manual "$source_dir/man/kescheck.1" "$stage/kescheck.txt"
cp "$build/kessim.exe" "$build/lib/visa64.dll" "$stage/rehearsal/"
crlf "$source_dir/tools/windows/visa.conf" "$stage/rehearsal/visa.conf"
crlf "$source_dir/tools/windows/rehearsal-README.txt" "$stage/rehearsal/README.txt"

zip=$build/$name.zip
rm -f "$zip"
(cd "$build/zip" && cmake -E tar cf "$zip" --format=zip "$name")
echo "$zip"
