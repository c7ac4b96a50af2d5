#!/usr/bin/env python3
"""End-to-end tests: FwUpgrade (native, or the .exe under Wine) against the emulated unit.

Environment:
  FWUPGRADE   the program (a .exe runs under Wine in the project's prefix)
  EMULATOR    the native unit-emulator built with the same time divisor
  DIVISOR     that divisor
  IMAGE_DIR   the image files the program carries (for the independent flattening)
  SUITE       "full" (default) or "production" (one complete update, real timings)
"""
import codecs
import datetime
import fcntl
import glob
import itertools
import json
import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import signal
import tempfile
import time
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

    def keys(self, keys):
        subprocess.run(self.tmux + ["send-keys", "-t", "t", keys], check=True)

    def wait_for(self, text):
        return self.wait_until(lambda screen: text in screen, text)

    def wait_until(self, check, what):
        """The screen once check(screen) holds."""
        deadline = time.monotonic() + RUN_LIMIT_S
        while not check(self.screen()):
            self.test.assertLess(time.monotonic(), deadline, "the screen never showed %s:\n%s" % (what, self.screen()))
            time.sleep(0.1)
        return self.screen()

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


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Update(E2E):
    def test_tx_update_transcript_and_what_the_unit_received(self):
        self.assert_tx_update()

    def test_rx_update_transcript_and_what_the_unit_received(self):
        unit, output, status = self.update("--unit", "rx")
        self.assertEqual(output, self.expected("update-rx.txt"))
        self.assertEqual(status, 0)
        self.assert_received_images(unit, "rx")


FAILED = "\n\rERROR: The update was not successful.\r\n\r\nPress any key to exit"
TX_IDENTITY = "Ondrex 6G SDI EXTENDER TX OVER FIBER WITH RETURN CHANNEL\r\n>>"
RX_IDENTITY = "Ondrex 6G SDI EXTENDER RX OVER FIBER WITH RETURN CHANNEL\r\n>>"
WARNING = ("\n\r\n\rWARNING: The unit accepted both images but did not confirm that it is running."
           " Check the unit before use.\r\n")
