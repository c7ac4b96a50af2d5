#!/usr/bin/env bash
# --serve under load: a station folder of 10,000 units, 50 event-stream clients held open, and
# wrk asking /api/v1/station (and then the journal's newest page) as fast as it can over 50
# connections. Reports wrk's requests per second and latency percentiles (median, p99), and the
# time of what the page asks for first on opening (the state, the newest 50 units, the summary),
# and the page opened in headless Chromium until it shows the newest 50 units (to 0.2 s).
# Usage: bench/web-bench.sh [BUILD_DIR] [SECONDS]   (default build/native-fast, 10 s)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-fast}
seconds=${2:-10}
work=$(mktemp -d /tmp/fwupgrade-web-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The folder, as web_test.py generates it.
(cd "$root/tests/e2e" && python3 -c "import sys; from test_page import Folder; Folder(sys.argv[1], units=10000)" \
  "$work/station")

"$build/FwUpgrade" --serve "$work/station" --http 127.0.0.1:0 >"$work/serve.txt" &
pids+=($!)
for _ in $(seq 100); do grep -q '^Serving' "$work/serve.txt" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's|.* at http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/serve.txt")
[ -n "$port" ] || { echo "the server did not start"; cat "$work/serve.txt"; exit 1; }
url=http://127.0.0.1:$port

for _ in $(seq 50); do
  curl -sN --max-time $((seconds * 3 + 30)) "$url/api/v1/events" >/dev/null &
  pids+=($!)
done
sleep 1

echo "== first requests of the page (10,000 units in the journal)"
for path in / /app.js /api/v1/station "/api/v1/journal?after=0&limit=1" "/api/v1/journal?after=9950&limit=50" \
            /api/v1/summary /metrics; do
  curl -s -o /dev/null -w "%{time_total} s  %{size_download} bytes  $path\n" "$url$path"
done

for path in /api/v1/station "/api/v1/journal?after=9950&limit=50"; do
  echo "== wrk: $path, 50 connections, ${seconds} s, with 50 event streams held"
  wrk -t2 -c50 -d"${seconds}s" --latency "$url$path" | grep -E 'Requests/sec|Latency|50%|90%|99%|requests in|errors'
done

echo "== the page in headless Chromium: from navigation to the newest 50 units shown (10,000 in all)"
(cd "$root/tests/e2e" && python3 - "$url" <<'PY'
import sys, time
from test_page import Browser


class Cleanups:
    def __init__(self):
        self.calls = []

    def addCleanup(self, call):
        self.calls.append(call)


cleanups = Cleanups()
browser = Browser(cleanups)
for attempt in range(3):
    start = time.monotonic()
    browser.open(sys.argv[1] + "/?" + str(attempt), "document.querySelectorAll('tr.unit').length === 50")
    print("%.3f s" % (time.monotonic() - start))
for call in cleanups.calls:
    call()
PY
)
