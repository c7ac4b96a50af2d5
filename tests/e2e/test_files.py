#!/usr/bin/env python3
"""Files the program writes or reads: --write-image, --export-web, the records' places, --version."""
import glob
import os
import re
import subprocess
import unittest

from harness import E2E, FWUPGRADE, IMAGE_DIR, MCU, RX, SAMPLE, SUITE, TX, WINE, checksum, main, run_fwupgrade


@unittest.skipUnless(SUITE == "full", "accelerated suite")
class Files(E2E):
    def test_write_image_gives_the_independent_flattening(self):
        for kind in ("mcu", "tx", "rx"):
            with self.subTest(kind=kind):
                out = os.path.join(self.workdir, kind + ".bin")
                output, status = run_fwupgrade(["--write-image", kind, out])
                self.assertEqual(status, 0, output)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), self.flat[kind])
                self.assertIn("Length   : %d\r\nChecksum : %d\r\n" % (len(self.flat[kind]), checksum(self.flat[kind])),
                              output)

    def test_export_web_body_decodes_to_the_flat_image(self):
        out = os.path.join(self.workdir, "out.bin")
        output, status = run_fwupgrade(["--export-web", out])
        self.assertEqual(status, 0, output)
        with open(out, "rb") as f:
            content = f.read()
        image = self.flat["mcu"]
        head = b"OndRex\r\n482915\r\n1.0.4\r\n%d\r\n%d\r\n" % (checksum(image), len(image))
        self.assertTrue(content.startswith(head))
        body = content[len(head):]
        lines = body.split(b"\r\n")
        self.assertTrue(all(len(l) == 928 for l in lines[:-1]))
        self.assertTrue(0 < len(lines[-1]) <= 928)
        joined = b"".join(lines)
        padding = {1: b"AA", 2: b"A"}.get(len(image) % 3, b"")
        if padding:
            self.assertTrue(joined.endswith(padding))
            joined = joined[:-len(padding)] + b"=" * len(padding)
        decoded = subprocess.run(["base64", "-d"], input=joined, capture_output=True, check=True).stdout
        self.assertEqual(decoded, image)

    def test_files_to_an_unwritable_place_leave_nothing(self):
        places = [(self.workdir, "it is a "), (os.path.join(self.workdir, "missing", "out.bin"), "cannot create ")]
        if not WINE:
            places.append(("/dev/null", "it is a device"))
        for target, reason in places:
            for args in (["--export-web", target], ["--write-image", "tx", target]):
                with self.subTest(args=args):
                    output, status = run_fwupgrade(args)
                    self.assertEqual(status, 1)
                    self.assertIn("\r\nERROR: Cannot write %s: %s" % (target, reason), output)
                    self.assertNotIn("File does not exists", output)
                    self.assertEqual(glob.glob(target + ".*part"), [])
        self.assertTrue(os.path.isdir(self.workdir))
        self.assertFalse(os.path.isfile("/dev/null"))

    @unittest.skipIf(WINE, "FIFOs and symbolic links are POSIX's")
    def test_a_log_or_report_that_cannot_be_one_stops_the_run_before_it_begins(self):
        fifo, link = os.path.join(self.workdir, "fifo"), os.path.join(self.workdir, "link")
        os.mkfifo(fifo)  # opening it to write would wait for a reader
        os.symlink(os.path.join(self.workdir, "elsewhere"), link)
        missing = os.path.join(self.workdir, "missing", "r.json")
        for args, error in ((["--log", fifo], "cannot use %s as the log: it is not a regular file" % fifo),
                            (["--log", link], "cannot use %s as the log: it is a symbolic link" % link),
                            (["--report", missing], "cannot write the report %s: cannot create " % missing)):
            with self.subTest(args=args[0]):
                result = subprocess.run([FWUPGRADE, "--info"] + args, capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 1)
                self.assertIn("FwUpgrade: " + error, result.stderr.decode())
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "elsewhere")))

    def test_what_lies_beside_the_file_is_never_touched(self):
        """A FILE.part that leads elsewhere, or is a directory, stays as it is."""
        elsewhere = os.path.join(self.workdir, "elsewhere")
        with open(elsewhere, "w") as f:
            f.write("keep")
        for name, prepare in (("linked", lambda p: os.symlink(elsewhere, p)), ("folder", os.mkdir)):
            for args in (["--export-web"], ["--write-image", "mcu"]):
                with self.subTest(name=name, args=args):
                    target = os.path.join(self.workdir, name + args[-1])
                    if not os.path.lexists(target + ".part"):
                        prepare(target + ".part")
                    output, status = run_fwupgrade(args + [target])
                    self.assertEqual(status, 0, output)
                    self.assertTrue(os.path.lexists(target + ".part"))
                    self.assertGreater(os.path.getsize(target), 1000)
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "keep")
        leftovers = [n for n in os.listdir(self.workdir) if re.search(r"\.[0-9a-f]{16}\.part$", n)]
        self.assertEqual(leftovers, [])

    def test_version_names_the_carried_firmware(self):
        output, status = run_fwupgrade(["--version"])
        self.assertEqual(status, 0)
        self.assertIn("1.0.4", output)
        self.assertIn("sample" if SAMPLE else "release", output)
        import hashlib  # each image as the build read it, and as an update would announce it
        for title, kind, name in (("MCU", "mcu", MCU), ("TX FPGA", "tx", TX), ("RX FPGA", "rx", RX)):
            with open(os.path.join(IMAGE_DIR, name), "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            self.assertIn("%s image: %s\n  SHA-256: %s\n  Announced to the unit: %d bytes, checksum %d\n"
                          % (title, name, digest, len(self.flat[kind]), checksum(self.flat[kind])),
                          output.replace("\r\n", "\n"))

    def test_unknown_option_is_a_usage_error(self):
        output, status = run_fwupgrade(["--frobnicate"])
        self.assertEqual(status, 2)


if __name__ == "__main__":
    main()
