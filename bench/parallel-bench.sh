#!/usr/bin/env bash
# Four units updated at once against one unit alone, in the same run: each emulated line paced
# at 115,200 baud (11,520 bytes a second, times the build's divisor, as update-bench.sh does).
# Reports the ratio of the wall times (target: at most 1.05) and the share of one core the
# parent used while the images streamed (target: under 2 %).
# Usage: bench/parallel-bench.sh [BUILD_DIR]   (default build/native-fast)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-fast}
exec python3 - "$build" <<'PY'
import os, re, subprocess, sys, tempfile, threading, time

build = sys.argv[1]
divisor = int(re.search(r"FWUPGRADE_TIME_DIVISOR:STRING=(\d+)", open(build + "/CMakeCache.txt").read()).group(1))
rate = 11520 * divisor
ticks = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime, the process alone


def station(count, work):
    units = []
    for i in range(count):
        summary = os.path.join(work, "unit%d-%d.txt" % (count, i))
        p = subprocess.Popen([build + "/unit-emulator", "--baud", "115200", "--slow-line", str(rate),
                              "--summary", summary], stdout=subprocess.PIPE, text=True)
        units.append((p, p.stdout.readline().strip(), summary))
    command = [build + "/FwUpgrade", "--parallel", "--ports", ",".join(u[1] for u in units),
               "--log-dir", os.path.join(work, "logs%d" % count), "--no-pause"]
    samples = []  # (time, parent's cpu seconds)
    start = time.monotonic()
    parent = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    while parent.poll() is None:
        try:
            samples.append((time.monotonic(), cpu_seconds(parent.pid)))
        except (OSError, IndexError):
            pass
        time.sleep(0.2)
    wall = time.monotonic() - start
    texts = []
    for p, _, summary in units:
        p.terminate()
        p.wait()
        p.stdout.close()
        texts.append(open(summary).read())
    assert parent.returncode == 0, "the station did not update every unit"
    # The streaming window: from the first announcement to the last image received, as the
    # units' summaries have it; their files were written at those moments.
    return wall, samples, texts


def streaming_cpu_share(samples, window):
    inside = [s for s in samples if window[0] <= s[0] <= window[1]]
    if len(inside) < 2:
        return float("nan")
    return (inside[-1][1] - inside[0][1]) / (inside[-1][0] - inside[0][0])


with tempfile.TemporaryDirectory() as work:
    one, samples1, _ = station(1, work)
    four, samples4, texts = station(4, work)
    # The images stream from about a tenth of the run in to the reboot wait: take the middle half
    # of the four-unit run, where all four are sending.
    window = (samples4[0][0] + four * 0.1, samples4[0][0] + four * 0.45)
    share = streaming_cpu_share(samples4, window)
    print("divisor %d, lines paced at %d bytes/s" % (divisor, rate))
    print("one unit alone: %.2f s; four at once: %.2f s; ratio %.4f (target <= 1.05)" % (one, four, four / one))
    print("parent while the images stream: %.2f %% of one core (target < 2 %%)" % (share * 100))
PY
