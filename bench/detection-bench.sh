#!/usr/bin/env bash
# Detection behind silent ports, with the release build's timings: a unit at 1200 baud (the
# last rate tried) alone, then behind 1, 3, 8 and 31 ports that exist but have no unit, then
# behind one port whose every open takes 2 s (the serial shim). Each time is that of the
# unit_found event (--info --events); the ratios are to the unit alone, in the same run.
# Target: behind 31 silent ports at most 1.10 times alone.
# With a Windows build as the second argument, the .exe too, under Wine, behind the three silent
# COM ports of the test prefix (COM1 to COM3; the unit on COM4, the other 28 candidates absent).
# Usage: bench/detection-bench.sh [BUILD_DIR [WINDOWS_BUILD_DIR]]   (default build/native)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
windows=${2:-}
exec python3 - "$root" "$build" "$windows" <<'PY'
import json, os, subprocess, sys, tempfile

root, build, windows = sys.argv[1:4]
shim = os.path.join(build, "libserial-shim.so")


def emulator(*args, link=None):
    command = [os.path.join(build, "unit-emulator")] + list(args) + (["--link", link] if link else [])
    p = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    return p, p.stdout.readline().strip()


def found_after(command, env=None):
    """Seconds from the start to the unit_found event."""
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, timeout=600).stdout
    for line in out.decode("latin-1").splitlines():
        event = json.loads(line) if line.startswith("{") else {}
        if event.get("event") == "unit_found":
            return event["t"]
    raise SystemExit("no unit found: " + " ".join(command))


def native(silent, slow=False):
    units = [emulator("--silence") for _ in range(silent + slow)]
    unit = emulator("--baud", "1200", "--unit", "tx")
    paths = [path for _, path in units] + [unit[1]]
    env = dict(os.environ)
    if slow:
        env.update(LD_PRELOAD=shim, FWUPGRADE_SHIM_SLOW_OPEN=paths[0] + ":2000")
    try:
        return found_after([os.path.join(build, "FwUpgrade"), "--info", "--events", "--no-pause",
                            "--ports", ",".join(paths)], env)
    finally:
        for p, _ in units + [unit]:
            p.terminate()
            p.wait()


def wine(silent):
    prefix = os.path.join(root, "build", "wineprefix-bench")
    subprocess.run([os.path.join(root, "tests", "wine", "setup-prefix.sh"), prefix], check=True)
    env = dict(os.environ, FWUPGRADE_WINEPREFIX=prefix)
    units = [emulator("--silence", link=os.path.join(prefix, "ports", "com%d" % n)) for n in range(1, silent + 1)]
    unit = emulator("--baud", "1200", "--unit", "tx", link=os.path.join(prefix, "ports", "com%d" % (silent + 1)))
    for n in range(1, 5):  # COM1..COM4: the emulators' links, the others absent
        dev = os.path.join(prefix, "dosdevices", "com%d" % n)
        if os.path.islink(dev):
            os.unlink(dev)
        elif os.path.isdir(dev):
            os.rmdir(dev)
        if n <= silent + 1:
            os.symlink(os.path.join(prefix, "ports", "com%d" % n), dev)
        else:
            os.mkdir(dev)
    try:
        return found_after([os.path.join(root, "tests", "wine", "run-in-prefix.sh"),
                            os.path.join(windows, "FwUpgrade.exe"), "--info", "--events", "--no-pause"], env)
    finally:
        for p, _ in units + [unit]:
            p.terminate()
            p.wait()


alone = native(0)
print("native, release timings: the unit at 1200 baud found after %.2f s alone" % alone)
for silent in (1, 3, 8, 31):
    t = native(silent)
    print("  behind %2d silent ports: %.2f s, %.3f times alone" % (silent, t, t / alone))
t = native(0, slow=True)
print("  behind one port whose opens take 2 s each: %.2f s, %.3f times alone" % (t, t / alone))
if windows:
    alone = wine(0)
    t = wine(3)
    print("the .exe under Wine: %.2f s alone, %.2f s behind 3 silent COM ports: %.3f times alone" % (alone, t, t / alone))
PY
