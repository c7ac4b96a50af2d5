#!/usr/bin/env bash
# --records-db against a real PostgreSQL (Debian's server, in a folder of its own on a loopback
# port, as an ordinary user): a journal of LINES lines (10,000 unless told) caught up (lines a
# second), beside psql's \copy of the same rows into a table of the same shape in the same run;
# a backlog read on, never again from its start, costs the same a line however long it is. Then
# the delay from a journal line to its committed row while lines come at a station's pace, and
# during an emulated shift (four slots, a unit each, the build's timings).
# Usage: bench/records-db-bench.sh [BUILD_DIR] [LINES]   (default build/native-fast 10000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/native-fast}" && pwd)
lines=${2:-10000}
fw="$build/FwUpgrade"
pgbin=/usr/lib/postgresql/15/bin
work=$(mktemp -d /tmp/records-db-bench-XXXXXX)
as_server=()
if [ "$(id -u)" -eq 0 ]; then  # the server refuses root
  chown nobody:nogroup "$work"
  as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
password=bench-pw
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as_server[@]}" bash -c "echo $password > $work/pw && $pgbin/initdb -D $work/data -U bench --auth=scram-sha-256 --pwfile=$work/pw >/dev/null"
"${as_server[@]}" "$pgbin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-p $port -k $work -c listen_addresses=127.0.0.1" start >/dev/null
stop() { "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/data" -m fast -w stop >/dev/null || true; rm -rf "$work"; }
trap stop EXIT
export PGPASSWORD=$password
connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=postgres;Uid=bench;Pwd=$password"
psql=(psql -X -q -h 127.0.0.1 -p "$port" -U bench -d postgres -v ON_ERROR_STOP=1)

WORK="$work" LINES="$lines" python3 - <<'EOF'
import csv, json, os
work, count = os.environ["WORK"], int(os.environ["LINES"])
os.makedirs(os.path.join(work, "journal"))
columns = []
with open(os.path.join(work, "journal", "journal.jsonl"), "w") as journal, \
     open(os.path.join(work, "rows.csv"), "w", newline="") as rows:
    out = csv.writer(rows)
    for n in range(1, count + 1):
        unit = {"port": "/dev/serial/by-path/pci-0000:00:14.0-usb-0:%d:1.0-port0" % (n % 4 + 1), "label": "A%d" % (n % 4 + 1),
                "com": None, "path": "/dev/ttyUSB%d" % (n % 4), "started": "2026-12-08T07:59:45.341+01:00",
                "ended": "2026-12-08T08:00:04.251+01:00", "kind": "TX",
                "before": {"firmware": "1.0.3", "model": "K482915", "fpga": "1.03", "device": 7},
                "after": {"firmware": "1.0.4", "model": "K482915", "fpga": "1.04", "device": 7},
                "outcome": "updated and verified", "unit_left": "updated", "summary": "updated and verified",
                "exit_status": 0, "log": "port-ttyUSB0-2026-12-08_07-59-45.log",
                "report": "port-ttyUSB0-2026-12-08_07-59-45.report.json", "records_unwritten": [],
                "serial": "SN-%08d" % n, "host": "bench", "carried": "1.0.4"}
        line = json.dumps(unit, separators=(",", ":"))
        journal.write(line + "\n")
        out.writerow(["copy-key", n, unit["serial"], unit["label"], unit["port"], "TX", unit["outcome"], 0,
                      "1.0.3", "1.03", "1.0.4", "1.04", "1.0.4", unit["started"], unit["ended"], 18910, "bench", line])
EOF

echo "A journal of $lines lines ($(stat -c %s "$work/journal/journal.jsonl") bytes) into PostgreSQL 15 on loopback:"
start=$(date +%s.%N)
"$fw" --serve "$work/journal" --records-db "$connection" --records-table bench_follow >"$work/follow.out"
end=$(date +%s.%N)
rows=$("${psql[@]}" -At -c "SELECT count(*) FROM bench_follow")
follow=$(echo "$end - $start" | bc -l)
"${psql[@]}" -c "CREATE TABLE bench_copy (LIKE bench_follow INCLUDING ALL)"
start=$(date +%s.%N)
"${psql[@]}" -c "\\copy bench_copy FROM '$work/rows.csv' WITH (FORMAT csv)"
end=$(date +%s.%N)
copied=$("${psql[@]}" -At -c "SELECT count(*) FROM bench_copy")
copy=$(echo "$end - $start" | bc -l)
printf '  FwUpgrade --serve --records-db: %d rows in %.2f s (%.0f lines/s, the program started and ended included)\n' \
  "$rows" "$follow" "$(echo "$rows / $follow" | bc -l)"
