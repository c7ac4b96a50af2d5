#!/usr/bin/env python3
"""Stops and keys: Ctrl-C, SIGTERM and the closing wait, and the port given back."""
import json
import os
import signal
import subprocess
import time
import unittest

from harness import (E2E, FWUPGRADE, RUN_IN_PREFIX, RUN_LIMIT_S, SERIAL_SHIM, STOPPED_DETECTING, STOPPED_FPGA,
                     STOPPED_REBOOT, SUITE, WINE, com, main, Ports, Terminal)


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
        report = os.path.join(self.workdir, "r.json")
        command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + self.ports.arguments() + ["--no-pause"]
        command += [] if WINE else ["--report", report]
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
        if not WINE:  # the port being probed, and the one beside it, were stopped: needed, or not, no one knows
            with open(report) as f:
                self.assertEqual([p["outcome"] for p in json.load(f)["detection"]][:2], ["stopped", "stopped"])

    @unittest.skipIf(WINE, "the serial shim is a native library")
    def test_a_stop_just_after_the_pick_gives_the_picked_port_back(self):
        """The unit answers at once; the port after it takes 3 s to open. A stop right after the
        pick (the run once waited here for the slow port) closes the unit's port as found, and
        the log says so."""
        unit = self.ports.unit("--baud", "115200", "--silent-after-reboot")
        slow = self.ports.unit("--silence")
        log = os.path.join(self.workdir, "r.log")
        env = dict(os.environ, LD_PRELOAD=SERIAL_SHIM, FWUPGRADE_SHIM_SLOW_OPEN="%s:3000" % slow.path,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        process = subprocess.Popen([FWUPGRADE] + self.ports.arguments() + ["--no-pause", "--log", log], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_for(unit, "command text=%%%help")
        time.sleep(0.2)
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=RUN_LIMIT_S)
        self.ports.stop()
        self.assertEqual(process.returncode, 130)
        self.assertTrue(unit.line_kept())
        with open(log) as f:
            self.assertIn(" port COM%d closed, its settings given back\n" % com(1), f.read())


if __name__ == "__main__":
    main()
