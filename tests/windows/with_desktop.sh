#!/usr/bin/env bash
# Runs a command with Wine's desktop kept up by desktop_keeper.exe (see its
# source for why), then ends the keeper; the command's status.
# Usage: tests/windows/with_desktop.sh BUILD_DIR COMMAND [ARGS...]
set -u
build=$1
shift
ready=$(mktemp -u)
wine "$build/windows-check/desktop_keeper.exe" "$(winepath -w "$ready")" < /dev/null > /dev/null 2>&1 &
keeper=$!
for _ in $(seq 600); do
  [ -e "$ready" ] && break
  kill -0 "$keeper" 2> /dev/null || break
  sleep 0.1
done
if [ ! -e "$ready" ]; then
  echo "with_desktop: Wine's desktop did not come up" >&2
  kill "$keeper" 2> /dev/null
  exit 1
fi
rm -f "$ready"
"$@"
status=$?
kill "$keeper" 2> /dev/null
wait "$keeper" 2> /dev/null
exit "$status"
