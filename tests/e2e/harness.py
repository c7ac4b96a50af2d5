#!/usr/bin/env python3
"""The end-to-end harness: FwUpgrade (native, or the .exe under Wine) against the emulated unit.
Each test_*.py beside it holds the tests of one thing and runs alone (python3 test_station.py,
or python3 test_station.py Station.test_...); suite.py runs them all but the page's.

Environment:
  FWUPGRADE   the program (a .exe runs under Wine in the project's prefix)
  EMULATOR    the native unit-emulator built with the same time divisor
  DIVISOR     that divisor
  IMAGE_DIR   the image files the program carries (for the independent flattening)
  SUITE       "full" (default) or "production" (one complete update, real timings)
"""
import codecs
import datetime
import itertools
import json
import multiprocessing
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "oracle"))
from srec_oracle import checksum, flat_image  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FWUPGRADE = os.environ.get("FWUPGRADE", "")
EMULATOR = os.environ.get("EMULATOR", "")
DIVISOR = int(os.environ.get("DIVISOR", "1"))
IMAGE_DIR = os.environ.get("IMAGE_DIR", "")
# An LD_PRELOAD library that makes chosen ports open slowly or refuse rates (native builds).
SERIAL_SHIM = os.environ.get("SERIAL_SHIM", "")
SUITE = os.environ.get("SUITE", "full")
SAMPLE = os.environ.get("SAMPLE_IMAGES", "1") == "1"
WINE = FWUPGRADE.endswith(".exe")
WINEPREFIX = os.environ.get("FWUPGRADE_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
# Processes the suite is spread over (tests/CMakeLists.txt sets it): a test mostly waits for
# the unit's timing, so several run at once, each with its own units (and Wine prefix).
JOBS = int(os.environ.get("E2E_JOBS", "1"))
RUN_IN_PREFIX = os.path.join(ROOT, "tests", "wine", "run-in-prefix.sh")
MCU, TX, RX = "K482915_MCU_61_1_04.hex", "K482915_TX_XC7A75_1_04.mcs", "K482915_RX_XC7A75_1_04.mcs"

# Longest a complete accelerated or production run may take before the test gives up.
RUN_LIMIT_S = 60 + 200 / DIVISOR * 2
# How long an attached unit must stay silent before the station takes it for removed.
SILENT_UNIT_S = (46 * 3000 + 2 * 11000) / 1000 / DIVISOR
# A write the port takes nothing of fails after this long.
WRITE_STALL_S = 30 / DIVISOR


def machine_port_count():
    """Natively the ports a test names come after the machine's own in the COM numbering."""
    if WINE:
        return 0
    listing = subprocess.run([FWUPGRADE, "--list-ports"], capture_output=True, check=True).stdout
    return len(listing.splitlines())


PORT_OFFSET = machine_port_count() if FWUPGRADE else 0
# The sanitizer build: some native limits do not leave it the address space it reserves.
SANITIZED = not WINE and bool(FWUPGRADE) and b"__asan_init" in open(FWUPGRADE, "rb").read()


def com(n):
    """The COM number of the n-th port a test names."""
    return n + PORT_OFFSET


# ---------------------------------------------------------------- expected console text

def progress(length):
    """The percentage display of one streamed image of `length` bytes."""
    text, percentage, sent = "1%", 0, 0
    while sent != length:
        erase = "\b\b" if percentage <= 9 else "\b\b\b"
        if length - sent > 10240:
            sent += 10240
            percentage = sent * 100 // length
            text += erase + "%d%%" % percentage
        else:
            text += erase + "100%"
            sent = length
    return text


def reboot_display():
    return "".join("%3d%%\b\b\b\b" % (i * 100 // 46) for i in range(46)) + "100%"


def notes():
    text = ""
    if SAMPLE:
        text += "\r\nNOTE: this build carries sample firmware images, not a release."
    if DIVISOR != 1:
        text += "\r\nNOTE: this build divides every protocol time-out and wait by %d (test build)." % DIVISOR
    return text


def golden(name, fpga_length, mcu_length, replace=()):
    """The golden file `name`, its pieces joined and its @-lines expanded."""
    out = []
    with open(os.path.join(ROOT, "tests", "golden", name), encoding="ascii") as f:
        for line in f.read().split("\n"):
            if not line or line.startswith("#"):
                continue
            if line == "@notes":
                out.append(notes())
            elif line == "@progress fpga":
                out.append(progress(fpga_length))
            elif line == "@progress mcu":
                out.append(progress(mcu_length))
            elif line == "@reboot":
                out.append(reboot_display())
            else:
                out.append(codecs.decode(line, "unicode_escape"))
    text = "".join(out).replace("COM PORT Number : 1\r\n", "COM PORT Number : %d\r\n" % com(1))
    for old, new in replace:
        assert old in text, old
        text = text.replace(old, new)
    return text


def command_arguments(text):
    """A run's command line, as its log and report write it, read back whole: a quoted argument
    (one with a space, a quote or a control character) with its escapes undone."""
    def unquoted(quoted):
        escape = lambda m: bytes([int(m.group(1)[1:], 16)]) if m.group(1)[:1] == b"x" else {
            b"r": b"\r", b"n": b"\n"}.get(m.group(1), m.group(1))
        return re.sub(rb"\\(x[0-9a-f]{2}|.)", escape, quoted.encode()).decode()
    return [m.group(2) if m.group(2) is not None else unquoted(m.group(1))
            for m in re.finditer(r'"((?:[^"\\]|\\.)*)"|(\S+)', text)]


# ---------------------------------------------------------------- running the pieces

class Unit:
    """One emulated unit on its own pseudo-terminal."""
    running = []  # every test's units, stopped at its end whatever Ports held them

    def __init__(self, workdir, name, *args, com=None, link=None):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.summary = os.path.join(self.dir, "summary.txt")
        command = [EMULATOR, "--summary", self.summary, "--save-dir", self.dir] + list(args)
        if com is not None:
            link = os.path.join(WINEPREFIX, "ports", "com%d" % com)
        if link is not None:
            command += ["--link", link]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        Unit.running.append(self)
        self.path = self.process.stdout.readline().strip()
        assert self.path, "the emulator did not start"
        # A second port on the unit's line (--second), printed after the first.
        self.second = self.process.stdout.readline().strip() if "--second" in args else None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        if self in Unit.running:
            Unit.running.remove(self)

    def lines(self):
        with open(self.summary, encoding="ascii") as f:
            return f.read().splitlines()

    def commands(self):
        return [re.match(r"command text=(.*) baud=", l).group(1) for l in self.lines() if l.startswith("command ")]

    def probes(self):
        """Every probe that reached the line: answered or not, at the unit's rate or another."""
        return [l for l in self.lines() if l.startswith("command text=%%%help") or l.startswith("ignored")]

    def field(self, prefix, key):
        for l in self.lines():
            if l.startswith(prefix):
                return dict(kv.split("=", 1) for kv in l.split()[1:] if "=" in kv)[key]
        return None

    def line_kept(self):
        """The pty's settings when the program had gone equal those before it came (under Wine
        the rate and flow control it found: the termios flags below them are Wine's own)."""
        keys = ("rate", "cts") if WINE else ("line", "rate", "cts")
        return all(self.field("start", k) == self.field("end", k) for k in keys)

    def image(self, kind):
        with open(os.path.join(self.dir, kind + ".bin"), "rb") as f:
            return f.read()


class Ports:
    """COM ports for one test: natively a --ports list of pty paths, under Wine COM1..COM4."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.units = []
        self.slots = []  # per candidate: a Unit or None (absent)

    def unit(self, *args):
        com = len(self.slots) + 1 if WINE else None
        u = Unit(self.workdir, "unit%d" % (len(self.slots) + 1), *args, com=com)
        self.units.append(u)
        self.slots.append(u)
        return u

    def absent(self):
        self.slots.append(None)

    def line(self, second, *args):
        """A unit whose line a second port reaches too, that port first: second is "listen" (a tap
        that hears the unit's replies, its own bytes going nowhere) or "share" (a Y cable)."""
        n = len(self.slots) + 1
        link = ["--second-link", os.path.join(WINEPREFIX, "ports", "com%d" % n)] if WINE else []
        u = Unit(self.workdir, "unit%d" % (n + 1), *args, "--second", second, *link, com=n + 1 if WINE else None)
        self.units.append(u)
        self.slots += [types.SimpleNamespace(path=u.second), u]
        return u

    def arguments(self):
        if WINE:
            self._map_wine()
            return ["--ports", ",".join(str(i + 1) for i in range(len(self.slots)))] if self.slots else []
        return ["--ports", ",".join(u.path if u else "/nonexistent/port%d" % i for i, u in enumerate(self.slots))]

    def _map_wine(self):
        # A port under test is a symlink to its pty; an absent one a directory, which fails
        # CreateFileA as on a PC without that port.
        for n in range(1, 5):
            dev = os.path.join(WINEPREFIX, "dosdevices", "com%d" % n)
            present = n <= len(self.slots) and self.slots[n - 1] is not None
            if os.path.islink(dev) or os.path.isfile(dev):
                os.unlink(dev)
            elif os.path.isdir(dev):
                os.rmdir(dev)
            if present:
                os.symlink(os.path.join(WINEPREFIX, "ports", "com%d" % n), dev)
            else:
                os.mkdir(dev)

    def stop(self):
        for u in self.units:
            u.stop()


def process_tree(pid):
    """pid and every process below it."""
    children = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            parent = int(read_bytes("/proc/%s/stat" % entry).rsplit(b")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        tree.append(todo.pop())
        todo += children.get(tree[-1], [])
    return tree


def wait_until(test, check, what):
    """Returns once check() holds; fails the test when it never does within the run's limit."""
    deadline = time.monotonic() + RUN_LIMIT_S
    while not check():
        test.assertLess(time.monotonic(), deadline, "never: " + what)
        time.sleep(0.1)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def take_away(folder):
    """Removes the folder and makes it again, whatever a station writes there meanwhile."""
    while os.path.exists(folder):
        shutil.rmtree(folder, ignore_errors=True)


def fill(folder):
    """Leaves less than a megabyte free where folder lies."""
    free = shutil.disk_usage(folder).free
    with open(os.path.join(os.path.dirname(folder), "filler"), "wb") as f:
        f.write(b"\0" * max(0, free - 512 * 1024))


def run_fwupgrade(args, stdin_text=None, timeout=None, cwd=None, env=None):
    command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + args
    result = subprocess.run(command, input=(stdin_text or "").encode(), capture_output=True,
                            timeout=timeout or RUN_LIMIT_S, cwd=cwd, env=env)
    status = result.returncode
    if WINE and status > 127:
        status -= 256  # Wine reports -1 as 255 too; keep one meaning
    elif not WINE and status == 255:
        status = -1
    return result.stdout.decode("latin-1"), status


class Postgres:
    """Debian's PostgreSQL server in a folder of its own on a free loopback port, for the plant's
    database (--records-db): started as the user the suite runs as (the server refuses root),
    stopped (immediately) when the test ends. Reached through Debian's ODBC driver."""
    BIN = "/usr/lib/postgresql/15/bin"
    PASSWORD = "s3cret-Pw"

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "postgres")
        os.makedirs(self.dir)
        with open(os.path.join(self.dir, "password"), "w") as f:
            f.write(self.PASSWORD + "\n")
        # Run as root (the Wine suite is): the server as nobody.
        self.as_server = []
        if os.getuid() == 0:
            os.chmod(workdir, 0o755)
            shutil.chown(self.dir, "nobody", "nogroup")
            shutil.chown(os.path.join(self.dir, "password"), "nobody", "nogroup")
            self.as_server = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        subprocess.run(self.as_server + [os.path.join(self.BIN, "initdb"), "-D", os.path.join(self.dir, "data"), "-U", "plant",
                        "--auth=scram-sha-256", "--pwfile", os.path.join(self.dir, "password")],
                       check=True, capture_output=True, timeout=120, cwd=self.dir)
        with socket.socket() as probe:  # a port free now
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.start()

    def start(self):
        subprocess.run(self.as_server + [os.path.join(self.BIN, "pg_ctl"), "-D", os.path.join(self.dir, "data"), "-w", "-t", "60",
                        "-l", os.path.join(self.dir, "server.log"), "-o",
                        "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off" % (self.port, self.dir), "start"],
                       check=True, capture_output=True, timeout=90, cwd=self.dir)

    def stop(self):
        if os.path.exists(os.path.join(self.dir, "data", "postmaster.pid")):
            self.signal(signal.SIGCONT)  # a stopped server takes no signal to end
        subprocess.run(self.as_server + [os.path.join(self.BIN, "pg_ctl"), "-D", os.path.join(self.dir, "data"), "-m", "immediate",
                        "-w", "-t", "60", "stop"], capture_output=True, timeout=90, cwd=self.dir)

    def connection(self, password=PASSWORD, database="postgres"):
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=%s;Uid=plant;Pwd=%s"
                % (self.port, database, password))

    def signal(self, number):
        """number (SIGSTOP, SIGCONT) to every process of the server at once."""
        with open(os.path.join(self.dir, "data", "postmaster.pid")) as f:
            postmaster = int(f.readline())
        for pid in process_tree(postmaster):
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass  # ended meanwhile

    def query(self, sql, database="postgres"):
        """The rows of sql, each a list of texts (None for NULL), through psql."""
        result = subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "plant", "-d", database,
                                 "-X", "-A", "-t", "-F", "\x1f", "-R", "\x1e", "-P", "null=\x1d", "-v",
                                 "ON_ERROR_STOP=1", "-c", sql], capture_output=True, timeout=60,
                                env=dict(os.environ, PGPASSWORD=self.PASSWORD), check=True)
        text = result.stdout.decode("utf-8")
        rows = [r.strip("\n") for r in text.split("\x1e") if r.strip("\n")]
        return [[None if c == "\x1d" else c for c in r.split("\x1f")] for r in rows]


class Terminal:
    """A command in a terminal of its own (tmux): its screen, keys typed at it."""
    count = itertools.count()

    def __init__(self, test, command, columns=120):
        # A server of its own: the last test's server may still be exiting on a shared socket.
        self.test, self.tmux = test, ["tmux", "-L", "fwupgrade-%d-%d" % (os.getpid(), next(Terminal.count))]
        echo = "stty -a | tr ' ;' '\\n\\n' | grep -x -- '-*echo'"
        # Under Wine the terminal is Wine's console host's, which restores it when it exits, a moment
        # after the program: wait for that, within a bound.
        settle = "; for i in $(seq 50); do [ \"$(%s)\" = echo ] && break; sleep 0.1; done" % echo if WINE else ""
        shell = (" ".join("'%s'" % a for a in command) + "; echo EXIT=$?" + settle
                 + "; echo TTY=$(%s); sleep 60" % echo)
        # The command runs in the user's shell (nobody's is nologin); bash outlives the Ctrl-C it passes on.
        subprocess.run(self.tmux + ["new-session", "-d", "-s", "t", "-x", str(columns), "-y", "20", shell], check=True,
                       env=dict(os.environ, SHELL="/bin/bash"))
        test.addCleanup(lambda: subprocess.run(self.tmux + ["kill-server"], capture_output=True))

    def screen(self):
        return subprocess.run(self.tmux + ["capture-pane", "-p", "-t", "t"], capture_output=True, text=True).stdout

    def keys(self, *keys):
        """Keys by name ("C-c", "Enter"), or with "-l" first the text typed as it stands."""
        subprocess.run(self.tmux + ["send-keys", "-t", "t"] + list(keys), check=True)

    def wait_for(self, text):
        return self.wait_until(lambda screen: text in screen, text)

    def wait_until(self, check, what):
        """The screen once check(screen) holds."""
        deadline = time.monotonic() + RUN_LIMIT_S
        while not check(self.screen()):
            self.test.assertLess(time.monotonic(), deadline, "the screen never showed %s:\n%s" % (what, self.screen()))
            time.sleep(0.1)
        return self.screen()

    def tty_flags(self):
        """The terminal's settings now, as stty names them ("-echo", "icanon", "-ixon", ...)."""
        tty = subprocess.run(self.tmux + ["display-message", "-p", "-t", "t", "#{pane_tty}"], capture_output=True,
                             text=True, check=True).stdout.strip()
        settings = subprocess.run(["stty", "-F", tty, "-a"], capture_output=True, text=True).stdout
        return set(settings.replace(";", " ").split())

    def resize(self, columns):
        subprocess.run(self.tmux + ["resize-window", "-t", "t", "-x", str(columns)], check=True)


FLAT = {}  # each carried image flattened independently, once per suite


def flat_images():
    if not FLAT:
        FLAT.update((kind, flat_image(os.path.join(IMAGE_DIR, name)))
                    for kind, name in (("mcu", MCU), ("tx", TX), ("rx", RX)))
    return FLAT


class E2E(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.flat = flat_images()

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="fwupgrade-e2e-")
        self.ports = Ports(self.workdir)

    def tearDown(self):
        for u in list(Unit.running):
            u.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def start_update(self, *unit_args, extra=()):
        """An update running in the background against a new unit: (unit, process)."""
        unit = self.ports.unit(*unit_args)
        command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + self.ports.arguments() + ["--no-pause"]
        command += list(extra)
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        return unit, process

    def wait_for(self, unit, prefix, timeout=RUN_LIMIT_S):
        deadline = time.monotonic() + timeout
        while not any(l.startswith(prefix) for l in unit.lines()):
            self.assertLess(time.monotonic(), deadline, "the unit never saw " + prefix)
            time.sleep(0.05)

    def update(self, *unit_args, stdin_text=None, extra=(), line_kept=True):
        """A run against a new unit on a port of its own; every way out leaves the port as found."""
        self.ports = Ports(self.workdir)
        unit = self.ports.unit(*unit_args)
        output, status = run_fwupgrade(self.ports.arguments() + list(extra), stdin_text)
        unit.stop()
        if line_kept:  # a unit that hangs up ends before the program lets the port go
            self.assertTrue(unit.line_kept(), unit.lines()[::len(unit.lines()) - 1])
        return unit, output, status

    def expected(self, name="update-tx.txt", replace=()):
        return golden(name, len(self.flat["tx"]), len(self.flat["mcu"]), replace)

    def assert_received_images(self, unit, fpga_kind):
        self.assertEqual(unit.commands(), [
            "%%%help -c version", "%%%fw -v", "%%%fw -p"] + (["%%%fw -p"] if fpga_kind == "rx" else []) + [
            "%%%%%%fw -l %d %d" % (checksum(self.flat[fpga_kind]), len(self.flat[fpga_kind])),
            "%%%%%%fw -h %d %d" % (checksum(self.flat["mcu"]), len(self.flat["mcu"]))])
        self.assertEqual(unit.image("fpga"), self.flat[fpga_kind])
        self.assertEqual(unit.image("mcu"), self.flat["mcu"])
        self.assertEqual(unit.field("image kind=fpga", "checksum_ok"), "1")
        self.assertEqual(unit.field("image kind=fpga", "baud"), "115200")
        self.assertEqual(unit.field("image kind=mcu", "baud"), "115200")
        self.assertEqual(unit.field("prompt", "baud"), "9600")  # the detected rate, restored
        self.assertEqual(unit.field("command text=%%%help", "cts"), "0")
        self.assertEqual(unit.field("command text=%%%fw -v", "cts"), "1")
        self.assertEqual(unit.field("image kind=mcu", "cts"), "1")


    def assert_tx_update(self):
        unit, output, status = self.update("--unit", "tx")
        self.assertEqual(output, self.expected())
        self.assertEqual(status, 0)
        self.assert_received_images(unit, "tx")


FAILED = "\n\rERROR: The update was not successful.\r\n\r\nPress any key to exit"
TX_IDENTITY = "Ondrex 6G SDI EXTENDER TX OVER FIBER WITH RETURN CHANNEL\r\n>>"
RX_IDENTITY = "Ondrex 6G SDI EXTENDER RX OVER FIBER WITH RETURN CHANNEL\r\n>>"
WARNING = ("\n\r\n\rWARNING: The unit accepted both images but did not confirm that it is running."
           " Check the unit before use.\r\n")
SUCCESS = "\n\r\n\rThe update was successful, the unit is now operational\r\n"


STOPPED_DETECTING = "\r\nSTOPPED while looking for the unit: no image was sent, the unit is unchanged.\r\n"
STOPPED_FPGA = "\r\nSTOPPED while sending the Programmable Logic data: the unit must be updated again.\r\n"
STOPPED_REBOOT = ("\r\nSTOPPED while the unit was rebooting: both images were accepted but the unit did not"
                  " confirm it runs them. Check it before use, and update it again if it does not answer.\r\n")


EVENT_ORDER = ["start", "unit_found", "versions", "unit_kind", "image_announced", "image_accepted",
               "image_announced", "image_accepted", "reboot_progress", "prompt_seen", "versions_after", "finished"]


class StationCase(E2E):
    """What the tests of --station share: slots that units are plugged into and pulled out of, the
    station's command, its journal held against each unit's own records."""

    def slot(self, n, *unit_args, after_ms=0, pull_ms=-1):
        """A unit plugged into slot n after_ms from now (pulled out after pull_ms): natively the slot
        is a link that appears and goes, under Wine COMn. Returns the slot's name for --ports."""
        link = (os.path.join(WINEPREFIX, "ports", "com%d" % n) if WINE
                else os.path.join(self.workdir, "by-path-slot%d" % n))
        unit = Unit(self.workdir, "unit%d-%d" % (n, len(self.ports.units)), *unit_args, "--plug-after", str(after_ms),
                    "--pull-after", str(pull_ms), link=link)
        self.ports.units.append(unit)
        if WINE:
            self.ports.slots.append(unit)
            self.ports.arguments()  # COMn leads to the slot
        return str(n) if WINE else link

    def station(self, slots, *extra):
        self.logs = os.path.join(self.workdir, "station")
        return ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + ["--station", "--ports", ",".join(slots),
                                                                       "--log-dir", self.logs, "--no-pause"] + list(extra)

    def journal(self):
        """The journal's lines, each one held against its unit's own records."""
        path = os.path.join(self.logs, "journal.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            lines = [json.loads(line) for line in f]
        for line in lines:
            self.assert_journaled_as_recorded(line)
        return lines

    def assert_journaled_as_recorded(self, line):
        """Each field of a journal line that the unit's report also has says what the report says; the log's
        outcome line agrees with both. Without a report (killed, or it could not be written) the log tells."""
        ends = None  # the log's outcome lines; None: the journal names no log (it was lost)
        if line["log"] is not None:
            with open(os.path.join(self.logs, line["log"])) as f:
                ends = [l.split(" outcome: ", 1)[1] for l in f.read().splitlines() if " outcome: " in l]
        if line["report"] is None:
            self.assertTrue(ends[-1].startswith("%s (exit status %d" % (line["summary"], line["exit_status"]))
                            if ends else line["outcome"] == "ended without a report", (line, ends))
            return
        with open(os.path.join(self.logs, line["report"])) as f:
            report = json.load(f)
        args = command_arguments(report["command_line"])
        arg = lambda name: args[args.index(name) + 1]
        number = int(arg("--as-com"))  # a port outside the machine's list runs under a number from 1000
        fields = ("exit_status", "outcome", "unit_left", "summary", "started", "ended", "kind", "before", "after",
                  "com", "path", "log", "report")
        self.assertEqual({k: line[k] for k in fields}, {
            "exit_status": report["exit_status"], "outcome": report["outcome"], "unit_left": report["unit_left"],
            "summary": report["summary"], "started": report["started"], "ended": report["ended"],
            "kind": report["unit"]["kind"], "before": report["unit"]["before"],
            "after": report["unit"]["after"], "com": number if number < 1000 else None, "path": arg("--port"),
            "log": line["log"] and os.path.relpath(arg("--log"), self.logs),
            "report": os.path.relpath(arg("--report"), self.logs)})
        self.assertEqual(line["serial"], report["serial"])
        # Its run's release and host, not those of whichever program reads the line later.
        self.assertEqual(line["carried"], report["firmware"]["version"])
        if os.path.exists(os.path.join(self.logs, "station-state.json")):
            self.assertEqual(line["host"], self.state()["station"]["host"])
        port = report["port"] or {}
        self.assertEqual((port.get("com", number), port.get("path", line["path"])), (number, line["path"]))
        self.assertEqual(line["records_unwritten"] != [], report["log_complete"] is False)
        if ends is not None:
            self.assertTrue(ends[-1].startswith("%s (exit status %d" % (report["summary"], report["exit_status"])), ends)
        # Its files are named by the time the station started its run, just before the run's own start.
        named = re.search(r"-(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d)(-\d+)?\.report\.json$", line["report"]).group(1)
        gap = (datetime.datetime.strptime(report["started"][:19], "%Y-%m-%dT%H:%M:%S")
               - datetime.datetime.strptime(named, "%Y-%m-%d_%H-%M-%S")).total_seconds()
        self.assertTrue(0 <= gap <= 5, (named, report["started"]))

    def state(self):
        """The station's live state, as its file has it now."""
        with open(os.path.join(self.logs, "station-state.json")) as f:
            return json.load(f)

    def read_until(self, process, start):
        """The lines the station prints, up to the first that begins with start."""
        lines = [process.stdout.readline().decode("latin-1")]
        while not lines[-1].startswith(start):
            self.assertTrue(lines[-1], "the station ended before a line began with %r:\n%s" % (start, "".join(lines)))
            lines.append(process.stdout.readline().decode("latin-1"))
        return lines

    def start_station(self, slots, *extra):
        process = subprocess.Popen(self.station(slots, *extra), stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        return process

    def station_streaming_fpga(self):
        """A station of one slot, once its unit streams an FPGA image slow enough to take seconds."""
        slot = self.slot(1, "--unit", "tx", "--baud", "115200", "--slow-line", "300000")
        process = self.start_station([slot])
        self.wait_for(self.ports.units[0], "announce kind=fpga")
        return slot, self.ports.units[0], process

    def wait_for_journal(self, lines):
        deadline = time.monotonic() + RUN_LIMIT_S
        while len(self.journal()) < lines:
            self.assertLess(time.monotonic(), deadline, "the journal never had %d lines" % lines)
            time.sleep(0.1)

    def ended(self, process, status):
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, status, output[-2000:])
        return output

    def images(self, unit):
        return [l.split()[1] for l in unit.lines() if l.startswith("announce ")]


# ---------------------------------------------------------------- running the suite

# The tests that wait through several updates: started first when the suite is spread.
LONG = ("Record.test_what_verify_makes_of_the_unit_after_its_reboot", "Shift.test_a_short_shift_on_four_slots",
        "Station.test_no_unit_is_taken_while_it_cannot_be_recorded",
        "Station.test_a_stop_sent_to_every_process_lets_the_update_finish")


def _take_slot(slots):
    """A worker's start: under Wine a prefix of its own (the first worker the build's), as the
    COM ports are the prefix's."""
    global WINEPREFIX
    slot = slots.get()
    if WINE and slot > 1:
        WINEPREFIX = "%s-%d" % (WINEPREFIX, slot)
        os.environ["FWUPGRADE_WINEPREFIX"] = WINEPREFIX
    make_wine_prefix()


def make_wine_prefix():
    """Made before the tests, not by the first run in it, which would remove the links that the
    test's units made there. A failure shows in the tests. Its server is started here too, for the
    whole suite: one that a run started would hold that run's output pipe open (its services
    outlive the program), and the test would wait for the pipe's end until its time-out. So are
    the prefix's services (a first program starts them, and they hold its output too)."""
    if WINE:
        subprocess.run([os.path.join(ROOT, "tests", "wine", "setup-prefix.sh"), WINEPREFIX])
        restart_wine_server(display=False)


def restart_wine_server(display):
    """The prefix's server and services started afresh, holding no test's pipe; with a display
    (xvfb-run's) the services are left to the first program, which starts them with it."""
    quiet = dict(env=dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all"), stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for command in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p"]):
        subprocess.run(command, **quiet)
    if not display:
        subprocess.run(["wine", "cmd", "/c", "exit"], timeout=300, **quiet)


def end_wine_prefixes(jobs):
    """The prefixes' servers (and their services) end with the suite."""
    for slot in range(1, jobs + 1) if WINE else ():
        prefix = WINEPREFIX if slot == 1 else "%s-%d" % (WINEPREFIX, slot)
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)


def _run_one(name):
    result = unittest.TestResult()
    result.buffer = True  # what a test prints goes with its failure
    started = time.monotonic()
    unittest.defaultTestLoader.loadTestsFromName(name).run(result)
    problems = [(kind, str(test), text) for kind, found in (("FAIL", result.failures), ("ERROR", result.errors))
                for test, text in found] + [("FAIL", str(test), "unexpected success\n") for test in result.unexpectedSuccesses]
    status = "FAIL" if problems else "skipped %r" % result.skipped[0][1] if result.skipped else "ok"
    return name, time.monotonic() - started, status, problems, len(result.skipped)


def names_in(suite):
    for test in suite:
        yield from names_in(test) if isinstance(test, unittest.TestSuite) else [
            "%s.%s.%s" % (type(test).__module__, type(test).__name__, test._testMethodName)]


def is_long(name, long):
    return ".".join(name.split(".")[-2:]) in long


def main(modules=None, long=LONG):
    """The tests of modules (default: the module run as a program), or those named on the command
    line (Class.test, or module.Class.test), in JOBS processes at once: each takes the next test
    when it ends one, the long ones first. Prints what unittest prints, with each test's duration."""
    for name, value in (("FWUPGRADE", FWUPGRADE), ("EMULATOR", EMULATOR), ("IMAGE_DIR", IMAGE_DIR)):
        if not value:
            sys.exit("%s: set %s" % (os.path.basename(sys.argv[0]), name))
    modules = modules or [sys.modules["__main__"]]
    loader = unittest.defaultTestLoader
    if sys.argv[1:]:
        module = modules[0] if len(modules) == 1 else None
        names = list(names_in(loader.loadTestsFromNames(sys.argv[1:], module)))
    else:
        names = [name for module in modules for name in names_in(loader.loadTestsFromModule(module))]
        assert len(modules) == 1 or all(any(is_long(name, long) for name in names) for long in long), \
            "the long tests listed are not all in the suite"
    names.sort(key=lambda name: not is_long(name, long))
    if JOBS <= 1:
        make_wine_prefix()
        result = unittest.TextTestRunner(verbosity=2).run(loader.loadTestsFromNames(names))
        end_wine_prefixes(1)
        sys.exit(0 if result.wasSuccessful() else 1)
    flat_images()  # once, for every worker
    started, problems, skipped = time.monotonic(), [], 0
    context = multiprocessing.get_context("fork")
    slots = context.Queue()
    for slot in range(1, JOBS + 1):
        slots.put(slot)
    with context.Pool(JOBS, _take_slot, (slots,)) as pool:
        for name, seconds, status, found, skips in pool.imap_unordered(_run_one, names):
            print("%s ... %s (%.1f s)" % (name.replace("__main__.", ""), status, seconds), flush=True)
            problems += found
            skipped += skips
    end_wine_prefixes(JOBS)
    for kind, test, text in problems:
        print("=" * 70 + "\n%s: %s\n" % (kind, test) + "-" * 70 + "\n" + text)
    print("-" * 70 + "\nRan %d tests in %.3fs (%d at once)\n" % (len(names), time.monotonic() - started, JOBS))
    counts = ["%s=%d" % (what, n) for what, n in (("failures", sum(k == "FAIL" for k, _, _ in problems)),
                                                 ("errors", sum(k == "ERROR" for k, _, _ in problems)),
                                                 ("skipped", skipped)) if n]
    print(("FAILED" if problems else "OK") + (" (%s)" % ", ".join(counts) if counts else ""))
    sys.exit(1 if problems else 0)
