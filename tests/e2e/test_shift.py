#!/usr/bin/env python3
"""--station through a shift: slots watched, units plugged in and pulled out, the live view."""
import glob
import json
import os
import re
import signal
import subprocess
import time
import unittest

from harness import DIVISOR, FWUPGRADE, RUN_LIMIT_S, SILENT_UNIT_S, SUITE, WINE, main, StationCase, Terminal


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Shift(StationCase):
    """--station: slots watched for a whole shift, units plugged in and pulled out."""

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

    @unittest.skipIf(WINE, "the presence run natively")
    def test_a_silent_unit_is_asked_at_its_own_rate_first_and_at_each_rate_once_a_cycle(self):
        """Watched until it goes, a unit that falls silent is asked at its own rate, then at each
        other rate once, in the product's order, cycle after cycle."""
        unit = self.ports.unit("--baud", "57600", "--silence")
        process = subprocess.Popen([FWUPGRADE, "--port", unit.path, "--as-com", "1000", "--events", "--no-pause",
                                    "--baud", "57600", "--wait-until-gone", "1.0.3 1.03"], stdout=subprocess.DEVNULL)
        cycle = [rate for rate in (57600, 115200, 9600, 4800, 2400, 1200) for ask in ("versions", "detection probe")]
        rates = lambda: [int(re.search(r" baud=(\d+)", l).group(1)) for l in unit.lines()
                         if l.startswith(("command ", "ignored "))]
        deadline = time.monotonic() + RUN_LIMIT_S
        while len(rates()) <= 2 * len(cycle):  # two cycles, and the next one begun
            self.assertLess(time.monotonic(), deadline, rates())
            time.sleep(0.05)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=RUN_LIMIT_S)
        asked = rates()
        self.assertEqual(asked, (cycle * len(asked))[:len(asked)])

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


if __name__ == "__main__":
    main()
