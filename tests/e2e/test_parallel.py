#!/usr/bin/env python3
"""--parallel: every unit at once, each with its own run, log and outcome."""
import fcntl
import glob
import json
import os
import re
import signal
import subprocess
import time
import unittest

from harness import (DIVISOR, E2E, FWUPGRADE, RUN_IN_PREFIX, RUN_LIMIT_S, SAMPLE, SUITE, WINE, com, main,
                     notes, progress, read_bytes, Terminal)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Parallel(E2E):
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
        """A record is never overwritten: a second run into a folder that holds the first run's
        records, or any one record of a parallel run or of a station alone, is refused and leaves the
        folder as it was, no lock of its own in it (natively, the folder's name holds a line end)."""
        self.ports.unit("--unit", "tx")
        first = subprocess.run(self.command("--info"), capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(first.returncode, 0, first.stdout[-500:])
        with open(os.path.join(self.logs, "report.json"), "rb") as f:
            report = f.read()
        folders = [(self.logs, "report.json")]
        for name, text in (("report.json", report), ("journal.jsonl", b'{"port":"COM3"}\n'), ("port-COM3.log", b"x\n"),
                           ("station.lock", b"")):
            folders.append((os.path.join(self.workdir, "only " + name + ("" if WINE else "\nB")), name))
            os.makedirs(folders[-1][0])
            with open(os.path.join(*folders[-1]), "wb") as f:
                f.write(text)
        for folder, record in folders:
            with self.subTest(folder=folder):
                before = {name: read_bytes(os.path.join(folder, name)) for name in os.listdir(folder)}
                command = self.command("--info")
                command[command.index("--log-dir") + 1] = folder
                second = subprocess.run(command, capture_output=True, timeout=RUN_LIMIT_S)
                self.assertEqual((second.returncode, second.stdout.decode()),
                                 (2, "ERROR: %s holds the records of an earlier run (%s): give this run a folder of its own"
                                     " with --log-dir, or leave it out for a new one.\r\n" % (folder.replace("\n", "\\x0a"), record)))
                self.assertEqual({name: read_bytes(os.path.join(folder, name)) for name in os.listdir(folder)}, before)

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


if __name__ == "__main__":
    main()
