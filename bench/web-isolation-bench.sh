#!/usr/bin/env bash
# The page's server does not slow the station: four units updating on paced lines (115,200 baud
# times the build's divisor, as the other benchmarks) at a station with --http, once without
# clients and once with wrk asking /api/v1/station over 50 connections and 50 event streams held
# open. Reports the units' update times (the journal's) loaded against alone (target <= 1.02),
# wrk's requests per second, median and 99th percentile, and the shares of one core that the
# station (with its runs) and its server used.
# Usage: bench/web-isolation-bench.sh [BUILD_DIR]   (default build/native-fast)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "${1:-$root/build/native-fast}" <<'PY'
import datetime, json, os, re, statistics, subprocess, sys, tempfile, time

build = sys.argv[1]
divisor = int(re.search(r"FWUPGRADE_TIME_DIVISOR:STRING=(\d+)", open(build + "/CMakeCache.txt").read()).group(1))
rate, ticks, SLOTS = 11520 * divisor, os.sysconf("SC_CLK_TCK"), 4


def cpu_seconds(pids):
    """Their own processor time, not their children's."""
    total = 0.0
    for pid in pids:
        try:
            fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / ticks
        except OSError:
            pass
    return total


def children(pid):
    try:
        return [int(c) for c in open("/proc/%d/task/%d/children" % (pid, pid)).read().split()]
    except OSError:
        return []


def seconds(stamp):
    return datetime.datetime.fromisoformat(stamp).timestamp()


def run(work, loaded):
    units = [subprocess.Popen([build + "/unit-emulator", "--baud", "115200", "--slow-line", str(rate), "--unit", "tx",
                               "--link", os.path.join(work, "slot%d" % s)], stdout=subprocess.DEVNULL) for s in range(SLOTS)]
    logs = os.path.join(work, "logs")
    station = subprocess.Popen([build + "/FwUpgrade", "--station", "--ports",
                                ",".join(os.path.join(work, "slot%d" % s) for s in range(SLOTS)), "--log-dir", logs,
                                "--units", str(SLOTS), "--http", "127.0.0.1:0", "--no-pause"],
                               stdout=subprocess.PIPE, text=True)
    url = None
    while url is None:
        m = re.search(r" at (http://127\.0\.0\.1:\d+/)", station.stdout.readline())
        url = m and m.group(1)
    clients, wrk = [], None
    if loaded:
        clients = [subprocess.Popen(["curl", "-sN", url + "api/v1/events"], stdout=subprocess.DEVNULL) for _ in range(50)]
        wrk = subprocess.Popen(["wrk", "-t2", "-c50", "-d600s", "--latency", url + "api/v1/station"],
                               stdout=subprocess.PIPE, text=True)
    server, station_cpu, server_cpu = None, 0.0, 0.0
    start = time.monotonic()
    while station.poll() is None:
        kids = children(station.pid)
        server = next((k for k in kids if b"--serve" in open("/proc/%d/cmdline" % k, "rb").read()), server)
        runs = [k for k in kids if k != server]
        station_cpu = max(station_cpu, cpu_seconds([station.pid]))
        server_cpu = max(server_cpu, cpu_seconds([server]) if server else 0)
        time.sleep(0.2)
    wall = time.monotonic() - start
    station_cpu = max(station_cpu, cpu_seconds([station.pid]))
    report = ""
    if wrk:
        wrk.send_signal(2)
        report = wrk.communicate()[0]
    for p in clients + units:
        p.terminate()
        p.wait()
    journal = [json.loads(l) for l in open(os.path.join(logs, "journal.jsonl"))]
    assert [j["outcome"] for j in journal] == ["updated and verified"] * SLOTS, journal
    times = [seconds(j["ended"]) - seconds(j["started"]) for j in journal]
    return times, wall, station_cpu, server_cpu, report


results = {}
for loaded in (False, True):
    with tempfile.TemporaryDirectory() as work:
        results[loaded] = run(work, loaded)
alone, loaded = statistics.mean(results[False][0]), statistics.mean(results[True][0])
print("update time, mean of %d units: alone %.2f s, with clients %.2f s: ratio %.4f" % (SLOTS, alone, loaded, loaded / alone))
for name, (times, wall, station_cpu, server_cpu, report) in (("alone", results[False]), ("loaded", results[True])):
    print("%s: the station %.1f %% of one core, its server %.1f %% (%.0f s)"
          % (name, 100 * station_cpu / wall, 100 * server_cpu / wall, wall))
print("\n".join(l.strip() for l in results[True][4].splitlines() if re.search(r"Requests/sec|50%|99%|requests in", l)))
PY
