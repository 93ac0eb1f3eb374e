#!/usr/bin/env bash
# Static analysis of the project's own code (program, tools, stand-ins,
# benchmarks): clang-tidy with .clang-tidy, cppcheck with
# .cppcheck-suppressions. Both must be clean. Needs a configured build
# folder for its compile_commands.json.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# The Windows files are not in a Linux build's compile commands; cppcheck
# reads them below.
sources=$(git ls-files 'front/*.cpp' 'image/*.cpp' 'link/*.cpp' 'update/*.cpp' 'platform/*.cpp' 'tools/*.cpp' 'visa/*.cpp' \
  'trace/*.cpp' \
  'sim/*.cpp' 'bench/*.cpp' ':!:*_windows.cpp')

echo "clang-tidy: $(echo "$sources" | wc -w) files"
# shellcheck disable=SC2086
printf '%s\n' $sources | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2> >(grep -v "warnings generated" >&2)

echo "cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --error-exitcode=1 --quiet --inline-suppr --suppressions-list=.cppcheck-suppressions \
  -I image -I link -I update -I front -I platform -I visa/include -I sim -I tools/kesimage -I tools/report -I trace \
  front image link update platform tools visa sim bench trace
echo "static analysis: clean"