printf '  psql \\copy of the same rows:    %d rows in %.2f s (%.0f lines/s)\n' "$copied" "$copy" \
  "$(echo "$copied / $copy" | bc -l)"
printf '  ratio: %.1f times as long as \\copy\n' "$(echo "$follow / $copy" | bc -l)"

# The delay: lines appended to a journal that a running follower watches, at a station's pace
# (every 0.2 to 1.0 s), each timed from its append to its row's commit as psql sees it.
mkdir "$work/live"
: >"$work/live/journal.jsonl"
"$fw" --serve "$work/live" --http 0 --records-db "$connection" --records-table bench_live >"$work/live.out" &
server=$!
WORK="$work" PORT="$port" python3 - <<'EOF'
import json, os, random, statistics, subprocess, threading, time
work, port = os.environ["WORK"], os.environ["PORT"]
appended, seen = {}, {}
def count():
    out = subprocess.run(["psql", "-X", "-At", "-h", "127.0.0.1", "-p", port, "-U", "bench", "-d", "postgres", "-c",
                          "SELECT coalesce(max(line_no), 0) FROM bench_live"], capture_output=True, text=True)
    return int(out.stdout.strip() or 0) if out.returncode == 0 else 0
done = threading.Event()
def watch():
    while not done.is_set():
        top, now = count(), time.monotonic()
        for n in range(1, top + 1):
            seen.setdefault(n, now)
        time.sleep(0.01)
watcher = threading.Thread(target=watch)
time.sleep(2)  # the table made, the follower waiting
watcher.start()
rng = random.Random(34)
with open(os.path.join(work, "live", "journal.jsonl"), "a") as journal:
    for n in range(1, 61):
        time.sleep(rng.uniform(0.2, 1.0))
        journal.write(json.dumps({"port": "A1", "outcome": "updated and verified", "serial": "L-%d" % n}) + "\n")
        journal.flush()
        appended[n] = time.monotonic()
deadline = time.monotonic() + 10
while len(seen) < 60 and time.monotonic() < deadline:
    time.sleep(0.05)
done.set()
watcher.join()
delays = [seen[n] - appended[n] for n in sorted(appended) if n in seen]
print("  journal line to committed row (60 lines, every 0.2 to 1.0 s): median %.3f s, largest %.3f s, %d of 60 seen"
      % (statistics.median(delays), max(delays), len(delays)))
EOF
kill -INT "$server"
wait "$server" || true

# An emulated shift (four slots, a unit each, the build's timings): each unit's journal line, as
# the station writes it, timed to its committed row.
WORK="$work" PORT="$port" BUILD="$build" CONNECTION="$connection" python3 - <<'EOF'
import os, statistics, subprocess, threading, time
work, port, build = os.environ["WORK"], os.environ["PORT"], os.environ["BUILD"]
logs = os.path.join(work, "shift")
units = [subprocess.Popen([build + "/unit-emulator", "--unit", "tx" if n % 2 else "rx", "--link",
                           os.path.join(work, "slot%d" % n)], stdout=subprocess.DEVNULL) for n in range(4)]
station = subprocess.Popen([build + "/FwUpgrade", "--station", "--no-pause", "--units", "4", "--log-dir", logs,
                            "--ports", ",".join(os.path.join(work, "slot%d" % n) for n in range(4)),
                            "--records-db", os.environ["CONNECTION"], "--records-table", "bench_shift"],
                           stdout=subprocess.DEVNULL)
journaled, committed = {}, {}
def lines():
    try:
        with open(os.path.join(logs, "journal.jsonl"), "rb") as f:
            return f.read().count(b"\n")
    except OSError:
        return 0
def rows():
    out = subprocess.run(["psql", "-X", "-At", "-h", "127.0.0.1", "-p", port, "-U", "bench", "-d", "postgres", "-c",
                          "SELECT coalesce(max(line_no), 0) FROM bench_shift"], capture_output=True, text=True)
    return int(out.stdout.strip() or 0) if out.returncode == 0 else 0
done = threading.Event()
def watch(count, into):
    while not done.is_set():
        top, now = count(), time.monotonic()
        for n in range(1, top + 1):
            into.setdefault(n, now)
        time.sleep(0.005)
watchers = [threading.Thread(target=watch, args=(lines, journaled)), threading.Thread(target=watch, args=(rows, committed))]
for w in watchers:
    w.start()
station.wait(timeout=300)
time.sleep(1)
done.set()
for w in watchers:
    w.join()
for unit in units:
    unit.terminate()
delays = [committed[n] - journaled[n] for n in sorted(journaled) if n in committed]
print("  an emulated shift (4 units): journal line to committed row median %.3f s, largest %.3f s, %d of %d rows"
      % (statistics.median(delays), max(delays), len(delays), len(journaled)))
EOF
