#!/usr/bin/env bash
# A shift at a station: four slots, three units per slot, each plugged in 2 s after the one
# before was pulled out (pulled as soon as the journal has it), lines paced at 115,200 baud
# times the build's divisor as the other benchmarks. Reports the station's total time against
# the ideal (per slot: its three units' update times plus the gaps), the median and worst
# pick-up and removal times, the parent's share of one core, and the memory of the station with
# its children. Then an idle station on 8 ports without units: its share of one core, with the
# release build's timings (target under 1 %).
# Usage: bench/station-bench.sh [BUILD_DIR [RELEASE_BUILD_DIR]]
#        (default build/native-fast and build/native)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-fast}
release=${2:-$root/build/native}
exec python3 - "$build" "$release" <<'PY'
import json, os, re, statistics, subprocess, sys, tempfile, threading, time

build, release = sys.argv[1], sys.argv[2]
divisor = int(re.search(r"FWUPGRADE_TIME_DIVISOR:STRING=(\d+)", open(build + "/CMakeCache.txt").read()).group(1))
rate = 11520 * divisor
ticks, page = os.sysconf("SC_CLK_TCK"), os.sysconf("SC_PAGE_SIZE")
SLOTS, UNITS, GAP = 4, 3, 2.0


def tree(pid):
    """The process and its children (the station's runs)."""
    pids = [pid]
    try:
        for child in open("/proc/%d/task/%d/children" % (pid, pid)).read().split():
            pids += tree(int(child))
    except OSError:
        pass
    return pids


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def rss(pids):
    total = 0
    for pid in pids:
        try:
            total += int(open("/proc/%d/statm" % pid).read().split()[1]) * page
        except OSError:
            pass
    return total


def plug(work, slot, n):
    unit = subprocess.Popen([build + "/unit-emulator", "--baud", "115200", "--slow-line", str(rate),
                             "--unit", "tx" if n % 2 == 0 else "rx", "--link", os.path.join(work, "slot%d" % slot)],
                            stdout=subprocess.DEVNULL)
    return unit


def shift(work):
    logs = os.path.join(work, "logs")
    slots = ",".join(os.path.join(work, "slot%d" % s) for s in range(SLOTS))
    events = []  # (time, slot, what) from the station's line view
    plugged, pulled = {}, {}  # (slot, n) -> time
    units = {s: plug(work, s, 0) for s in range(SLOTS)}
    start = time.monotonic()
    for s in range(SLOTS):
        plugged[(s, 0)] = start
    station = subprocess.Popen([build + "/FwUpgrade", "--station", "--ports", slots, "--log-dir", logs,
                                "--units", str(SLOTS * UNITS), "--no-pause"], stdout=subprocess.PIPE, text=True)

    def read():
        for line in station.stdout:
            m = re.match(r".*slot(\d+): (.*)", line)
            if m:
                events.append((time.monotonic(), int(m.group(1)), m.group(2)))
    reader = threading.Thread(target=read)
    reader.start()
    done = {s: 0 for s in range(SLOTS)}  # units journaled per slot
    cpu, peak = 0.0, 0
    while station.poll() is None:
        time.sleep(0.1)
        try:
            cpu = cpu_seconds(station.pid)
            peak = max(peak, rss(tree(station.pid)))
        except OSError:
            pass
        journal = os.path.join(logs, "journal.jsonl")
        lines = [json.loads(l) for l in open(journal)] if os.path.exists(journal) else []
        for s in range(SLOTS):
            count = sum(1 for j in lines if j["port"].endswith("slot%d" % s))
            if count > done[s]:  # its row is green: pull it out, plug the next one in 2 s
                done[s] = count
                units[s].terminate()
                units[s].wait()
                pulled[(s, count - 1)] = time.monotonic()
                if count < UNITS:
                    threading.Timer(GAP, lambda s=s, n=count: (units.__setitem__(s, plug(work, s, n)),
                                                               plugged.__setitem__((s, n), time.monotonic()))).start()
    total = time.monotonic() - start
    reader.join()
    for u in units.values():
        if u.poll() is None:
            u.terminate()
            u.wait()
    journal = [json.loads(l) for l in open(os.path.join(logs, "journal.jsonl"))]
    assert len(journal) == SLOTS * UNITS and all(j["outcome"] == "updated and verified" for j in journal), journal
    return total, events, plugged, pulled, journal, cpu, peak


def seconds(iso):
    h, m, s = iso[11:23].split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def idle_share(work):
    """8 ports without units, release timings: the station's and its runs' share of one core."""
    silent = [subprocess.Popen([release + "/unit-emulator", "--silence"], stdout=subprocess.PIPE, text=True)
              for _ in range(8)]
    paths = [p.stdout.readline().strip() for p in silent]
    station = subprocess.Popen([release + "/FwUpgrade", "--station", "--ports", ",".join(paths), "--log-dir",
                                os.path.join(work, "idle"), "--no-pause"], stdout=subprocess.DEVNULL)
    time.sleep(5)
    pids = tree(station.pid)
    before, t0 = sum(cpu_seconds(p) for p in pids), time.monotonic()
    time.sleep(20)
    after = sum(cpu_seconds(p) for p in pids if os.path.exists("/proc/%d" % p))
    share = (after - before) / (time.monotonic() - t0)
    station.send_signal(2)
    station.wait(timeout=60)
    for p in silent:
        p.terminate()
        p.wait()
    return share, len(pids) - 1


with tempfile.TemporaryDirectory() as work:
    total, events, plugged, pulled, journal, cpu, peak = shift(work)
    # The ideal: per slot, its units' update times (as the journal has them) and the gaps.
    ideal = 0.0
    for s in range(SLOTS):
        mine = [j for j in journal if j["port"].endswith("slot%d" % s)]
        ideal = max(ideal, sum(seconds(j["ended"]) - seconds(j["started"]) for j in mine) + GAP * (UNITS - 1))
    pickups, removals = [], []
    for (s, n), t in plugged.items():
        found = [e[0] for e in events if e[1] == s and e[0] >= t and e[2].startswith("unit found")]
        if found:
            pickups.append(found[0] - t)
    for (s, n), t in pulled.items():
        gone = [e[0] for e in events if e[1] == s and e[0] >= t and e[2] in ("no port", "waiting for a unit")]
        if gone and n < UNITS - 1:
            removals.append(gone[0] - t)
    print("divisor %d, lines paced at %d bytes/s; %d slots, %d units each, %.0f s between a pull and the next plug"
          % (divisor, rate, SLOTS, UNITS, GAP))
    print("shift: %.1f s; ideal %.1f s; ratio %.4f (target <= 1.05)" % (total, ideal, total / ideal))
    print("pick-up: median %.2f s, worst %.2f s; removal seen: median %.2f s, worst %.2f s"
          % (statistics.median(pickups), max(pickups), statistics.median(removals), max(removals)))
    print("parent: %.2f %% of one core over the shift; station and its runs at most %.1f MB"
          % (cpu / total * 100, peak / 1e6))
    if os.path.exists(release + "/FwUpgrade"):
        share, runs = idle_share(work)
        print("idle, 8 ports without units (release timings, %d runs probing): %.2f %% of one core (target < 1 %%)"
              % (runs, share * 100))
PY
