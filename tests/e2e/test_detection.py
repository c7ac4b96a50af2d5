#!/usr/bin/env python3
"""Detection: the port and rate where a unit answers, and the operator's entry when none does."""
import json
import os
import re
import subprocess
import unittest

from harness import (DIVISOR, E2E, FWUPGRADE, RUN_LIMIT_S, SANITIZED, SERIAL_SHIM, SUITE, WINE, com, main, Ports,
                     run_fwupgrade)


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

    def test_one_line_reached_through_two_ports_is_picked_as_one_port_after_another_picks(self):
        """A tap that hears the unit's replies, before the unit's own port: the unit's port (the
        tap alone hears nothing). A Y cable's other end before it: that end (its probes reach the
        unit). Three times each: the probes' timing varies from run to run."""
        for second, picked in (("listen", 2), ("share", 1)):
            for attempt in range(3):
                with self.subTest(second=second, attempt=attempt):
                    self.ports = Ports(self.workdir)
                    self.ports.line(second, "--baud", "9600")
                    output, status = run_fwupgrade(self.ports.arguments() + ["--info"])
                    self.ports.stop()
                    self.assertIn("COM PORT Number : %d\r\nBaud rate       : 9600 " % com(picked), output)
                    self.assertIn("TX OK", output)
                    self.assertEqual(status, 0)

    def test_nothing_of_a_port_after_the_pick_is_recorded_and_every_record_is_in_time_order(self):
        self.ports.unit("--baud", "115200", *self.QUICK_END)
        self.ports.unit("--silence")
        self.ports.unit("--silence")
        log = os.path.join(self.workdir, "r.log")
        output, status = run_fwupgrade(self.ports.arguments() + ["--events", "--log", log])
        self.ports.stop()
        events = [json.loads(line) for line in output.splitlines()]
        self.assertEqual([e["com"] for e in events if e["event"] == "port_opened"], [com(1)])
        self.assertEqual([e["t"] for e in events], sorted(e["t"] for e in events))
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines, sorted(lines, key=lambda line: float(line.split()[1])))  # "+seconds"
        for n in (2, 3):
            self.assertEqual([l for l in lines if "COM%d " % com(n) in l and " detection: " not in l], [])

    @unittest.skipIf(WINE or SANITIZED, "a native limit (the sanitizers need the address space it leaves out)")
    def test_without_threads_the_ports_are_swept_one_after_another(self):
        """No thread can start (each would need more address space than the process may have):
        detection sweeps the ports one after another on the run's thread and finds the unit."""
        self.ports.unit("--silence")
        self.ports.unit("--baud", "9600", *self.QUICK_END)
        command = "ulimit -s 8000000 && ulimit -v 4000000 && exec %s" % " ".join(
            "'%s'" % a for a in [FWUPGRADE] + self.ports.arguments() + ["--no-pause"])
        result = subprocess.run(["bash", "-c", command], stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=RUN_LIMIT_S)
        self.ports.stop()
        self.assertIn(b"COM PORT Number : %d\r\nBaud rate       : 9600 " % com(2), result.stdout)
        self.assertEqual(result.returncode, 1, result.stderr[-500:])

    @unittest.skipIf(WINE, "the serial shim is a native library")
    def test_the_run_goes_on_at_the_pick_while_a_slow_port_ends_beside_it(self):
        """The port after the unit opens in 3 s: the run does not wait for it (it waited up to 2 s);
        its probe ends beside the run, and is joined before the run ends, its port as found."""
        self.ports.unit("--baud", "115200", *self.QUICK_END)
        slow = self.ports.unit("--silence")
        env = dict(os.environ, LD_PRELOAD=SERIAL_SHIM, FWUPGRADE_SHIM_SLOW_OPEN="%s:3000" % slow.path,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        output, status = run_fwupgrade(self.ports.arguments() + ["--events"], env=env)
        self.ports.stop()
        found = [e for e in map(json.loads, output.splitlines()) if e["event"] == "unit_found"]
        self.assertLess(found[0]["t"], 1.5)  # far below the 2 s the run waited (3 s in the open)
        self.assertTrue(slow.line_kept())

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


if __name__ == "__main__":
    main()
