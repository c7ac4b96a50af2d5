#!/usr/bin/env python3
"""Serial numbers: --serial on one run, the labels scanned into a station's console, every record carrying them."""
import json
import os
import shlex
import signal
import time
import unittest

from harness import SUITE, WINE, main, read_bytes, run_fwupgrade, StationCase, Terminal


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Serials(StationCase):

    def scan(self, terminal, *texts):
        """Each text typed as a barcode reader types it: the characters at once, then Enter."""
        for text in texts:
            terminal.keys("-l", text)
            terminal.keys("Enter")

    def journaled(self, lines):
        self.wait_for_journal(lines)
        return {line.get("label") or line["port"]: line["serial"] for line in self.journal()}

    @unittest.skipIf(WINE, "natively; the Wine suite scans one slot")
    def test_scans_wait_in_order_for_the_units_found_and_a_label_chooses_its_slot(self):
        slot1 = self.slot(1, "--unit", "tx", after_ms=8000)
        slot2 = self.slot(2, "--unit", "rx", after_ms=5000)
        slot3 = self.slot(3, "--unit", "tx", after_ms=11000)
        terminal = Terminal(self, self.station(["A1=" + slot1, "A2=" + slot2, "A3=" + slot3], "--units", "3"))
        terminal.wait_for("Station: ")
        self.scan(terminal, "A3", "SN-3")
        terminal.wait_for("serial number of A3's next unit")
        self.scan(terminal, "SN-A", "SN-A")
        terminal.wait_for('"SN-A": serial number of the next unit found; scanned again')  # a double read: one scan
        self.scan(terminal, "bad\x01\x13", 'SN "B"', "x" * 65)  # Ctrl-S too: it stops no output
        screen = terminal.wait_for("longer than 64 characters")
        self.assertEqual(screen.count("PORT "), 1, screen)  # the view not torn by what was typed
        self.assertEqual([s["serial"] for s in self.state()["scans"]], ["SN-3", "SN-A", 'SN "B"'])
        # Found A2, then A1, then A3: the scans for no slot in the order scanned, A3's its own.
        self.assertEqual(self.journaled(3), {"A2": "SN-A", "A1": 'SN "B"', "A3": "SN-3"})
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))
        self.assertIn("TTY=echo", terminal.screen())  # the console given back as it was

    @unittest.skipIf(WINE, "natively; the Wine suite scans one slot")
    def test_require_serial_sends_nothing_before_the_scan(self):
        slot1 = self.slot(1, "--unit", "tx")
        slot2 = self.slot(2, "--unit", "tx", after_ms=1500)
        os.makedirs(os.path.join(self.workdir, "station"))
        with open(os.path.join(self.workdir, "station", "journal.jsonl"), "w") as f:  # this serial updated before
            f.write(json.dumps({"port": "x", "serial": "SN-2", "ended": "2026-01-01T00:00:00Z", "log": None,
                                "report": None, "summary": "", "exit_status": -1,
                                "outcome": "ended without a report"}) + "\n")
        terminal = Terminal(self, self.station(["A1=" + slot1, "A2=" + slot2], "--require-serial", "--units", "2",
                                               "--serial-pattern", "SN-[0-9]+"), columns=140)
        terminal.wait_until(lambda screen: screen.count("scan the label") == 2, "both units waiting for a scan")
        self.assertTrue(all(not self.images(unit) for unit in self.ports.units))
        self.scan(terminal, "SN-X")
        terminal.wait_for('"SN-X" does not match --serial-pattern')
        self.scan(terminal, "A2", "SN-2")  # A1 waited longest, but A2 was chosen
        terminal.wait_for("serial last updated 2026-01-01T00:00:00Z")
        self.scan(terminal, "SN-2")  # the label read twice: refused, never the unit waiting on A1
        terminal.wait_for('"SN-2" is already A2\'s')
        self.scan(terminal, "SN-1")
        self.assertEqual(self.journaled(3), {"x": "SN-2", "A1": "SN-1", "A2": "SN-2"})
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))
        reports = [json.load(open(os.path.join(self.logs, l["report"]))) for l in self.journal()[1:]]
        self.assertEqual(sorted(r["serial"] for r in reports), ["SN-1", "SN-2"])

    @unittest.skipIf(WINE, "natively; the Wine suite scans one slot")
    def test_a_scan_whose_unit_went_before_its_update_goes_with_it_to_another_slot(self):
        slot1 = self.slot(1, "--unit", "tx", "--unplug-after-probe", after_ms=3000)  # found, gone before its update
        slot2 = self.slot(2, "--unit", "tx", after_ms=8000)  # plugged into A2 instead
        terminal = Terminal(self, self.station(["A1=" + slot1, "A2=" + slot2], "--require-serial", "--units", "1"))
        terminal.wait_for("Station: ")
        self.scan(terminal, "SN-42")  # for the next unit found: A1's, given back so when its unit went
        self.assertEqual(self.journaled(1), {"A2": "SN-42"})
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))

    @unittest.skipIf(WINE, "natively; the Wine suite scans one slot")
    def test_a_unit_stopped_before_its_scan_is_named_at_the_end(self):
        terminal = Terminal(self, self.station(["A1=" + self.slot(1, "--unit", "tx")], "--require-serial"))
        terminal.wait_for("scan the label")
        terminal.keys("C-c")
        self.assertIn("Not updated, their label never scanned: A1.", terminal.wait_for("TTY="))
        self.assertEqual(self.journal(), [])

    @unittest.skipIf(WINE, "natively: the state is written alike on both systems")
    def test_a_port_whose_unit_has_gone_names_no_serial(self):
        slot = self.slot(1, "--unit", "tx", after_ms=3000)
        terminal = Terminal(self, self.station(["A1=" + slot]))
        terminal.wait_for("Station: ")
        self.scan(terminal, "SN-1")
        self.assertEqual(self.journaled(1), {"A1": "SN-1"})
        self.ports.units[-1].stop()  # pulled out
        terminal.wait_for("no port")
        self.assertEqual([p["serial"] for p in self.state()["ports"]], [None])
        self.slot(1, "--unit", "tx")  # another unit, with no scan of its own
        self.wait_for_journal(2)
        self.assertEqual([line["serial"] for line in self.journal()], ["SN-1", None])

    @unittest.skipIf(WINE, "a POSIX shell's jobs")
    def test_a_station_sent_to_the_background_and_back(self):
        """Started as a background job, it takes scans once brought to the foreground; sent to the
        background again (Ctrl-Z, bg), a stop ends it rather than stopping it on a console not its own."""
        terminal = Terminal(self, ["bash", "--norc", "--noprofile", "-i"])
        terminal.keys("-l", " ".join(shlex.quote(a) for a in self.station(["A1=" + self.slot(1, "--unit", "tx", after_ms=60000)])) + " &")
        terminal.keys("Enter")
        terminal.wait_for("Station: ")
        terminal.keys("-l", "fg")
        terminal.keys("Enter")
        time.sleep(1)
        self.scan(terminal, "SN-1")
        terminal.wait_for('Scan "SN-1"')
        terminal.keys("C-z")
        terminal.wait_for("Stopped")
        terminal.keys("-l", "bg")
        terminal.keys("Enter")
        pid = self.state()["station"]["pid"]
        time.sleep(1)
        os.kill(pid, signal.SIGTERM)
        ended = lambda: not os.path.exists("/proc/%d" % pid) or read_bytes("/proc/%d/stat" % pid).rsplit(b")", 1)[1].split()[0] == b"Z"
        terminal.wait_until(lambda screen: ended(), "the station ended")

    @unittest.skipIf(WINE, "a POSIX shell's jobs")
    def test_a_station_stopped_and_brought_back_sets_its_console_again(self):
        """Ctrl-Z, then fg: the shell gives the console back with echo, line editing and Ctrl-S; the
        station sets it again, and a Ctrl-S then holds no update."""
        terminal = Terminal(self, ["bash", "--norc", "--noprofile", "-i"])
        slot = os.path.join(self.workdir, "by-path-slot1")
        terminal.keys("-l", " ".join(shlex.quote(a) for a in self.station(["A1=" + slot], "--units", "1")))
        terminal.keys("Enter")
        terminal.wait_for("Station: ")
        terminal.keys("C-z")
        terminal.wait_for("Stopped")
        terminal.keys("-l", "fg")
        terminal.keys("Enter")
        terminal.wait_until(lambda screen: {"-echo", "-icanon", "-ixon"} <= terminal.tty_flags(), "the console set again")
        terminal.keys("C-s")
        self.slot(1, "--unit", "tx")
        self.wait_for_journal(1)

    @unittest.skipIf(WINE, "a POSIX terminal's Ctrl-S")
    def test_a_console_stopped_by_ctrl_s_holds_no_update(self):
        """Its input no console (no keys taken, the terminal's Ctrl-S left on): a Ctrl-S stops what the
        view writes, never the station."""
        command = " ".join(shlex.quote(a) for a in self.station(["A1=" + os.path.join(self.workdir, "by-path-slot1")],
                                                                 "--units", "1"))
        terminal = Terminal(self, ["bash", "-c", command + " </dev/null"])
        terminal.wait_for("Station: ")
        terminal.keys("C-s")
        self.slot(1, "--unit", "tx")
        self.wait_for_journal(1)
        terminal.keys("C-q")
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))

    def test_require_serial_without_a_console_is_refused(self):
        output, status = run_fwupgrade(["--station", "--require-serial", "--ports", "COM9",
                                        "--log-dir", os.path.join(self.workdir, "s")], stdin_text="")
        self.assertEqual(status, 2, output)

    def test_serial_of_one_run_in_every_record(self):
        log, report = os.path.join(self.workdir, "run.log"), os.path.join(self.workdir, "run.json")
        for bad in (["--serial", ""], ["--serial", "a\tb"], ["--serial", "x" * 65], ["--serial", "ab", "--serial-pattern", "("],
                    ["--serial", "ab", "--serial-pattern", "[0-9]+"]):
            self.assertEqual(run_fwupgrade(bad + ["--info"])[1], 2, bad)
        self.ports.unit("--unit", "tx")
        output, status = run_fwupgrade(["--info", "--events", "--serial", 'SN "7" <b>', "--log", log,
                                        "--report", report] + self.ports.arguments())
        self.assertEqual(status, 0, output)
        self.assertIn({"event": "serial", "serial": 'SN "7" <b>'},
                      [{k: v for k, v in json.loads(l).items() if k in ("event", "serial")} for l in output.splitlines()])
        self.assertIn('serial number "SN \\"7\\" <b>"', open(log).read())
        self.assertEqual(json.load(open(report))["serial"], 'SN "7" <b>')

    @unittest.skipUnless(WINE, "the .exe's console under Wine")
    def test_a_scan_into_the_console_under_wine(self):
        slot = self.slot(1, "--unit", "tx", after_ms=4000)
        terminal = Terminal(self, self.station(["A1=" + slot], "--units", "1"))
        terminal.wait_for("Station: ")
        self.scan(terminal, 'SN "W" 1')  # through the child's command line whole
        self.assertEqual(self.journaled(1), {"A1": 'SN "W" 1'})
        self.assertIn("EXIT=0", terminal.wait_for("TTY="))


if __name__ == "__main__":
    main()
