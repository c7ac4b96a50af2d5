#!/usr/bin/env python3
"""--log, --report, --events and --verify: what the records say against what the unit saw."""
import glob
import json
import os
import re
import signal
import subprocess
import time
import unittest

from harness import (DIVISOR, E2E, EVENT_ORDER, FAILED, FWUPGRADE, RUN_LIMIT_S, SUCCESS, SUITE, WARNING,
                     WINE, checksum, main, Ports, Terminal)


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


if __name__ == "__main__":
    main()
