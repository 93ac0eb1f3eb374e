#!/usr/bin/env bash
# A bench PC with a vendor's VISA: visa.h in a vendor's subfolder of
# include/, the library under another name than libvisa.so, in a prefix of
# its own. The stand-in's own header and library (renamed, its soname too)
# play that part, and not a line of the program changes. Configure must find
# it, kesload and kescheck must link it and find it when installed, and the
# whole suite (which links the stand-in) must still pass.
#   tools/ci/vendor_visa.sh BUILD_WITH_STANDIN NEW_BUILD
set -euo pipefail
cd "$(dirname "$0")/../.."
standin_build=$1
build=$2

vendor=$PWD/$build-prefix
rm -rf "$vendor" "$build"
mkdir -p "$vendor/include/acme" "$vendor/lib64"
cp visa/include/visa.h "$vendor/include/acme/visa.h"
cp "$standin_build/lib/libvisa.so" "$vendor/lib64/libvisa64.so"
patchelf --set-soname libvisa64.so "$vendor/lib64/libvisa64.so"

cmake -S . -B "$build" -DVISA_ROOT="$vendor" -DKESLOAD_WERROR=ON | tee "$vendor/configure.log"
grep -F -- "-- kesload links the machine's VISA: $vendor/lib64/libvisa64.so (visa.h in $vendor/include/acme)" \
  "$vendor/configure.log"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The programs for the bench link the vendor's library; every test variant
# links the stand-in, from the build tree.
for program in kesload kescheck; do
  readelf -d "$build/$program" | grep -F "Shared library: [libvisa64.so]"
done
for variant in tests/kesload_sim tests/kesload_fast tests/check/kescheck_sim; do
  readelf -d "$build/$variant" | grep -F "Shared library: [libvisa.so]"
  readelf -d "$build/$variant" | grep -F "Library runpath: [$PWD/$build/lib]"
  if readelf -d "$build/$variant" | grep -F "libvisa64.so"; then
    echo "$variant links the vendor's VISA" >&2
    exit 1
  fi
done

cmake --install "$build" --prefix "$build-installed" >/dev/null
for program in kesload kescheck; do
  binary=$build-installed/bin/$program
  readelf -d "$binary" | grep -F "Shared library: [libvisa64.so]"
  readelf -d "$binary" | grep -F "Library runpath: [$vendor/lib64]"
  ldd "$binary" | grep -F "libvisa64.so => $vendor/lib64/libvisa64.so"
done
echo "vendor VISA: found, linked and loaded by the installed kesload and kescheck; suite passed"