SUCCESS = "\n\r\n\rThe update was successful, the unit is now operational\r\n"


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Faults(E2E):
    def cut(self, marker):
        """The expected transcript up to and including `marker`."""
        text = self.expected()
        return text[:text.index(marker) + len(marker)]

    def test_unknown_device_code_is_refused(self):
        _, output, status = self.update("--version-reply", "1.0.3 K482915 1.03 3\\r\\n>>")
        self.assertEqual(output, self.cut("Checking product .......... ").replace("device:7", "device:3")
                         + "FAILED, Unknown product\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_version_reply_with_fewer_fields_shows_no_versions(self):
        _, output, status = self.update("--version-reply", "1.0.3 K482915\\r\\n>>")
        head = self.cut("Baud rate       : 9600 \r\n\r\n")
        self.assertEqual(output, head + "Checking product .......... FAILED, Unknown product\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_an_overlong_model_word_cannot_overrun(self):
        _, output, status = self.update("--version-reply", "1.0.3 K482915LONGWORD 1.03 7\\r\\n>>")
        self.assertIn("Checking product .......... FAILED, Unknown product\r\n", output)
        self.assertNotIn("Checking fpga version", output)
        self.assertEqual(status, 1)

    def test_identity_matching_neither_unit(self):
        unit, output, status = self.update("--unit", "Another product")
        self.assertEqual(output, self.cut("Checking product .......... ") + "FAILED\r\n" + FAILED)
        self.assertEqual(unit.commands()[-2:], ["%%%fw -p", "%%%fw -p"])
        self.assertEqual(status, 1)

    def test_no_ready_to_the_fpga_announcement(self):
        _, output, status = self.update("--no-ready", "fpga")
        self.assertEqual(output, self.cut("Preparing to Upload Programmable Logic ............ ")
                         + "FAILED [Unit not ready]\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_no_ready_to_the_mcu_announcement(self):
        _, output, status = self.update("--no-ready", "mcu")
        self.assertEqual(output, self.cut("Preparing to Upload Firmware ...................... ")
                         + "FAILED [Unit not ready]\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_wrong_acknowledgement_of_the_fpga_image(self):
        _, output, status = self.update("--wrong-ack", "fpga")
        self.assertEqual(output, self.cut("Sending Programmable Logic data ................... ")
                         + progress(len(self.flat["tx"]))
                         + "\r\nExpected : SUCCESS  received : FAILURE\r\n"
                         + "\r\nError: Expected response did  not matched !\r\nFAILED\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_unit_hanging_up_during_the_fpga_image(self):
        _, output, status = self.update("--hangup", "fpga", line_kept=False)
        head = self.cut("Sending Programmable Logic data ................... ")
        self.assertTrue(output.startswith(head), output[:400])
        shown = output[len(head):]
        self.assertTrue(progress(len(self.flat["tx"])).startswith(shown[:shown.index("FAILED")]))
        self.assertTrue(output.endswith("FAILED\r\n" + FAILED), output[-200:])
        self.assertEqual(status, 1)

    def test_a_unit_that_stops_taking_data(self):
        started = time.monotonic()
        unit, output, status = self.update("--stall-after", "100000")
        elapsed = time.monotonic() - started
        head = self.cut("Sending Programmable Logic data ................... ")
        self.assertTrue(output.startswith(head), output[:400])
        self.assertTrue(output.endswith("%FAILED\r\n" + FAILED), output[-200:])
        self.assertEqual(status, 1)
        self.assertIn("stall kind=fpga after=100000 ms=-1", unit.lines())
        self.assertLess(elapsed, RUN_LIMIT_S / 2 + WRITE_STALL_S)

    def test_a_pause_shorter_than_the_write_bound_and_a_closed_output_pipe_end_nothing(self):
        """The unit holds the line for 40 % of the bound, and the console's reader goes away."""
        unit = self.ports.unit("--stall-after", "100000:%d" % (WRITE_STALL_S * 400))
        command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + self.ports.arguments() + ["--no-pause"]
        result = subprocess.run(["bash", "-c", '"$@" | head -c 1000 >/dev/null; exit ${PIPESTATUS[0]}', "run"]
                                + command, timeout=RUN_LIMIT_S)
        unit.stop()
        self.assertEqual(result.returncode, 0)
        self.assertIn("stall kind=fpga after=100000 ms=%d" % (WRITE_STALL_S * 400), unit.lines())
        self.assertEqual(unit.image("fpga"), self.flat["tx"])
        self.assertEqual(unit.image("mcu"), self.flat["mcu"])
        self.assertTrue(unit.line_kept())

    def test_what_the_unit_sends_reaches_the_terminal_made_safe(self):
        long_reply = "\\x1b[2J" + "x" * 300
        # The emulator reads "\\x1b" as the byte, the program shows the byte as "\\x1b".
        cases = [("SUC\\x00CESS", "SUC\\x00CESS"),  # a reply cut by a zero byte
                 (long_reply, "\\x1b[2J" + "x" * 193 + "... (304 bytes received)")]
        for ack, shown in cases:
            with self.subTest(ack=ack[:12]):
                _, output, status = self.update("--wrong-ack", "fpga:" + ack)
                self.assertIn("\r\nExpected : SUCCESS  received : " + shown + "\r\n", output)
                self.assertEqual(status, 1)
        _, output, _ = self.update("--version-reply", "1.0.3 K\\x1b[2J 1.03 3\\r\\n>>")
        self.assertIn("Checking fpga version ..................  K\\x1b[2J 1.03  device:3\r\n", output)

    def test_a_device_code_beyond_an_int_does_not_wrap_to_the_accepted_one(self):
        _, output, status = self.update("--version-reply", "1.0.3 K482915 1.03 4294967303\\r\\n>>")
        self.assertEqual(output, self.cut("Baud rate       : 9600 \r\n\r\n")
                         + "Checking product .......... FAILED, Unknown product\r\n" + FAILED)
        self.assertEqual(status, 1)

    def test_no_prompt_after_the_reboot_is_no_plain_success(self):
        _, output, status = self.update("--no-prompt")
        self.assertEqual(output, self.expected(replace=((SUCCESS, WARNING),)))
        self.assertEqual(status, 3)

    def test_a_unit_booted_before_the_wait_ended_is_confirmed(self):
        _, output, status = self.update("--reboot-ms", str(5000 // DIVISOR))
        self.assertEqual(output, self.expected())
        self.assertEqual(status, 0)

    def test_a_unit_an_earlier_run_left_at_115200_is_heard_at_its_own_rate_after_its_reboot(self):
        """Found at 115200, where a run cut short left it, it reboots into its own 9600: asked
        there before it is called unconfirmed, it is confirmed, and the console says nothing more."""
        report = os.path.join(self.workdir, "r.json")
        for verify, outcome in ((False, "updated"), (True, "updated and verified")):
            with self.subTest(verify=verify):
                _, output, status = self.update("--baud", "9600", "--left-at", "115200",
                                                extra=["--report", report] + (["--verify"] if verify else []))
                self.assertEqual(status, 0, output[-300:])
                if not verify:
                    self.assertEqual(output, self.expected(replace=[(" 9600 \r\n", " 115200 \r\n")]))
                with open(report) as f:
                    recorded = json.load(f)
                self.assertEqual((recorded["outcome"], recorded["after_reboot"]["baud"]), (outcome, 9600))

    def test_a_line_break_after_the_prompt_is_no_confirmation(self):
        _, output, status = self.update("--prompt", "[K482915] boot complete\\r\\n>>\\r\\n")
        self.assertEqual(output, self.expected(replace=((SUCCESS, WARNING),)))
        self.assertEqual(status, 3)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Detection(E2E):
    QUICK_END = ("--version-reply", "1.0.3 K482915 1.03 3\\r\\n>>")  # ends the run right after detection

    def detect(self, stdin_text=None):
        output, status = run_fwupgrade(self.ports.arguments(), stdin_text)
        self.ports.stop()
        return output, status

    def test_unit_on_the_third_candidate_behind_a_silent_and_an_absent_port(self):
        silent = self.ports.unit("--silence")
        self.ports.absent()
        unit = self.ports.unit("--baud", "9600", *self.QUICK_END)
        output, status = self.detect()
        self.assertIn("Detecting COM port and Baud Rate..................OK\r\nCOM PORT Number : %d"
                      "\r\nBaud rate       : 9600 \r\n\r\n" % com(3), output)
        self.assertEqual(len(silent.probes()), 12)
        self.assertEqual(unit.probes(), ["ignored baud=115200 cts=0", "ignored baud=115200 cts=0",
                                         "command text=%%%help -c version baud=9600 cts=0"])
        self.assertEqual(status, 1)

    def test_unit_answering_only_the_second_probe_is_found_at_that_rate(self):
        unit = self.ports.unit("--baud", "57600", "--second-probe-only", *self.QUICK_END)
        output, status = self.detect()
        self.assertIn("OK\r\nCOM PORT Number : %d\r\nBaud rate       : 57600 \r\n\r\n" % com(1), output)
        self.assertEqual(len(unit.probes()), 2 + 2 + 2)

    def test_a_reply_one_character_off_is_never_accepted(self):
        unit = self.ports.unit("--probe-off-by-one")
        output, status = self.detect()
        self.assertIn("Detecting COM port and Baud Rate..................FAILED"
                      "\n\r\n\rEnter the COM port number : ", output)
        self.assertEqual(len(unit.probes()), 12)
        self.assertEqual(status, 2)  # no operator input

    def test_endless_chatter_and_zero_bytes_are_no_answer(self):
        for flood in ("--chatter", "--zero-flood"):
            with self.subTest(flood=flood):
                self.ports = Ports(self.workdir)
                unit = self.ports.unit(flood)
                output, status = self.detect()
                self.assertIn("..................FAILED", output)
                self.assertEqual(status, 2)
                self.assertEqual(len(unit.probes()), 12)
                self.assertTrue(unit.line_kept())

    def test_a_reply_split_over_time_is_joined(self):
        self.ports.unit("--split-reply", "3:%d" % (200 // DIVISOR), *self.QUICK_END)
        output, _ = self.detect()
        self.assertIn("OK\r\nCOM PORT Number : %d" % com(1), output)

    def test_the_first_port_that_answers_is_picked_however_fast_a_later_one_answers(self):
        """Every candidate is probed at once: the unit on the second port answers first (at the
        first rate), yet the first port's unit (at the second rate) is picked, as one port after
        another would pick it. The later unit heard no more than the help probe and got its
        line back as it was."""
        self.ports.unit("--baud", "9600", *self.QUICK_END)
        second = self.ports.unit("--baud", "115200")
        output, _ = self.detect()
        self.assertIn("COM PORT Number : %d\r\nBaud rate       : 9600 " % com(1), output)
        self.assertLessEqual(set(second.commands()), {"%%%help -c version"})
        self.assertTrue(second.line_kept())

    @unittest.skipIf(WINE, "the serial shim is a native library")
    def test_ports_refusing_rates_print_as_one_port_after_another_would(self):
        """A port that opens but refuses two rates, then the unit's port that refuses one, then a
        port after it that refuses every rate: the messages of the first two in the sweep's
        order, nothing of the third; the record says what each port came to, in order."""
        silent = self.ports.unit("--silence")
        unit = self.ports.unit("--baud", "9600", *self.QUICK_END)
        after = self.ports.unit("--silence")
        refuse = [(silent.path, 115200), (silent.path, 4800), (unit.path, 115200)] + [
            (after.path, rate) for rate in (115200, 9600, 57600, 4800, 2400, 1200)]
        report = os.path.join(self.workdir, "r.json")
        env = dict(os.environ, LD_PRELOAD=SERIAL_SHIM, FWUPGRADE_SHIM_REFUSE=",".join("%s:%d" % r for r in refuse),
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")  # the shim goes first
        output, status = run_fwupgrade(self.ports.arguments() + ["--report", report], env=env)
        self.ports.stop()
        self.assertIn("Detecting COM port and Baud Rate.................." + "ERROR: COM%d configuration failed !" * 3 %
                      (com(1), com(1), com(2)) + "OK\r\nCOM PORT Number : %d\r\nBaud rate       : 9600 \r\n\r\n" % com(2),
                      output)
        self.assertEqual(len(silent.probes()), 8)  # two at each of the four rates it took
        with open(report) as f:
            detection = json.load(f)["detection"]
        self.assertEqual([(p["com"], p["outcome"], p.get("baud")) for p in detection],
                         [(com(1), "no answer", None), (com(2), "unit found", 9600), (com(3), "not needed", None)])

    def test_no_candidate_at_all_leads_to_the_dialogue(self):
        """The port the operator named could not be opened: why, before the prompt."""
        self.ports.absent()
        output, status = self.detect()
        # The test prefix's absent ports are folders, which Wine's open refuses as "access denied".
        reason = (r"COM1: in use by another program\. Close it \(a terminal program\) and retry\." if WINE else
                  r"/nonexistent/port0: no such port\. Is the adapter plugged in\? FwUpgrade --list-ports shows the ports\.")
        self.assertRegex(output, "..................FAILED\r\n%s\n\r\n\rEnter the COM port number : "
                         "\r\nERROR: No more input: the run is stopped\\.\r\n\r\nPress any key to exit$" % reason)
        self.assertEqual(status, 2)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Dialogue(E2E):
    def test_entries_that_are_no_number_are_asked_again(self):
        self.ports.absent()
        output, status = run_fwupgrade(self.ports.arguments(), "abc\n0\n %d \n" % com(1))
        prompt = "\n\r\n\rEnter the COM port number : "
        retry = "\r\nNot a COM port number: enter a number from 1 to 255."
        opening = "\r\nOpening COM%d....................ERROR: Opening COM%d failed !\r\n" % (com(1), com(1))
        self.assertIn("FAILED" + prompt + retry + prompt + retry + prompt + opening,
                      re.sub(r"FAILED\r\n[^\n]*(no such port|in use)[^\n]*\n", "FAILED\n", output))
        reason = output[output.index(opening) + len(opening):]
        self.assertRegex(reason, r"^(/nonexistent/port0|COM1): .+\.\r\nPress any key to exit$")
        self.assertEqual(status, -1)

    def test_operator_port_and_rate_after_a_failed_detection(self):
        unit = self.ports.unit("--baud", "57600", "--silence")
        output, status = run_fwupgrade(self.ports.arguments(), "%d\n57600\n" % com(1))
        self.assertIn("..................FAILED\n\r\n\rEnter the COM port number : "
                      "\r\nOpening COM%d....................OK\r\n"
                      "\n\r\n\rEnter the BAUD RATE       : \r\nSetting baud rate at 57600..........OK\r\n"
                      "Checking product .......... FAILED, Unknown product\r\n" % com(1), output)
        self.assertEqual(unit.commands(), ["%%%help -c version"] * 2 + ["%%%fw -v"])
        self.assertEqual(unit.field("command text=%%%fw -v", "cts"), "1")
        self.assertEqual(status, 1)

    def test_end_of_input_at_the_baud_rate_closes_the_port(self):
        unit = self.ports.unit("--silence")
        output, status = run_fwupgrade(self.ports.arguments(), "%d\n" % com(1))
        self.assertTrue(output.endswith("\r\nERROR: No more input: the run is stopped.\r\n\r\nPress any key to exit"))
        self.assertEqual(status, 2)
        unit.stop()
        self.assertTrue(unit.line_kept())

    def test_port_and_baud_options_skip_detection(self):
        unit = self.ports.unit("--baud", "4800", "--version-reply", "1.0.3 K482915 1.03 3\\r\\n>>")
        port = self.ports.arguments()[1]
        output, status = run_fwupgrade(["--port", port, "--baud", "4800"])
        self.assertIn("\r\nOpening COM%d....................OK\r\n\r\nSetting baud rate at 4800..........OK\r\n"
                      "Checking firmware version" % com(1), output)
        self.assertNotIn("Detecting", output)
        self.assertEqual(unit.commands(), ["%%%fw -v"])
        self.assertEqual(status, 1)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Info(E2E):
    HEAD = ("\n\rIdentifying the unit: this program carries firmware 1.0.4 and sends the unit no image%s"
            "\n\r\n\rDetecting COM port and Baud Rate..................")

    def info(self, *unit_args):
        unit, output, status = self.update(*unit_args, extra=["--info"])
        self.assertFalse([l for l in unit.lines() if l.startswith(("announce", "image"))])
        return unit, output, status

    def test_a_unit_is_identified_and_nothing_is_sent_to_it(self):
        old = "The unit runs firmware 1.0.3; this program carries 1.0.4, which an update installs.\r\n"
        same = "The unit runs firmware 1.0.4, the version this program carries.\r\n"
        for kind, reply, last in (("tx", "1.0.3 K482915 1.03 7\\r\\n>>", old), ("rx", "1.0.4 K482915 1.04 7", same)):
            with self.subTest(kind=kind):
                unit, output, status = self.info("--unit", kind, "--version-reply", reply)
                identity = {"tx": "TX OK\r\n" + TX_IDENTITY, "rx": "RX OK\r\n" + RX_IDENTITY}[kind]
                self.assertEqual(output, self.HEAD % notes() + "OK\r\nCOM PORT Number : %d\r\n"
                                 "Baud rate       : 9600 \r\n\r\n" % com(1)
                                 + "Checking firmware version ..............  %s \r\n"
                                 % ("1.00.03" if kind == "tx" else "1.00.04")
                                 + "Checking fpga version ..................  K482915 %s  device:7\r\n"
                                 % ("1.03" if kind == "tx" else "1.04")
                                 + "Checking product .......... " + identity + "\r\n" + last
                                 + "\r\nPress any key to exit")
                self.assertEqual(status, 0)
                self.assertEqual(unit.commands()[1:], ["%%%fw -v"] + ["%%%fw -p"] * (1 if kind == "tx" else 2))
                self.assertEqual(unit.field("command text=%%%fw -v", "cts"), "1")

    def test_a_unit_this_program_cannot_update(self):
        _, output, status = self.info("--version-reply", "1.0.3 K482915 1.03 3\\r\\n>>")
        self.assertTrue(output.endswith("device:3\r\nChecking product .......... FAILED, Unknown product\r\n"
                                        "\n\rERROR: This is not a unit this program can update.\r\n"
                                        "\r\nPress any key to exit"), output[-300:])
        self.assertEqual(status, 1)

    def test_no_unit_names_the_ports_tried_and_asks_nothing(self):
        self.ports.unit("--silence")
        self.ports.absent()
        output, status = run_fwupgrade(self.ports.arguments() + ["--info"], "1\n9600\n")
        self.ports.stop()
        self.assertEqual(output, self.HEAD % notes() + "FAILED\r\nNo unit answered on COM%d at any baud rate;"
                         " COM%d does not exist or cannot be opened.\r\n\r\nPress any key to exit" % (com(1), com(2)))
        self.assertEqual(status, 1)


    @unittest.skipIf(WINE, "the serial shim is a native library")
    def test_a_port_whose_sweep_outlasts_detection_is_one_where_no_unit_answered(self):
        """Every open of the port takes 9.5 s (a driver that holds it): detection's minute ends in
        the sixth, after five rates opened and probed. The port is named among those where no
        unit answered, not among those that cannot be opened, and is left as it was found."""
        unit = self.ports.unit("--silence")
        report = os.path.join(self.workdir, "r.json")
        env = dict(os.environ, LD_PRELOAD=SERIAL_SHIM, FWUPGRADE_SHIM_SLOW_OPEN="%s:9500" % unit.path,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        output, status = run_fwupgrade(self.ports.arguments() + ["--info", "--report", report], env=env)
        self.ports.stop()
        self.assertEqual((output, status), (self.HEAD % notes() + "FAILED\r\nNo unit answered on COM%d at any baud"
                                            " rate.\r\n\r\nPress any key to exit" % com(1), 1))
        with open(report) as f:
            recorded = json.load(f)
        self.assertEqual((recorded["outcome"], [p["outcome"] for p in recorded["detection"]]),
                         ("no unit", ["no answer in time"]))
        self.assertEqual(len(unit.probes()), 10)  # two at each of the five rates it opened at
        self.assertTrue(unit.line_kept())


STOPPED_DETECTING = "\r\nSTOPPED while looking for the unit: no image was sent, the unit is unchanged.\r\n"
STOPPED_FPGA = "\r\nSTOPPED while sending the Programmable Logic data: the unit must be updated again.\r\n"
STOPPED_REBOOT = ("\r\nSTOPPED while the unit was rebooting: both images were accepted but the unit did not"
                  " confirm it runs them. Check it before use, and update it again if it does not answer.\r\n")


EVENT_ORDER = ["start", "unit_found", "versions", "unit_kind", "image_announced", "image_accepted",
               "image_announced", "image_accepted", "reboot_progress", "prompt_seen", "versions_after", "finished"]


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Record(E2E):
    """--log, --report, --events and --verify: what the record says against what the unit saw."""

    def recorded(self, *unit_args, events=False):
        log, report = os.path.join(self.workdir, "run.log"), os.path.join(self.workdir, "report.json")
        for path in (log, report):
            if os.path.exists(path):
                os.unlink(path)
        extra = ["--verify", "--log", log, "--report", report] + (["--events"] if events else [])
        unit, output, status = self.update(*unit_args, extra=extra)
        with open(log, encoding="utf-8") as f:
            lines = f.read().splitlines()
        with open(report, encoding="utf-8") as f:
            return unit, output, status, lines, json.load(f)

    def test_a_verified_update_recorded_three_ways(self):
        unit, output, status, log, report = self.recorded("--unit", "tx", events=True)
        self.assertEqual(status, 0)
        # The events: whole JSON objects, line by line, the phases in order, progress by the percent.
        events = [json.loads(line) for line in output.splitlines()]
        names = [e["event"] for e in events]
        at = [names.index(EVENT_ORDER[0])]
        for name in EVENT_ORDER[1:]:
            at.append(names.index(name, at[-1] + 1))
        for kind in ("fpga", "mcu"):
            percents = [e["percent"] for e in events if e["event"] == "progress" and e["kind"] == kind]
            self.assertEqual(percents, sorted(set(percents)))
            self.assertEqual(percents[-1], 100)
        self.assertEqual(events[-1], dict(events[-1], exit_status=0, outcome="updated and verified", unit_left="updated"))
        # The log: every command in the order the unit saw them, the console text, the outcome.
        sent = [re.match(r'.* command "(.*)\\n\\r"$', l).group(1) for l in log if ' command "' in l]
        seen = [l.split()[0] == "ignored" and "?" or l[len("command text="):l.index(" baud=")]
                for l in unit.lines() if l.startswith(("command ", "ignored "))]
        self.assertEqual(len(sent), len(seen))
        self.assertEqual([c for c, u in zip(sent, seen) if u != "?"], [u for u in seen if u != "?"])
        self.assertRegex(log[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \+0\.\d{3} ==== FwUpgrade ")
        self.assertTrue(any(l.endswith("console: The update was successful, the unit is now operational") for l in log))
        self.assertTrue(log[-1].endswith("outcome: updated and verified (exit status 0)"), log[-1])
        self.assertLess(sum(len(l) + 1 for l in log), 16384)
        # The report: what the unit received, before and after.
        self.assertEqual(report["outcome"], "updated and verified")
        self.assertEqual(report["unit"], {"kind": "TX", "before": dict(report["unit"]["before"], firmware="1.0.3"),
                                          "after": dict(report["unit"]["after"], firmware="1.0.4")})
        for image, kind, flat in zip(report["images"], ("fpga", "mcu"), (self.flat["tx"], self.flat["mcu"])):
            self.assertEqual((image["kind"], image["outcome"]), (kind, "accepted"))
            self.assertEqual((image["checksum"], image["length"], image["written"]), (checksum(flat), len(flat), len(flat)))
            self.assertEqual(unit.field("announce kind=" + kind, "checksum"), str(image["checksum"]))
            self.assertEqual(unit.field("image kind=" + kind, "length"), str(image["length"]))
        self.assertEqual(report["port"]["found"], "detected")
        self.assertEqual(report["after_reboot"], {"prompt_seen": True, "versions_read": True, "carried_firmware": True,
                                                  "device_code_accepted": True})
        self.assertEqual((report["unit_left"], report["log_complete"]), ("updated", True))

    @unittest.skipIf(WINE, "the same logic on both builds; the Wine suite runs the verified update")
    def test_what_verify_makes_of_the_unit_after_its_reboot(self):
        """Each report field agrees with the outcome and the exit status."""
        other = "FAILED: the unit runs firmware 1.0.3, not 1.0.4 that was sent.\r\n" + FAILED
        code3 = "FAILED: the unit reports device code 3, not 7 that this program updates.\r\n" + FAILED
        verified = SUCCESS + "\r\nPress any key to exit"
        cases = [(("--version-after", "1.0.3 K482915 1.03 7\\r\\n>>"), 1, "other firmware", other, (True, True, False, True)),
                 (("--version-after", "1.0.4 XXXXXXX 9.99 3\\r\\n>>"), 1, "other firmware", code3, (True, True, True, False)),
                 (("--silent-after-reboot",), 3, "not confirmed", WARNING + "\r\nPress any key to exit",
                  (True, False, None, None)),
                 # Booted within the wait: the prompt came before its end.
                 (("--reboot-ms", str(5000 // DIVISOR)), 0, "updated and verified", verified, (True, True, True, True)),
                 # No prompt at all: the version reply decides.
                 (("--no-prompt",), 0, "updated and verified", verified, (False, True, True, True))]
        left = {0: "updated", 1: "update again", 3: "check before use"}
        for unit_args, code, outcome, ending, (prompt, read, carried, accepted) in cases:
            with self.subTest(unit=unit_args[-1]):
                _, output, status, log, report = self.recorded(*unit_args)
                self.assertTrue(output.endswith(ending), output[-300:])
                self.assertEqual((status, report["outcome"], report["exit_status"]), (code, outcome, code))
                self.assertEqual(report["after_reboot"], {"prompt_seen": prompt, "versions_read": read,
                                                          "carried_firmware": carried, "device_code_accepted": accepted})
                self.assertEqual(report["unit_left"], left[code])
                self.assertTrue(log[-1].endswith("outcome: %s (exit status %d)" % (report["summary"], code)), log[-1])

    @unittest.skipIf(WINE, "a terminal, natively in tmux")
    def test_the_outcome_is_recorded_before_the_closing_key(self):
        """Killed at "Press any key to exit": the update's outcome is in the log and the report."""
        self.ports.unit("--unit", "tx")
        log, report = os.path.join(self.workdir, "r.log"), os.path.join(self.workdir, "r.json")
        terminal = Terminal(self, [FWUPGRADE, "--info", "--log", log, "--report", report] + self.ports.arguments())
        terminal.wait_for("Press any key to exit")
        subprocess.run(["pkill", "-KILL", "-f", "^%s .*--log %s" % (re.escape(FWUPGRADE), re.escape(log))], check=True)
        terminal.wait_for("EXIT=137")
        with open(log) as f:
            self.assertTrue(f.read().splitlines()[-1].endswith("outcome: identified (exit status 0)"))
        with open(report) as f:
            self.assertEqual(json.load(f)["outcome"], "identified")

    @unittest.skipIf(WINE, "the same code on both builds")
    def test_a_report_that_cannot_be_written_is_in_the_log_with_the_exit_status(self):
        """Not confirmed (3) and a report in the way (1): the log's last lines say 1, as the run ends; the port
        opened at the rate named, never at another first."""
        unit = self.ports.unit("--baud", "57600", "--silent-after-reboot")
        log, report = os.path.join(self.workdir, "run.log"), os.path.join(self.workdir, "report.json")
        process = subprocess.Popen([FWUPGRADE, "--port", unit.path, "--baud", "57600", "--verify",
                                    "--log", log, "--report", report], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(unit, "announce kind=fpga")
        os.mkdir(report)  # in its way once the run began
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 1, output[-300:])
        why = "the report %s could not be written: it is a directory" % report
        self.assertTrue(output.endswith(WARNING + "\r\nERROR: %s.\r\n\r\nPress any key to exit" % why), output[-300:])
        with open(log) as f:
            lines = [l.split(" ", 2)[2] for l in f.read().splitlines()]
        self.assertEqual(lines[-2:], ["ERROR: %s." % why, "outcome: not confirmed: check before use (exit status 1)"])
        self.assertEqual([re.search(r"opened at (\d+) baud$", l).group(1) for l in lines if l.startswith("port COM")
                          and " opened at " in l], ["57600"])

    def test_a_failed_transfer_says_which_phase_failed(self):
        log, report = os.path.join(self.workdir, "run.log"), os.path.join(self.workdir, "report.json")
        _, _, status = self.update("--hangup", "fpga", extra=["--log", log, "--report", report], line_kept=False)
        self.assertEqual(status, 1)
        with open(report) as f:
            report = json.load(f)
        self.assertEqual((report["outcome"], report["phase"], report["unit_left"]), ("failed", "FPGA image", "update again"))
        self.assertEqual(report["images"][0]["outcome"], "write failed")
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertTrue(any(" image fpga: " in l and l.endswith(", write failed") for l in lines))
        self.assertRegex(lines[-1], r"outcome: failed: FPGA image cut at \d+ % \(the line failed\): update again"
                                   r" \(exit status 1\)$")

    @unittest.skipIf(WINE, "SIGKILL ends the Wine process the same way; once natively is enough")
    def test_a_killed_run_leaves_its_log_and_no_report(self):
        log, report = os.path.join(self.workdir, "run.log"), os.path.join(self.workdir, "report.json")
        for sig in (signal.SIGKILL, signal.SIGINT):
            with self.subTest(signal=sig):
                self.ports = Ports(self.workdir)
                unit, process = self.start_update("--baud", "115200", "--slow-line", "400000",
                                                  extra=["--log", log, "--report", report])
                self.wait_for(unit, "announce kind=fpga")
                time.sleep(3)  # the "Ready" collection takes two read time-outs (2 s), then the image streams
                process.send_signal(sig)
                process.communicate(timeout=RUN_LIMIT_S)
                unit.stop()
                with open(log) as f:
                    text = f.read()
                lines = text.splitlines()
                if sig == signal.SIGKILL:  # every line written whole up to the kill; no report, not even in part
                    self.assertFalse(glob.glob(report + "*"))
                    self.assertTrue(text.endswith("\n"))
                    self.assertTrue(any(' reply 5 bytes in ' in l and l.endswith(': "Ready"') for l in lines))
                    self.assertFalse(any(" outcome: " in l for l in lines))
                    os.unlink(log)
                    continue
                with open(report) as f:
                    stopped = json.load(f)
                self.assertEqual((stopped["outcome"], stopped["stopped_by"], stopped["phase"]),
                                 ("stopped", "SIGINT", "FPGA image"))
                # What the port took of the image before the stop, and that it was cut.
                cut = stopped["images"][0]
                self.assertEqual(cut["outcome"], "cut by a stop")
                self.assertTrue(0 < cut["written"] < cut["length"], cut)
                self.assertLessEqual(stopped["percent"], cut["written"] * 100 // cut["length"])
                self.assertEqual(stopped["summary"], "stopped in the FPGA image at %d %%: update again" % stopped["percent"])
                self.assertTrue(lines[-2].endswith("console: STOPPED while sending the Programmable Logic data:"
                                                   " the unit must be updated again."), lines[-2])
                self.assertRegex(lines[-1], r"outcome: stopped in the FPGA image at \d+ %: update again"
                                            r" \(exit status 130, stopped by SIGINT\)$")


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Station(E2E):
    """--parallel: a child run per port, all at once."""

    def command(self, *extra, again=False, long_names=False):
        """The station on the ports; with `again` the first port is named a second time, through a link."""
        self.logs = os.path.join(self.workdir, "logs")
        ports = self.ports.arguments()
        if again:
            os.symlink(ports[1].split(",")[0], os.path.join(self.workdir, "link"))
            ports[1] += "," + os.path.join(self.workdir, "link")
        if long_names:  # as /dev/serial/by-id names them
            names = [os.path.join(self.workdir, "usb-FTDI_FT232R_USB_UART_A50285B%d-if00-port0" % i)
                     for i in range(len(self.ports.units))]
            for unit, name in zip(self.ports.units, names):
                os.symlink(unit.path, name)
            ports[1] = ",".join(names)
        return (([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + ["--parallel"] + ports
                + ["--log-dir", self.logs, "--no-pause"] + list(extra))

    def report(self):
        with open(os.path.join(self.logs, "report.json")) as f:
            return json.load(f)

    def log_of(self, n):
        with open(os.path.join(self.logs, "port-COM%d.log" % com(n))) as f:
            return f.read().splitlines()

    def why(self, report, expected):
        """The end of each unexpected unit's log, for a failure message."""
        def tail(n):
            try:
                return self.log_of(n)[-12:]
            except OSError as e:
                return [str(e)]
        return "\n".join("\n".join(["COM%d:" % com(n)] + tail(n))
                         for n, (entry, outcome) in enumerate(zip(report["units"], expected), start=1)
                         if entry["outcome"] != outcome)

    def test_four_units_at_once_each_with_its_own_outcome(self):
        """And natively a fifth port that another program holds, and the first port named twice."""
        kinds = [("--unit", "tx"), ("--unit", "rx", "--baud", "57600"), ("--no-ready", "mcu"), ("--silence",),
                 ("--silence",)]
        expected = ["updated and verified", "updated and verified", "failed", "no unit", "busy"]
        if WINE:  # two mapped COM ports are enough to show the children run there too
            kinds, expected = kinds[:2], expected[:2]
        units = [self.ports.unit(*k) for k in kinds]
        if not WINE:
            held = os.open(units[4].path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.addCleanup(os.close, held)
        result = subprocess.run(self.command(again=not WINE), capture_output=True, timeout=RUN_LIMIT_S)
        for u in units:
            u.stop()
        output = result.stdout.decode("latin-1")
        self.assertEqual(result.returncode, 1 if not WINE else 0, output[-2000:])
        report = self.report()
        self.assertEqual([u["outcome"] for u in report["units"]], expected, self.why(report, expected))
        # Each unit's own report numbers its port as the station does.
        self.assertEqual([u["com"] for u in report["units"] if u["report"]["port"]],
                         [u["report"]["port"]["com"] for u in report["units"] if u["report"]["port"]])
        summary = output[output.index("\nSummary\n"):]
        for n, (unit, outcome, entry) in enumerate(zip(units, expected, report["units"]), start=1):
            with self.subTest(port=n):
                row = [l for l in summary.splitlines() if l.startswith("COM%d " % com(n)) or l == "COM%d" % com(n)
                       or l.startswith("COM%d" % com(n) + " ")]
                self.assertTrue(row and outcome in row[0], summary)
                self.assertTrue(unit.line_kept())
                self.assertTrue(self.log_of(n)[-1].split(" outcome: ")[1].startswith(outcome))
                images = (entry["report"] or {}).get("images", [])
                announced = [l for l in unit.lines() if l.startswith("announce ")]
                self.assertEqual(["announce kind=%s checksum=%d length=%d" % (i["kind"], i["checksum"], i["length"])
                                  for i in images], [l[:l.index(" baud=")] for l in announced])
                if outcome == "updated and verified":
                    fpga = self.flat["tx" if n == 1 else "rx"]
                    self.assertEqual(unit.image("fpga"), fpga)
                    self.assertEqual(unit.image("mcu"), self.flat["mcu"])
        self.assertIn("%d ports: " % len(expected), summary)
        self.assertFalse(glob.glob(os.path.join(self.logs, "*.report.json")))  # gathered into report.json
        # Through a pipe: the line view, each line naming its port, images by the tenth.
        lines = output[:output.index("\nSummary\n")].splitlines()[1:]
        notes = ["NOTE: this build carries sample firmware images, not a release."] if SAMPLE else []
        notes += ["NOTE: this build divides every protocol time-out and wait by 10 (test build)."] if DIVISOR != 1 else []
        self.assertEqual(lines[:len(notes)], notes)  # as every run says
        lines = lines[len(notes):]
        self.assertTrue(all(re.match(r"COM\d+( /dev/\S+)?: ", l) for l in lines), lines)
        for n in (1, 2):
            progress = [l.split(": ", 1)[1] for l in lines if l.startswith("COM%d" % com(n)) and ": FPGA" in l]
            self.assertEqual(progress, ["FPGA image"] + ["FPGA image %d %%" % p for p in range(0, 101, 10)])

    def test_a_folder_holding_an_earlier_runs_records_is_refused(self):
        """A record is never overwritten: a second run into the folder of the first is refused."""
        self.ports.unit("--unit", "tx")
        first = subprocess.run(self.command("--info"), capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(first.returncode, 0, first.stdout[-500:])
        with open(os.path.join(self.logs, "report.json"), "rb") as f:
            report = f.read()
        second = subprocess.run(self.command("--info"), capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual((second.returncode, second.stdout.decode()),
                         (2, "ERROR: %s holds the records of an earlier run (%s): give this run a folder of its own with"
                             " --log-dir, or leave it out for a new one.\r\n" % (self.logs, "report.json")))
        with open(os.path.join(self.logs, "report.json"), "rb") as f:
            self.assertEqual(f.read(), report)

    def test_every_unit_identified_at_once(self):
        units = [self.ports.unit("--unit", "rx"), self.ports.unit("--version-reply", "1.0.3 K482915 1.03 3")]
        result = subprocess.run(self.command("--info"), capture_output=True, timeout=RUN_LIMIT_S)
        for u in units:
            u.stop()
            self.assertFalse([l for l in u.lines() if l.startswith("announce")])
        self.assertEqual(result.returncode, 1)
        self.assertEqual([u["outcome"] for u in self.report()["units"]], ["identified", "not updatable"])
        self.assertRegex(result.stdout.decode(), r"\nCOM%d[^\n]* RX +1\.0\.3 1\.03 +- +\d:\d\d  identified: an update installs 1\.0\.4\n" % com(1))

    def stop_units_in_three_phases(self):
        """A unit in its FPGA image, one rebooting, one still being detected (its replies trickle)."""
        # The detecting unit answers every probe at every rate, slowly and one character off:
        # detection lasts about 45 s; the FPGA image streams for about 11 s.
        units = [self.ports.unit("--baud", "115200", "--unit", "tx", "--slow-line", "200000"),
                 self.ports.unit("--baud", "115200", "--unit", "rx"),
                 self.ports.unit("--probe-off-by-one", "--any-rate", "--split-reply", "86:%d" % (450 // DIVISOR))]
        return units, lambda: self.wait_for(units[1], "image kind=mcu") or time.sleep(0.5)

    def assert_stopped_in_three_phases(self, units, report, shown):
        expected = [("stopped", "FPGA image", "update again"), ("stopped", "rebooting", "check before use"),
                    ("stopped", "detecting", "unchanged")]
        self.assertEqual([(u["outcome"], u["phase"], u["unit_left"]) for u in report["units"]], expected)
        self.assertEqual((report["exit_status"], report["stopped"]), (130, True))
        fpga = report["units"][0]["report"]["images"][0]
        self.assertEqual(fpga["outcome"], "cut by a stop")
        self.assertEqual(units[0].field("image kind=fpga", "length"), None)  # never whole at the unit
        for u in report["units"]:
            self.assertIn(u["summary"], shown)
        self.assertRegex(report["units"][0]["summary"], r"^stopped in the FPGA image at \d+ %: update again$")
        self.assertEqual(report["units"][1]["summary"], "stopped while rebooting: check before use")
        self.assertEqual(report["units"][2]["summary"], "stopped before any image: unchanged")
        for u in units:
            u.stop()
            self.assertTrue(u.line_kept())
        self.assertEqual(glob.glob(os.path.join(self.logs, "*.part")), [])

    @unittest.skipIf(WINE, "a terminal's Ctrl-C, natively in tmux")
    def test_the_live_view_at_80_columns_and_ctrl_c_in_a_terminal(self):
        units, streaming = self.stop_units_in_three_phases()
        terminal = Terminal(self, self.command(long_names=True), columns=80)
        streaming()
        live = terminal.screen()
        self.assertRegex(live, r"PORT +UNIT BEFORE +TIME +STATE\n")
        # A long path keeps its end; each row says where its unit is.
        for n, state in ((1, r"FPGA image \d+ %"), (2, r"rebooting \d+ %"), (3, r"detecting")):
            self.assertRegex(live, r"COM%d \.\.\.\S+-port0 +\S+ +\S+( \S+)? +\d:\d\d  %s\n" % (com(n), state))
        table = live[live.index("PORT "):].splitlines()
        self.assertTrue(all(len(l) < 80 for l in table) and len(table) >= 4, live)
        self.assertEqual(live.count("PORT "), 1)  # redrawn in place, not scrolled
        terminal.keys("C-c")
        end = terminal.wait_for("TTY=")
        self.assertIn("EXIT=130", end)
        self.assertIn("3 ports: 3 stopped.\nUpdate again: COM%d.\nCheck before use: COM%d.\n" % (com(1), com(2)),
                      end.replace("\n\n", "\n"))
        left = subprocess.run(["pgrep", "-f", "--", "--report " + self.logs], capture_output=True)
        self.assertEqual(left.stdout, b"")  # no child left running
        report = self.report()
        self.assertEqual([u["report"]["stopped_by"] for u in report["units"]], ["SIGINT"] * 3)
        self.assert_stopped_in_three_phases(units, report, end)

    @unittest.skipIf(WINE, "a signal to a process group is POSIX's")
    def test_a_stop_sent_to_the_whole_process_group(self):
        """kill -TERM -- -PGID reaches the station and every child at once, as timeout does."""
        units, streaming = self.stop_units_in_three_phases()
        process = subprocess.Popen(self.command(), stdout=subprocess.PIPE, start_new_session=True)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        streaming()
        os.killpg(process.pid, signal.SIGTERM)
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 130, output[-1500:])
        report = self.report()
        self.assertEqual([u["report"]["stopped_by"] for u in report["units"]], ["SIGTERM"] * 3)
        self.assertEqual([u["exit_status"] for u in report["units"]], [130] * 3)
        self.assert_stopped_in_three_phases(units, report, output[output.index("\nSummary\n"):])

    @unittest.skipUnless(WINE, "natively the terminal and process-group cases cover it")
    def test_a_stop_reaches_every_run_under_wine(self):
        """Ctrl-C (SIGINT, a console event to Wine) at the station: each run is told through its stop event."""
        units = [self.ports.unit("--baud", "115200", "--unit", kind, "--slow-line", "300000") for kind in ("tx", "rx")]
        process = subprocess.Popen(self.command(), stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(units[1], "announce kind=fpga")
        time.sleep(3)
        process.send_signal(signal.SIGINT)
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 130, output[-1500:])
        report = self.report()
        self.assertEqual([(u["outcome"], u["unit_left"]) for u in report["units"]], [("stopped", "update again")] * 2)
        for u in units:
            u.stop()
            self.assertTrue(u.line_kept())

    def test_a_named_rate_and_a_port_without_a_unit(self):
        """--parallel --baud: a silent port is no unit, not a failure."""
        units = [self.ports.unit("--baud", "115200", "--unit", "rx"), self.ports.unit("--silence")]
        result = subprocess.run(self.command("--baud", "115200"), capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(result.returncode, 0, result.stdout.decode("latin-1")[-1500:])
        self.assertEqual([u["outcome"] for u in self.report()["units"]], ["updated and verified", "no unit"])
        self.assertEqual(units[0].image("fpga"), self.flat["rx"])

    @unittest.skipIf(WINE or os.geteuid() == 0, "a permission the user lacks: POSIX's, and root has every one")
    def test_a_port_the_user_may_not_open_says_so_and_stays_listed(self):
        """Named, it fails as "no permission" with what to do, never as busy; --list-ports keeps such ports."""
        unit = self.ports.unit("--silence")
        os.chmod(unit.path, 0)  # a device node the user may not open, as a ttyUSB0 outside the dialout group
        result = subprocess.run(self.command(), capture_output=True, timeout=RUN_LIMIT_S)
        output = result.stdout.decode("latin-1")
        self.assertEqual(result.returncode, 1, output[-1500:])
        [entry] = self.report()["units"]
        self.assertEqual((entry["outcome"], entry["summary"], entry["unit_left"]),
                         ("no permission", "no permission: add the user to the dialout group", "unchanged"))
        self.assertRegex(output, r"\nCOM%d %s +- +- +- +\d:\d\d  no permission: add the user to the dialout group\n"
                         % (com(1), re.escape(unit.path)))
        self.assertNotIn("busy", output)
        self.assertEqual(unit.probes(), [])
        # The machine's own ports: an on-board UART the user may not open is listed (the COM numbers
        # after it stay those another user sees), saying why it cannot be used.
        listing = subprocess.run([FWUPGRADE, "--list-ports"], capture_output=True, text=True, check=True).stdout
        for device in glob.glob("/dev/ttyS*"):
            with open("/sys/class/tty/%s/type" % os.path.basename(device)) as f:
                if f.read().strip() == "0" or os.access(device, os.R_OK | os.W_OK):
                    continue
            self.assertRegex(listing, r"(?m)^COM\d+  %s  on-board UART  \[no permission: add the user to the "
                                      r"dialout group\]$" % device)

    @unittest.skipIf(WINE, "the same code on both builds")
    def test_a_report_json_that_cannot_be_written(self):
        """The children's reports stay, and the last lines and the exit status say so: 1, though no unit failed and
        one was not confirmed (3)."""
        unit = self.ports.unit("--unit", "tx", "--silent-after-reboot")
        process = subprocess.Popen(self.command(), stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(unit, "announce kind=fpga")
        os.mkdir(os.path.join(self.logs, "report.json"))  # in its way once the children run
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 1)
        self.assertTrue(output.endswith("ERROR: %s/report.json could not be written: it is a directory. Each unit's"
                                        " own report stays in %s.\n" % (self.logs, self.logs)),  # --no-pause: no key asked for
                        output[-400:])
        with open(os.path.join(self.logs, "port-COM%d.report.json" % com(1))) as f:
            self.assertEqual(json.load(f)["outcome"], "not confirmed")
        # A folder where nothing can be written ends the station before any child starts.
        fresh = os.path.join(self.workdir, "fresh")
        os.makedirs(os.path.join(fresh, "report.json"))
        command = self.command()
        command[command.index("--log-dir") + 1] = fresh
        result = subprocess.run(command, capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"ERROR: cannot write %s/report.json: it is a directory." % fresh.encode(), result.stdout)
        self.assertEqual(len(unit.commands()), 6)  # the first station's only

    @unittest.skipIf(WINE, "the station is paused with a POSIX signal")
    def test_a_run_report_that_is_no_json_is_gathered_as_text(self):
        unit = self.ports.unit("--unit", "tx")
        process = subprocess.Popen(self.command(), stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(unit, "announce kind=fpga")
        process.send_signal(signal.SIGSTOP)  # the run ends, and its report is spoilt, before the station reads it
        self.addCleanup(lambda: process.poll() is not None or process.send_signal(signal.SIGCONT))
        own = os.path.join(self.logs, "port-COM%d.report.json" % com(1))
        deadline = time.monotonic() + RUN_LIMIT_S
        while not os.path.exists(own):
            self.assertLess(time.monotonic(), deadline, "the run never wrote its report")
            time.sleep(0.05)
        with open(own, "w") as f:
            f.write("not JSON {")
        process.send_signal(signal.SIGCONT)
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 0, output[-1500:])
        [entry] = self.report()["units"]
        self.assertEqual((entry["outcome"], entry["report"], entry["report_text"]),
                         ("updated and verified", None, "not JSON {"))
        self.assertFalse(glob.glob(os.path.join(self.logs, "*.report.json")))


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Shift(E2E):
    """--station: slots watched for a whole shift, units plugged in and pulled out."""

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
        args = report["command_line"].split()
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

    @unittest.skipIf(WINE, "the Wine suite plays one slot")
    def test_a_short_shift_on_four_slots(self):
        ms = 1000 // DIVISOR  # a second of the product's timing
        slots = [self.slot(1, "--unit", "tx", after_ms=10 * ms, pull_ms=300 * ms),
                 self.slot(2, "--unit", "rx", "--version-reply", "1.0.4 K482915 1.04 7\\r\\n>>"),
                 self.slot(3, "--unit", "rx", "--no-ready", "mcu"),
                 self.slot(4, "--unit", "tx", "--unplug-after-probe")]  # found, then gone before its update opens it
        self.slot(1, "--unit", "rx", after_ms=320 * ms)  # the first unit swapped for another
        tx, current, refusing, unplugged, rx = self.ports.units
        named = [slots[0], "B2=" + slots[1], slots[2], slots[3]]  # a slot named by the people at the line
        result = subprocess.run(self.station(named, "--units", "4"), capture_output=True, timeout=RUN_LIMIT_S * 3)
        output = result.stdout.decode("latin-1")
        self.ports.stop()
        self.assertEqual(result.returncode, 1, output[-2000:])  # a unit failed
        # What each unit received: one update each, none twice, nothing for the current one.
        self.assertEqual(self.images(tx), ["kind=fpga", "kind=mcu"])
        self.assertEqual(tx.image("fpga"), self.flat["tx"])
        self.assertEqual(self.images(rx), ["kind=fpga", "kind=mcu"])
        self.assertEqual(rx.image("fpga"), self.flat["rx"])
        self.assertEqual(self.images(current), [])
        self.assertEqual(self.images(refusing), ["kind=fpga", "kind=mcu"])  # the MCU refused, never tried again
        # Found, then gone before its update opened the port: nothing was sent, no unit handled; its
        # attempt's record is kept aside.
        self.assertEqual(unplugged.commands(), ["%%%help -c version"])
        self.assertTrue(any(f.endswith(".log") for f in os.listdir(os.path.join(self.logs, "attempts"))))
        # Left attached, the first unit was asked whether it was still there, never updated again.
        after = tx.lines()[[i for i, l in enumerate(tx.lines()) if l.startswith("prompt ")][0]:]
        self.assertGreater(sum(l.startswith("command text=%%%fw -v") for l in after), 3)
        journal = self.journal()
        self.assertEqual(sorted((j["port"], j["outcome"], j["unit_left"]) for j in journal),
                         sorted([(slots[0], "updated and verified", "updated"), (slots[0], "updated and verified", "updated"),
                                 (slots[1], "already current", "unchanged"), (slots[2], "failed", "update again")]))
        # Every unit's files in the folder have their journal line, and no other files are there.
        self.assertEqual(sorted(f for f in os.listdir(self.logs) if f.endswith((".log", ".report.json"))),
                         sorted([j["log"] for j in journal] + [j["report"] for j in journal]))
        first, second = [j for j in journal if j["port"] == slots[0]]
        self.assertEqual((first["kind"], second["kind"]), ("TX", "RX"))
        self.assertEqual((first["before"]["firmware"], first["after"]["firmware"]), ("1.0.3", "1.0.4"))
        self.assertIn("%s: remove the unit (updated and verified)" % slots[0], output)
        self.assertIn("B2: remove the unit (already current)", output)
        self.assertIn("%s: no port" % slots[3], output)
        self.assertNotIn("%s: remove the unit" % slots[3], output)
        self.assertEqual([j.get("label") for j in journal if j["port"] == slots[1]], ["B2"])
        # The live state as the station left it: ended, every unit counted and told as a change.
        with open(os.path.join(self.logs, "station-state.json")) as f:
            state = json.load(f)
        self.assertEqual((state["station"]["stage"], state["counts"]["handled"], state["counts"]["failed"]), ("ended", 4, 1))
        self.assertEqual([p["label"] for p in state["ports"]][1], "B2")
        self.assertEqual([e["line"] for e in state["events"] if e["type"] == "unit"], [1, 2, 3, 4])
        self.assertIn("%s: no port" % slots[0], output)

    @unittest.skipIf(WINE, "the units are stopped with POSIX signals")
    def test_a_quiet_unit_and_a_mute_one_are_each_handled_once(self):
        """Each unit is journaled once however it answers while it stays: one that falls quiet a
        while after it has answered for longer than the silence a unit must keep to count as
        removed, one that answers the probe alone, and one that an earlier run left at 115200
        and that comes back from its reboot at its own rate."""
        slots = [self.slot(1, "--unit", "tx", "--no-ready", "mcu"), self.slot(2, "--unit", "tx", "--version-reply", ""),
                 self.slot(3, "--unit", "tx", "--baud", "9600", "--left-at", "115200")]
        failing, mute, left = self.ports.units
        process = self.start_station(slots)
        self.wait_for_journal(3)
        time.sleep(SILENT_UNIT_S + 1)  # the silence limit counts from its last answer, not from the watch's start
        failing.process.send_signal(signal.SIGSTOP)  # quiet for many rounds of queries, far less than a reboot
        time.sleep(15 / DIVISOR)
        failing.process.send_signal(signal.SIGCONT)
        time.sleep(30 / DIVISOR)  # rounds of queries, and detection cycles had a slot been taken for free
        process.send_signal(signal.SIGTERM)
        output = self.ended(process, 1)
        journal = self.journal()
        self.assertEqual(sorted((j["port"], j["summary"]) for j in journal), [
            (slots[0], "failed: unit not ready for the MCU image after the FPGA image was accepted: update again"),
            (slots[1], "failed while checking (it answers the detection probe but not the version query): unchanged"),
            (slots[2], "updated and verified")])
        self.assertEqual([j["before"] for j in journal if j["port"] == slots[1]], [None])  # none read: null
        self.assertEqual(self.images(failing), ["kind=fpga", "kind=mcu"])
        self.assertEqual(self.images(left), ["kind=fpga", "kind=mcu"])
        self.assertEqual(len(glob.glob(os.path.join(self.logs, "*.log"))), 3)
        self.assertNotIn("%s: no port" % slots[0], output)

    @unittest.skipIf(WINE, "a service manager's stop is POSIX's")
    def test_a_stop_sent_to_every_process_lets_the_update_finish(self):
        slot, unit, process = self.station_streaming_fpga()
        time.sleep(1)
        for pid in process_tree(process.pid):  # as systemd stops a service: every process at once
            os.kill(pid, signal.SIGTERM)
        output = self.ended(process, 0)
        self.assertIn("Finishing: no new unit, 1 update under way; Ctrl-C again stops it now.", output)
        [line] = self.journal()
        self.assertEqual(line["outcome"], "updated and verified")

    @unittest.skipIf(WINE, "a run is frozen with a POSIX signal")
    def test_a_run_that_does_not_end_is_killed_and_recorded(self):
        slot, unit, process = self.station_streaming_fpga()
        time.sleep(3)  # the "Ready" collection takes two read time-outs, then the image streams
        [run] = [p for p in process_tree(process.pid)[1:] if b"--verify" in read_bytes("/proc/%d/cmdline" % p)]
        os.kill(run, signal.SIGSTOP)  # deaf to its stop
        process.send_signal(signal.SIGINT)
        time.sleep(0.7)
        process.send_signal(signal.SIGINT)
        self.ended(process, 130)
        [line] = self.journal()
        self.assertRegex(line["summary"], r"^ended without a report in the FPGA image at \d+ %: update again$")

    @unittest.skipIf(WINE, "the folder is taken away natively")
    def test_no_unit_is_taken_while_it_cannot_be_recorded(self):
        small = os.environ.get("SMALL_DISK")
        cases = [("the folder removed", None, lambda d: shutil.rmtree(d), lambda d: os.makedirs(d), "is gone")]
        if small:  # a small file system of the suite's own, made full and freed
            filler = os.path.join(small, "filler")
            cases.append(("a full disk", os.path.join(small, "station"), fill, lambda d: os.unlink(filler), "is full"))
        for name, logs, take, give, why in cases:
            with self.subTest(name):
                slot = self.slot(1, "--unit", "tx", after_ms=3000)
                unit = self.ports.units[-1]
                process = self.start_station([slot], "--units", "1", *(["--log-dir", logs] if logs else []))
                if logs:
                    self.logs = logs
                while not os.path.exists(os.path.join(self.logs, "station-state.json")):
                    time.sleep(0.05)
                take(self.logs)
                self.wait_for(unit, "command text=%%%help")  # found by the detection probe
                time.sleep(3)
                self.assertEqual(self.images(unit), [])
                give(self.logs)
                output = self.ended(process, 0)
                self.assertRegex(output, r"No new unit: it could not be recorded \(.* %s" % why)
                [line] = self.journal()
                self.assertEqual(line["outcome"], "updated and verified")
                unit.stop()

    @unittest.skipIf(WINE, "a signal to the station alone is POSIX's")
    def test_two_stops_and_a_folder_held_by_another_station(self):
        slot, unit, process = self.station_streaming_fpga()
        time.sleep(3)  # the "Ready" collection takes two read time-outs, then the image streams
        second = subprocess.run(self.station([slot]), capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(second.returncode, 2)
        self.assertRegex(second.stdout.decode(), r"is the folder of another station \(station %d started " % process.pid)
        # A lock that no station could hold is no other station's: what is wrong with it is said.
        for name, make in (("it is a symbolic link", lambda p: os.symlink("/dev/null", p)), ("it is not a regular file", os.mkfifo)):
            other = os.path.join(self.workdir, "other-" + name[-4:])
            os.makedirs(other)
            make(os.path.join(other, "station.lock"))
            result = subprocess.run(self.station([slot])[:-3] + ["--log-dir", other, "--no-pause"], capture_output=True,
                                    timeout=RUN_LIMIT_S)
            self.assertEqual((result.returncode, result.stdout.decode()),
                             (1, "ERROR: cannot hold %s/station.lock, which keeps a second station out of the folder:"
                                 " %s.\r\n" % (other, name)))
        process.send_signal(signal.SIGINT)  # no new unit; the update under way goes on
        time.sleep(1.5)
        self.assertFalse(any(l.startswith("end ") for l in unit.lines()))
        process.send_signal(signal.SIGINT)  # and now it stops
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 130, output[-1500:])
        self.assertIn("Finishing: no new unit, 1 update under way; Ctrl-C again stops it now.", output)
        [line] = self.journal()
        self.assertEqual((line["outcome"], line["unit_left"]), ("stopped", "update again"))
        self.assertRegex(line["summary"], r"^stopped in the FPGA image at \d+ %: update again$")
        self.assertEqual(unit.field("image kind=fpga", "length"), None)
        unit.stop()
        self.assertTrue(unit.line_kept())

    @unittest.skipIf(WINE, "a station is killed with a POSIX signal")
    def test_a_unit_a_killed_station_left_behind_is_journaled_by_the_next(self):
        slot, unit, process = self.station_streaming_fpga()
        process.kill()  # its run, left alone, stops and writes its report
        process.wait()
        deadline = time.monotonic() + RUN_LIMIT_S
        while not glob.glob(os.path.join(self.logs, "*.report.json")):
            self.assertLess(time.monotonic(), deadline, "the run never wrote its report")
            time.sleep(0.05)
        unit.stop()
        self.assertEqual(self.journal(), [])
        process = self.start_station([slot])
        self.wait_for_journal(1)
        process.send_signal(signal.SIGTERM)
        output = self.ended(process, 0)
        [line] = self.journal()
        self.assertEqual((line["outcome"], line["unit_left"], line["found_after_restart"]), ("stopped", "update again", True))
        # Named with the units that need a hand; none of this station's own units.
        self.assertIn("0 units handled; their record is in %s (journal.jsonl).\r\nUpdate again: %s (TX, " % (self.logs, slot),
                      output)

    @unittest.skipIf(WINE, "the folder is taken away natively")
    def test_a_folder_made_again_is_written_to_only_by_the_station_that_holds_it(self):
        """Removed mid-update and made again: the station holds it again before it records, and its
        journal names no file the removal took. Taken meanwhile by another station: nothing more is
        recorded there, and the station says why."""
        slot = self.slot(1, "--unit", "tx", "--baud", "115200")
        unit = self.ports.units[0]
        process = self.start_station([slot], "--units", "1")
        self.wait_for(unit, "announce kind=fpga")
        take_away(self.logs)
        os.makedirs(self.logs)
        output = self.ended(process, 1)  # the update's log is lost with the folder: a record unwritten
        [line] = self.journal()
        self.assertEqual((line["outcome"], line["log"]), ("updated and verified", None))
        self.assertTrue(any(what.startswith("the log ") for what in line["records_unwritten"]), line)
        self.assertIn("1 unit handled", output)
        unit.stop()
        late = self.slot(2, "--unit", "tx", after_ms=40000 // DIVISOR)
        take_away(self.logs)  # its state file would be taken for the next station's
        first = self.start_station([late])
        while not os.path.exists(os.path.join(self.logs, "station-state.json")):
            time.sleep(0.05)
        # Another station's folder in its place, at once: made beside it with that station's lock held.
        other = os.path.join(self.workdir, "other")
        os.makedirs(other)
        with open(os.path.join(other, "station.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            lock.write("station 4242 started elsewhere\n")
            lock.flush()
            take_away(self.logs)
            os.rename(other, self.logs)
            self.wait_for(self.ports.units[-1], "command text=%%%help")  # the unit is found
            time.sleep(2)
            first.send_signal(signal.SIGTERM)
            output = self.ended(first, 0)
        self.assertIn("is another station's now (station 4242 started elsewhere)", output)
        self.assertEqual(self.images(self.ports.units[-1]), [])
        self.assertEqual(sorted(os.listdir(self.logs)), ["station.lock"])  # nothing written there

    @unittest.skipIf(WINE or os.geteuid() == 0, "a permission the user lacks: POSIX's, and root has every one")
    def test_a_slot_the_user_may_not_open_says_so_once(self):
        unit = self.ports.unit("--silence")
        os.chmod(unit.path, 0)
        process = subprocess.Popen(self.station([unit.path]), stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        seen = []
        while sum(l.startswith(unit.path + ": ") for l in seen) < 2:  # waiting, then what it made of the port
            seen.append(process.stdout.readline().decode("latin-1"))
            self.assertTrue(seen[-1], "the station ended: " + "".join(seen))
        time.sleep(15 / DIVISOR)  # tried again meanwhile, every 5 s of the product's timing
        process.send_signal(signal.SIGINT)
        output = "".join(seen) + process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.assertEqual(process.returncode, 0, output[-1500:])
        lines = [l for l in output.splitlines() if l.startswith(unit.path + ": ")]
        self.assertEqual(lines[:2], [unit.path + ": waiting for a unit",
                                     unit.path + ": no permission: add the user to the dialout group"])
        self.assertEqual(sum("no permission" in l for l in lines), 1, lines)  # not at each try
        self.assertNotIn("busy", output)

    @unittest.skipIf(WINE, "a terminal resized, natively in tmux")
    def test_the_live_view_follows_the_terminal_width(self):
        """Each line within the width, the header once, every count of the totals shown, after each resize."""
        slots = [os.path.join(self.workdir, "usb-FTDI_FT232R_USB_UART_A50285B%d-if00-port0" % n) for n in (1, 2)]
        terminal = Terminal(self, self.station(slots), columns=80)

        def clean(columns, units):
            header = r"(?m)^PORT +STATE +%sTIME +LAST$" % ("UNIT +BEFORE +" if units else "")
            row = r"(?m)^\S*port0 +no port +%s\d+:\d\d$" % ("- +- +" if units else "")
            view = lambda screen: screen[screen.find("\nSince "):].splitlines()  # the heading is the terminal's to wrap
            return lambda screen: (all(len(l) < columns for l in view(screen)) and screen.count("PORT ") == 1
                                   and re.search(header, screen) and len(re.findall(row, screen)) == 2
                                   and all(count in screen for count in ("0 updated and verified,", "0 already current,",
                                                                         "0 failed,", "0 not confirmed")))

        terminal.wait_until(clean(80, True), "the view at 80 columns")
        terminal.resize(50)
        terminal.wait_until(clean(50, False), "the view redrawn at 50 columns")
        terminal.resize(110)
        screen = terminal.wait_until(clean(110, True), "the view redrawn at 110 columns")
        self.assertRegex(screen, r"\nSince \d\d:\d\d: 0 updated and verified, 0 already current, 0 failed, "
                                 r"0 not confirmed\n")  # on one line again
        self.assertTrue(screen.startswith("Station: updating each unit plugged into the ports named"), screen)
        terminal.keys("C-c")
        end = terminal.wait_for("TTY=")
        self.assertIn("EXIT=0", end)

    @unittest.skipIf(WINE, "a terminal, natively in tmux")
    def test_more_ports_than_the_terminal_has_lines(self):
        """The rows that do not fit give way to one line saying so; the view never scrolls."""
        slots = [os.path.join(self.workdir, "slot%02d" % n) for n in range(30)]
        terminal = Terminal(self, self.station(slots), columns=100)
        screen = terminal.wait_for("more lines: the console is too short to show them")
        time.sleep(1)  # a few redraws later
        screen = terminal.screen()
        self.assertEqual(screen.count("PORT "), 1, screen)
        self.assertIn("slot00 ", screen)
        terminal.keys("C-c")
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))

    @unittest.skipUnless(WINE, "natively the four-slot shift covers it")
    def test_one_slot_under_wine(self):
        slot = self.slot(1, "--unit", "tx", after_ms=1000)
        result = subprocess.run(self.station([slot], "--units", "1"), capture_output=True, timeout=RUN_LIMIT_S)
        self.ports.stop()
        self.assertEqual(result.returncode, 0, result.stdout.decode("latin-1")[-1500:])
        [line] = self.journal()
        self.assertEqual((line["port"], line["com"], line["outcome"]), ("1", 1, "updated and verified"))
        self.assertEqual(self.images(self.ports.units[0]), ["kind=fpga", "kind=mcu"])

    @unittest.skipUnless(WINE and shutil.which("xvfb-run"), "the session's end is Windows', under Wine with a display")
    def test_the_sessions_end_stops_the_station_and_journals_its_unit(self):
        """Logging off: the station, a console program that has loaded user32, hears it through its
        hidden window (wineboot --end-session sends what Windows sends) and records its unit."""
        slot = self.slot(1, "--unit", "tx", "--baud", "115200", "--slow-line", "300000")
        unit = self.ports.units[0]
        summary = os.path.join(unit.dir, "summary.txt")
        station = " ".join("'%s'" % a for a in self.station([slot]))
        script = ("%s >/dev/null 2>&1 & until grep -q '^announce kind=fpga' '%s'; do sleep 0.1; done; sleep 1; "
                  "WINEPREFIX='%s' wineboot --end-session; wait" % (station, summary, WINEPREFIX))
        try:
            subprocess.run(["xvfb-run", "-a", "bash", "-c", script], capture_output=True, timeout=RUN_LIMIT_S)
        finally:  # a prefix whose session ended starts no program well: the next test gets a fresh one
            for command in (["wineserver", "-k"], ["wineserver", "-w"]):
                subprocess.run(command, env=dict(os.environ, WINEPREFIX=WINEPREFIX), capture_output=True)
        [line] = self.journal()
        self.assertEqual((line["outcome"], line["unit_left"]), ("stopped", "update again"))


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Signals(E2E):
    def test_one_key_ends_the_closing_wait(self):
        """In a terminal (under Wine too): one key, no Enter, and nothing echoed."""
        self.ports.unit("--unit", "tx")
        terminal = Terminal(self, ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + ["--info"]
                            + self.ports.arguments())
        terminal.wait_for("Press any key to exit")
        time.sleep(0.5)
        terminal.keys("x")
        end = terminal.wait_for("TTY=")
        self.assertRegex(end, r"Press any key to exitEXIT=0\nTTY=echo\n")

    @unittest.skipIf(WINE, "a terminal, natively in tmux")
    def test_ctrl_c_at_the_closing_prompt_keeps_the_outcome_and_the_echo(self):
        self.ports.unit("--unit", "tx")
        report = os.path.join(self.workdir, "r.json")
        terminal = Terminal(self, [FWUPGRADE, "--info", "--report", report] + self.ports.arguments())
        terminal.wait_for("Press any key to exit")
        time.sleep(0.3)
        terminal.keys("C-c")
        end = terminal.wait_for("TTY=")
        self.assertRegex(end, r"EXIT=0\nTTY=echo\n")  # the run's own status, and the terminal echoes again
        with open(report) as f:
            self.assertEqual(json.load(f)["outcome"], "identified")

    def test_a_signal_stops_the_run_and_restores_the_port(self):
        cases = [(signal.SIGINT, "announce kind=fpga", 1.5, STOPPED_FPGA)]
        if not WINE:  # the Windows build knows Ctrl-C (SIGINT under Wine), not SIGTERM
            cases.append((signal.SIGTERM, "image kind=mcu", 0.2, STOPPED_REBOOT))
        for sig, seen, delay, line in cases:
            with self.subTest(signal=sig):
                self.ports = Ports(self.workdir)
                # 400 kB/s: the FPGA image streams for about five seconds.
                unit, process = self.start_update("--baud", "115200", "--slow-line", "400000")
                self.wait_for(unit, seen)
                time.sleep(delay)
                process.send_signal(sig)
                output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
                unit.stop()
                self.assertTrue(output.endswith(line), output[-300:])
                self.assertEqual(process.returncode, 130)
                self.assertTrue(unit.line_kept())
                self.assertNotIn("image kind=fpga", " ".join(unit.lines()) if sig == signal.SIGINT else "")

    def test_a_stop_in_mid_detection_ends_every_probe_and_restores_every_port(self):
        units = [self.ports.unit("--silence"), self.ports.unit("--silence"), self.ports.unit("--baud", "1200")]
        command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + self.ports.arguments() + ["--no-pause"]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(units[2], "ignored")  # every port is being probed
        process.send_signal(signal.SIGINT)
        output = process.communicate(timeout=RUN_LIMIT_S)[0].decode("latin-1")
        self.ports.stop()
        self.assertTrue(output.endswith(STOPPED_DETECTING), output[-300:])
        self.assertEqual(process.returncode, 130)
        for unit in units:
            self.assertTrue(unit.line_kept())


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Files(E2E):
    def test_write_image_gives_the_independent_flattening(self):
        for kind in ("mcu", "tx", "rx"):
            with self.subTest(kind=kind):
                out = os.path.join(self.workdir, kind + ".bin")
                output, status = run_fwupgrade(["--write-image", kind, out])
                self.assertEqual(status, 0, output)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), self.flat[kind])
                self.assertIn("Length   : %d\r\nChecksum : %d\r\n" % (len(self.flat[kind]), checksum(self.flat[kind])),
                              output)

    def test_export_web_body_decodes_to_the_flat_image(self):
        out = os.path.join(self.workdir, "out.bin")
        output, status = run_fwupgrade(["--export-web", out])
        self.assertEqual(status, 0, output)
        with open(out, "rb") as f:
            content = f.read()
        image = self.flat["mcu"]
        head = b"OndRex\r\n482915\r\n1.0.4\r\n%d\r\n%d\r\n" % (checksum(image), len(image))
        self.assertTrue(content.startswith(head))
        body = content[len(head):]
        lines = body.split(b"\r\n")
        self.assertTrue(all(len(l) == 928 for l in lines[:-1]))
        self.assertTrue(0 < len(lines[-1]) <= 928)
        joined = b"".join(lines)
        padding = {1: b"AA", 2: b"A"}.get(len(image) % 3, b"")
        if padding:
            self.assertTrue(joined.endswith(padding))
            joined = joined[:-len(padding)] + b"=" * len(padding)
        decoded = subprocess.run(["base64", "-d"], input=joined, capture_output=True, check=True).stdout
        self.assertEqual(decoded, image)

    def test_files_to_an_unwritable_place_leave_nothing(self):
        places = [(self.workdir, "it is a "), (os.path.join(self.workdir, "missing", "out.bin"), "cannot create ")]
        if not WINE:
            places.append(("/dev/null", "it is a device"))
        for target, reason in places:
            for args in (["--export-web", target], ["--write-image", "tx", target]):
                with self.subTest(args=args):
                    output, status = run_fwupgrade(args)
                    self.assertEqual(status, 1)
                    self.assertIn("\r\nERROR: Cannot write %s: %s" % (target, reason), output)
                    self.assertNotIn("File does not exists", output)
                    self.assertEqual(glob.glob(target + ".*part"), [])
        self.assertTrue(os.path.isdir(self.workdir))
        self.assertFalse(os.path.isfile("/dev/null"))

    @unittest.skipIf(WINE, "FIFOs and symbolic links are POSIX's")
    def test_a_log_or_report_that_cannot_be_one_stops_the_run_before_it_begins(self):
        fifo, link = os.path.join(self.workdir, "fifo"), os.path.join(self.workdir, "link")
        os.mkfifo(fifo)  # opening it to write would wait for a reader
        os.symlink(os.path.join(self.workdir, "elsewhere"), link)
        missing = os.path.join(self.workdir, "missing", "r.json")
        for args, error in ((["--log", fifo], "cannot use %s as the log: it is not a regular file" % fifo),
                            (["--log", link], "cannot use %s as the log: it is a symbolic link" % link),
                            (["--report", missing], "cannot write the report %s: cannot create " % missing)):
            with self.subTest(args=args[0]):
                result = subprocess.run([FWUPGRADE, "--info"] + args, capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 1)
                self.assertIn("FwUpgrade: " + error, result.stderr.decode())
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "elsewhere")))

    def test_what_lies_beside_the_file_is_never_touched(self):
        """A FILE.part that leads elsewhere, or is a directory, stays as it is."""
        elsewhere = os.path.join(self.workdir, "elsewhere")
        with open(elsewhere, "w") as f:
            f.write("keep")
        for name, prepare in (("linked", lambda p: os.symlink(elsewhere, p)), ("folder", os.mkdir)):
            for args in (["--export-web"], ["--write-image", "mcu"]):
                with self.subTest(name=name, args=args):
                    target = os.path.join(self.workdir, name + args[-1])
                    if not os.path.lexists(target + ".part"):
                        prepare(target + ".part")
                    output, status = run_fwupgrade(args + [target])
                    self.assertEqual(status, 0, output)
                    self.assertTrue(os.path.lexists(target + ".part"))
                    self.assertGreater(os.path.getsize(target), 1000)
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "keep")
        leftovers = [n for n in os.listdir(self.workdir) if re.search(r"\.[0-9a-f]{16}\.part$", n)]
        self.assertEqual(leftovers, [])

    def test_version_names_the_carried_firmware(self):
        output, status = run_fwupgrade(["--version"])
        self.assertEqual(status, 0)
        self.assertIn("1.0.4", output)
        self.assertIn("sample" if SAMPLE else "release", output)
        import hashlib  # each image as the build read it, and as an update would announce it
        for title, kind, name in (("MCU", "mcu", MCU), ("TX FPGA", "tx", TX), ("RX FPGA", "rx", RX)):
            with open(os.path.join(IMAGE_DIR, name), "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            self.assertIn("%s image: %s\n  SHA-256: %s\n  Announced to the unit: %d bytes, checksum %d\n"
                          % (title, name, digest, len(self.flat[kind]), checksum(self.flat[kind])),
                          output.replace("\r\n", "\n"))

    def test_unknown_option_is_a_usage_error(self):
        output, status = run_fwupgrade(["--frobnicate"])
        self.assertEqual(status, 2)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class SerialPort(E2E):
    """The serial module's own tests on a port that leads to the unit (under Wine: COM1)."""

    @unittest.skipUnless(WINE, "natively the serial tests open their own pseudo-terminals")
    def test_open_setters_and_read_time_outs_on_the_line(self):
        unit = self.ports.unit("--baud", "9600", "--silence")
        self.ports.arguments()
        tests = os.path.join(os.path.dirname(FWUPGRADE), "tests", "unit_tests.exe")
        env = dict(os.environ, FWUPGRADE_TEST_PORT="1")
        result = subprocess.run([RUN_IN_PREFIX, tests, "--gtest_filter=NamedPort.*"], env=env,
                                capture_output=True, timeout=120)
        unit.stop()
        self.assertEqual(result.returncode, 0, result.stdout.decode("latin-1")[-3000:])
        self.assertIn(b"[  PASSED  ] 2 tests", result.stdout)
        lines = unit.lines()
        self.assertIn("command text=%%%fw -v baud=9600 cts=0", lines)
        self.assertIn("ignored baud=57600 cts=1", lines)


@unittest.skipUnless(SUITE == "production", "production timings")
class Production(E2E):
    def test_tx_update_with_real_timings(self):
        self.assert_tx_update()


# ---------------------------------------------------------------- running the suite

# The tests that wait through several updates: started first when the suite is spread.
LONG = ("Record.test_what_verify_makes_of_the_unit_after_its_reboot", "Shift.test_a_short_shift_on_four_slots",
        "Shift.test_no_unit_is_taken_while_it_cannot_be_recorded", "Shift.test_a_stop_sent_to_every_process_lets_the_update_finish")


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
    test's units made there. A failure shows in the tests."""
    if WINE:
        subprocess.run([os.path.join(ROOT, "tests", "wine", "setup-prefix.sh"), WINEPREFIX])


def _run_one(name):
    result = unittest.TestResult()
    result.buffer = True  # what a test prints goes with its failure
    started = time.monotonic()
    unittest.defaultTestLoader.loadTestsFromName(name, sys.modules["__main__"]).run(result)
    problems = [(kind, str(test), text) for kind, found in (("FAIL", result.failures), ("ERROR", result.errors))
                for test, text in found] + [("FAIL", str(test), "unexpected success\n") for test in result.unexpectedSuccesses]
    status = "FAIL" if problems else "skipped %r" % result.skipped[0][1] if result.skipped else "ok"
    return name, time.monotonic() - started, status, problems, len(result.skipped)


def names_in(suite):
    for test in suite:
        yield from names_in(test) if isinstance(test, unittest.TestSuite) else ["%s.%s" % (type(test).__name__,
                                                                                            test._testMethodName)]


def main(long=LONG):
    """The suite (or the tests named on the command line) in JOBS processes at once: each takes
    the next test when it ends one, the long ones first. Prints what unittest prints, with each
    test's duration."""
    module = sys.modules["__main__"]
    if JOBS <= 1:
        make_wine_prefix()
        unittest.main(module, verbosity=2)
    loader = unittest.defaultTestLoader
    if sys.argv[1:]:
        names = list(names_in(loader.loadTestsFromNames(sys.argv[1:], module)))
    else:
        names = list(names_in(loader.loadTestsFromModule(module)))
        assert set(long) <= set(names), "the long tests listed are not all in the suite"
    names.sort(key=lambda name: name not in long)
    flat_images()  # once, for every worker
    started, problems, skipped = time.monotonic(), [], 0
    context = multiprocessing.get_context("fork")
    slots = context.Queue()
    for slot in range(1, JOBS + 1):
        slots.put(slot)
    with context.Pool(JOBS, _take_slot, (slots,)) as pool:
        for name, seconds, status, found, skips in pool.imap_unordered(_run_one, names):
            print("%s ... %s (%.1f s)" % (name, status, seconds), flush=True)
            problems += found
            skipped += skips
    for kind, test, text in problems:
        print("=" * 70 + "\n%s: %s\n" % (kind, test) + "-" * 70 + "\n" + text)
    print("-" * 70 + "\nRan %d tests in %.3fs (%d at once)\n" % (len(names), time.monotonic() - started, JOBS))
    counts = ["%s=%d" % (what, n) for what, n in (("failures", sum(k == "FAIL" for k, _, _ in problems)),
                                                 ("errors", sum(k == "ERROR" for k, _, _ in problems)),
                                                 ("skipped", skipped)) if n]
    print(("FAILED" if problems else "OK") + (" (%s)" % ", ".join(counts) if counts else ""))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    for name, value in (("FWUPGRADE", FWUPGRADE), ("EMULATOR", EMULATOR), ("IMAGE_DIR", IMAGE_DIR)):
        if not value:
            sys.exit("e2e_test.py: set %s" % name)
    main()
