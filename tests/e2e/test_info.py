#!/usr/bin/env python3
"""--info: a unit identified, nothing sent to it."""
import json
import os
import unittest

from harness import E2E, RX_IDENTITY, SERIAL_SHIM, SUITE, TX_IDENTITY, WINE, com, main, notes, run_fwupgrade


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


if __name__ == "__main__":
    main()
