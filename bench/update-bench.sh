#!/usr/bin/env bash
# A complete update against the emulator with the line paced at 115200 baud (11,520 bytes a
# second, times the build's divisor), measured against the protocol's own minimum for the run:
# the line time of both images plus every wait the protocol mandates. The line time is what the
# emulator measured in this run (first image byte to last), not the nominal rate: its pacing lets
# a little more through than the rate (100 ms saved up before an image, the pty's 32 KiB taken at
# once at its end), and a minimum at the nominal rate came out longer than a real run.
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
images = re.findall(r"^image kind=\w+ length=(\d+) .*line_s=([0-9.]+)", open(summary).read(), re.M)
assert len(images) == 2, "the update did not complete"
lengths = [int(length) for length, _ in images]
line_s = [float(seconds) for _, seconds in images]
# Read time-outs in ms: the probe answered at once (2 x 500), the version read (1000),
# the identity (2 x 1000), the announcements (2 x 10000, 2 x 5000), the acknowledgements
# (2 x 2 x 1000), the reboot wait (46 x 3000) and the two last reads (1000 + 11000).
waits_ms = (2 * 500 + 1000 + 2 * 1000 + 2 * 10000 + 2 * 5000 + 2 * 2 * 1000 + 46 * 3000 + 1000 + 11000) / divisor
minimum = waits_ms / 1000 + sum(line_s)
measured = end - start
line_rate = sum(lengths) / sum(line_s)
print("images %s bytes, line paced at %d bytes/s, divisor %d" % (lengths, rate, divisor))
print("line measured: %s s, %.0f bytes/s over both images (%.2f %% above the pacing; nominal time %.2f s)"
      % (" + ".join("%.3f" % s for s in line_s), line_rate, (line_rate / rate - 1) * 100, sum(lengths) / rate))
print("measured %.2f s, protocol minimum %.2f s (waits %.2f s + line %.2f s), ratio %.4f (%.2f %% over)"
      % (measured, minimum, waits_ms / 1000, sum(line_s), measured / minimum, (measured / minimum - 1) * 100))
PY
