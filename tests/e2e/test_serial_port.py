#!/usr/bin/env python3
"""The serial module on a port of Wine's that leads to the unit."""
import os
import subprocess
import unittest

from harness import E2E, FWUPGRADE, RUN_IN_PREFIX, SUITE, WINE, main


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


if __name__ == "__main__":
    main()
