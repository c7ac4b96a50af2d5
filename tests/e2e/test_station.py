#!/usr/bin/env python3
"""--station: its folder, its records and its stops, and the units a station before it left."""
import fcntl
import glob
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import (DIVISOR, RUN_LIMIT_S, SUITE, WINE, fill, main, process_tree, read_bytes, StationCase,
                     take_away)


CURRENT = ("--unit", "tx", "--version-reply", "1.0.4 K482915 1.04 7\\r\\n>>")  # runs the carried firmware


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Station(StationCase):
    """--station: its folder, its records, its stops, and the units a station before it left."""

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

    @unittest.skipIf(WINE, "a station is killed with a POSIX signal")
    def test_units_a_killed_station_left_attached_are_watched_not_taken_again(self):
        """Its state file, or without it the journal's last line on each slot, tells the next station
        the unit each slot holds: that unit is watched until it goes; another one put in its place
        meanwhile is updated."""
        top = self.workdir
        self.addCleanup(shutil.rmtree, top, True)
        for case in ("its state file", "the journal alone"):
            with self.subTest(case):
                self.workdir, self.ports = tempfile.mkdtemp(dir=top), harness.Ports(top)
                slots = [self.slot(n, *CURRENT) for n in (1, 2)]
                first = self.start_station(slots)
                self.wait_for_journal(2)
                while [p["state"] for p in self.state()["ports"]] != ["remove the unit"] * 2:
                    time.sleep(0.05)
                first.kill()
                first.wait()
                self.ports.units[1].stop()  # slot 2's unit swapped while no station watched
                self.slot(2, "--unit", "tx", "--no-ready", "fpga")
                if case == "the journal alone":
                    os.remove(os.path.join(self.logs, "station-state.json"))
                output = self.ended(self.start_station(slots, "--units", "1"), 1)
                self.assertEqual([(j["port"], j["outcome"]) for j in self.journal()[2:]], [(slots[1], "failed")])
                self.assertIn("1 unit handled", output)
                self.assertEqual(self.images(self.ports.units[0]), [])

    @unittest.skipIf(WINE or os.geteuid() == 0, "a journal the station may not write: POSIX modes, which root passes")
    def test_a_unit_whose_line_waits_in_memory_is_none_left_behind(self):
        """A folder with a journal and no state: the station looks for runs left behind by one before
        it. Its own unit, whose line the journal did not take, is not one of them once its slot has
        gone on to the next unit."""
        ms = 1000 // DIVISOR
        self.slot(1, *CURRENT, after_ms=40 * ms, pull_ms=60 * ms)
        slot = self.slot(1, *CURRENT, after_ms=70 * ms)
        journal = os.path.join(self.workdir, "station", "journal.jsonl")
        os.makedirs(os.path.dirname(journal))
        open(journal, "w").close()
        process = self.start_station([slot])
        while not os.path.exists(os.path.join(self.logs, "station-state.json")):
            time.sleep(0.05)
        os.rename(journal, journal + ".moved")  # in its place one the station may read, not write
        open(journal, "w").close()
        os.chmod(journal, 0o444)
        while self.state()["counts"]["handled"] < 2:
            time.sleep(0.1)
        time.sleep(11)  # the station looks for runs left behind every 10 s
        process.send_signal(signal.SIGTERM)
        output = self.ended(process, 1)
        self.assertEqual(output.count("lost the line of the unit on %s started" % slot), 2, output[-1500:])

    @unittest.skipIf(WINE, "a sparse file made natively")
    def test_a_journal_of_20_gb_of_zeros_is_read_past_its_holes(self):
        """A journal a crash left with 20 GB of zeros after its last line: the station's first line
        of a port comes at once, the zeros are one damaged line, and the next unit's line begins on a
        line of its own."""
        journal = os.path.join(self.workdir, "station", "journal.jsonl")
        os.makedirs(os.path.dirname(journal))
        with open(journal, "wb") as f:
            f.write(b'{"port":"earlier","outcome":"updated and verified"}\n')
            f.truncate(20 << 30)
        slot = self.slot(1, *CURRENT)
        process = self.start_station([slot], "--units", "1")
        started = time.monotonic()
        self.read_until(process, slot + ": ")
        self.assertLess(time.monotonic() - started, 10)  # reading the zeros took 50 s
        self.ended(process, 0)
        self.assertEqual(self.state()["journal"]["lines"], 3)  # the earlier line, the zeros, the unit's
        with open(journal, "rb") as f:  # past the hole, not through it
            f.seek(os.lseek(f.fileno(), 4096, os.SEEK_DATA))
            zeros, line, end = f.read().split(b"\n")
        self.assertEqual((zeros.strip(b"\0"), json.loads(line)["port"], json.loads(line)["outcome"], end),
                         (b"", slot, "already current", b""))

    @unittest.skipIf(WINE, "a lock held with flock, a folder named with a line end: POSIX's")
    def test_what_the_station_says_names_the_holder_the_first_alias_and_its_folder_whole(self):
        """The station that holds the folder is named even when it writes its lock's text a moment
        after it took the hold (two started together); three names of one port are each the same
        port as the first; a folder named with a line end never starts a line of its own."""
        unit = self.ports.unit("--silence")
        logs = os.path.join(self.workdir, "station\nB")
        os.makedirs(logs)
        command = self.station(["A%d=%s" % (n, unit.path) for n in (1, 2, 3)])
        command[command.index("--log-dir") + 1] = logs
        with open(os.path.join(logs, "station.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            process = subprocess.Popen(command, stdout=subprocess.PIPE)
            time.sleep(0.3)
            lock.write("station 4242 started elsewhere\n")
            lock.flush()
            output = process.communicate(timeout=RUN_LIMIT_S)[0].decode()
        shown = logs.replace("\n", "\\x0a")
        self.assertEqual((process.returncode, output), (2, "ERROR: %s is the folder of another station (station 4242"
                                                           " started elsewhere): give this one its own --log-dir.\r\n" % shown))
        process = subprocess.Popen(command, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        lines = self.read_until(process, "A3: ")
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)
        self.assertEqual(lines[0], "Station: updating each unit plugged into the ports named; its record in %s\r\n" % shown)
        self.assertEqual([l for l in lines if l.startswith(("A2: ", "A3: "))], ["A2: same port as A1\n", "A3: same port as A1\n"])

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

    def test_two_slots_that_reach_one_line_update_its_unit_once_and_name_the_wiring(self):
        """A tap that only listens to the unit's line, and the other end of a Y cable, each in the slot
        before the unit's own: the unit is updated once, never with images from both slots; the other
        slot is named with it as a wiring fault, never journaled as a unit."""
        top = self.workdir
        self.addCleanup(shutil.rmtree, top, True)
        for second in ("listen", "share"):
            with self.subTest(second=second):
                self.workdir, self.ports = tempfile.mkdtemp(dir=top), harness.Ports(top)
                unit = self.ports.line(second, "--unit", "tx")
                first, own = self.ports.arguments()[1].split(",")
                process = self.start_station(["A1=" + first, "A2=" + own])
                settled = lambda: self.journal() and all(p["state"] != "working" for p in self.state()["ports"])
                harness.wait_until(self, settled, "a unit journaled, and no update under way")
                journaled = [(l["label"], l["outcome"]) for l in self.journal()]
                self.assertEqual([outcome for label, outcome in journaled], ["updated and verified"], journaled)
                process.send_signal(signal.SIGINT)  # Ctrl-C, which the Windows build knows under Wine too
                output = self.ended(process, 0)
                [line] = self.journal()
                self.assertEqual(line["outcome"], "updated and verified")
                self.assertEqual((self.images(unit), unit.field("image kind=fpga", "checksum_ok")),
                                 (["kind=fpga", "kind=mcu"], "1"))
                [quiet] = [p for p in self.state()["ports"] if p["label"] != line["label"]]
                self.assertEqual((quiet["state"], quiet["text"]), ("check the wiring", "check the wiring: A1 and A2 reach one line"))
                self.assertIn("Check the wiring: A1 and A2 reach one line.\r\n", output)
                unit.stop()

    @unittest.skipUnless(WINE and shutil.which("xvfb-run"), "the session's end is Windows', under Wine with a display")
    def test_the_sessions_end_stops_the_station_and_journals_its_unit(self):
        """Logging off: the station, a console program that has loaded user32, hears it through its
        hidden window (wineboot --end-session sends what Windows sends) and records its unit."""
        slot = self.slot(1, "--unit", "tx", "--baud", "115200", "--slow-line", "300000")
        unit = self.ports.units[0]
        summary = os.path.join(unit.dir, "summary.txt")
        station = " ".join("'%s'" % a for a in self.station([slot]))
        script = ("%s >/dev/null 2>&1 & until grep -q '^announce kind=fpga' '%s'; do sleep 0.1; done; sleep 1; "
                  "WINEPREFIX='%s' wineboot --end-session; wait" % (station, summary, harness.WINEPREFIX))
        harness.restart_wine_server(display=True)  # its programs with xvfb-run's display
        try:
            subprocess.run(["xvfb-run", "-a", "bash", "-c", script], capture_output=True, timeout=RUN_LIMIT_S)
        finally:  # a prefix whose session ended starts no program well: the next test gets a fresh one
            harness.restart_wine_server(display=False)
        [line] = self.journal()
        self.assertEqual((line["outcome"], line["unit_left"]), ("stopped", "update again"))


if __name__ == "__main__":
    main()
