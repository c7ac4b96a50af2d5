#!/usr/bin/env bash
# A complete update against the emulator with the line paced at 115200 baud (11,520 bytes a
# second, times the build's divisor), measured against the protocol's own minimum for the run:
# the line time of both images plus every wait the protocol mandates.
# Usage: bench/update-bench.sh [BUILD_DIR]   (default build/native-fast)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-fast}
divisor=$(grep -o 'FWUPGRADE_TIME_DIVISOR:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2)
work=$(mktemp -d)
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT
bytes_per_s=$((11520 * divisor))
"$build/unit-emulator" --baud 115200 --slow-line "$bytes_per_s" --summary "$work/summary" >"$work/path" &
emulator=$!
for _ in $(seq 50); do [ -s "$work/path" ] && break; sleep 0.1; done
start=$(date +%s.%N)
"$build/FwUpgrade" --ports "$(head -1 "$work/path")" --no-pause >"$work/out"
end=$(date +%s.%N)
python3 - "$work/summary" "$start" "$end" "$divisor" "$bytes_per_s" <<'PY'
import re, sys
summary, start, end, divisor, rate = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
lengths = [int(m) for m in re.findall(r"^image kind=\w+ length=(\d+)", open(summary).read(), re.M)]
assert len(lengths) == 2, "the update did not complete"
# Read time-outs in ms: the probe answered at once (2 x 500), the version read (1000),
# the identity (2 x 1000), the announcements (2 x 10000, 2 x 5000), the acknowledgements
# (2 x 2 x 1000), the reboot wait (46 x 3000) and the two last reads (1000 + 11000).
waits_ms = (2 * 500 + 1000 + 2 * 1000 + 2 * 10000 + 2 * 5000 + 2 * 2 * 1000 + 46 * 3000 + 1000 + 11000) / divisor
minimum = waits_ms / 1000 + sum(lengths) / rate
measured = end - start
print("images %s bytes at %d bytes/s, divisor %d" % (lengths, rate, divisor))
print("measured %.2f s, protocol minimum %.2f s, ratio %.4f (%.2f %% over)"
      % (measured, minimum, measured / minimum, (measured / minimum - 1) * 100))
PY
