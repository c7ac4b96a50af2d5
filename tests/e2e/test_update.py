#!/usr/bin/env python3
"""Updates against the emulated unit: the transcripts, what the unit received, and every fault
it can put in the way."""
import json
import os
import subprocess
import time
import unittest

from harness import (DIVISOR, E2E, FAILED, FWUPGRADE, RUN_IN_PREFIX, RUN_LIMIT_S, SUCCESS, SUITE, WARNING,
                     WINE, WRITE_STALL_S, main, progress)


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Update(E2E):
    def test_tx_update_transcript_and_what_the_unit_received(self):
        self.assert_tx_update()

    def test_rx_update_transcript_and_what_the_unit_received(self):
        unit, output, status = self.update("--unit", "rx")
        self.assertEqual(output, self.expected("update-rx.txt"))
        self.assertEqual(status, 0)
        self.assert_received_images(unit, "rx")


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


@unittest.skipUnless(SUITE == "production", "production timings")
class Production(E2E):
    def test_tx_update_with_real_timings(self):
        self.assert_tx_update()


if __name__ == "__main__":
    main()
