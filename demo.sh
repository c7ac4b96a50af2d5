#!/usr/bin/env bash
# The demo: a complete update of an emulated TX unit over a pseudo-terminal, no hardware needed.
# It uses the accelerated build: every protocol time-out and wait is divided by 10.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
scripts/install-deps.sh demo
# Its own build folder: the test builds keep their settings.
cmake --preset native-fast -B build/demo -DFWUPGRADE_TESTS=OFF >/dev/null
cmake --build build/demo -j2 --target FwUpgrade unit-emulator >/dev/null
work=$(mktemp -d)
build/demo/unit-emulator --baud 57600 --unit tx --summary "$work/unit.log" >"$work/pty" &
emulator=$!
trap 'kill $emulator 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
echo "Emulated TX unit at 57600 baud on $(head -1 "$work/pty") (accelerated build: waits divided by 10)"
status=0
build/demo/FwUpgrade --ports "$(head -1 "$work/pty")" --no-pause || status=$?
echo
echo "FwUpgrade exit status: $status"
echo "What the unit received:"
grep -E '^(command|image)' "$work/unit.log" | sed 's/^/  /'
exit $status
