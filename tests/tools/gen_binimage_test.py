#!/usr/bin/env python3
"""The image table generator: each way an image can fail to decode stops it with the file, the
line and the reason, writing nothing; good images get their SHA-256 in the table and the list.

Usage: gen_binimage_test.py (runs tools/gen_binimage.py of this source tree)
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GENERATOR = os.path.join(ROOT, "tools", "gen_binimage.py")
NAMES = ("K482915_MCU_61_1_04.hex", "K482915_TX_XC7A75_1_04.mcs", "K482915_RX_XC7A75_1_04.mcs")


def record(rtype, address, data, count=None, fix=0):
    body = bytes([len(data) if count is None else count, address >> 8, address & 0xFF, rtype]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % ((-sum(body) + fix) & 0xFF)


GOOD = [record(4, 0, b"\x80\x00"), record(0, 0x8000, range(16)), record(0, 0x8010, b"\x01\x02"),
        record(5, 0, b"\x80\x00\x80\x00"), record(1, 0, b"")]


def text(lines, end="\r\n"):
    return "".join(line + end for line in lines).encode("ascii")


def with_line(number, line):
    lines = list(GOOD)
    lines[number - 1] = line
    return text(lines)


# (what, file text, line named or None, words of the reason)
BROKEN = [
    ("bad checksum", with_line(2, record(0, 0x8000, range(16), fix=1)), 2, "checksum"),
    ("count longer than the data", with_line(3, record(0, 0x8010, b"\x01\x02", count=3)), 3, "byte count"),
    ("no start code", with_line(2, record(0, 0x8000, range(16))[1:]), 2, "':'"),
    ("not a hex digit", with_line(3, record(0, 0x8010, b"\x01\x02").replace("0102", "01G2")), 3, "no hex digit"),
    ("odd digit count", with_line(3, record(0, 0x8010, b"\x01\x02") + "0"), 3, "odd number"),
    ("space inside", with_line(3, record(0, 0x8010, b"\x01\x02").replace("0102", "01 02")), 3, "no hex digit"),
    ("too short", with_line(2, ":0000"), 2, "too short"),
    ("unknown type", with_line(2, record(6, 0, b"")), 2, "record type 06"),
    ("segment address", with_line(1, record(2, 0, b"\x10\x00")), 1, "extended segment address"),
    ("address record length", with_line(1, record(4, 0, b"\x80")), 1, "extended linear address record with 1"),
    ("end record with data", with_line(5, record(1, 0, b"\x00")), 5, "end of file record with 1"),
    ("data after the end", text(GOOD + [record(0, 0, b"\x00")]), 6, "after the end-of-file"),
    ("cut short", text(GOOD[:-1]), None, "no end-of-file record"),
    ("no data", text([record(1, 0, b"")]), None, "no data records"),
    ("beyond 4 MiB", text([record(4, 0, b"\x00\x40"), record(0, 0, b"\x00"), record(1, 0, b"")]), 2, "beyond the 4 MiB"),
]


class Generator(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.out = os.path.join(self.dir.name, "BinImage.cpp")
        self.sums = os.path.join(self.dir.name, "IMAGES-SHA256.txt")

    def generate(self, contents):
        paths = []
        for name, content in zip(NAMES, contents):
            paths.append(os.path.join(self.dir.name, name))
            if content is not None:
                with open(paths[-1], "wb") as f:
                    f.write(content)
        return subprocess.run([sys.executable, GENERATOR, self.out, self.sums] + paths, capture_output=True, text=True)

    def test_each_fault_names_the_file_the_line_and_the_reason_and_writes_nothing(self):
        for what, content, line, reason in BROKEN:
            with self.subTest(what):
                result = self.generate([text(GOOD), content, text(GOOD)])
                self.assertNotEqual(result.returncode, 0)
                where = os.path.join(self.dir.name, NAMES[1]) + ("" if line is None else ":%d" % line)
                self.assertIn(where + ": not a usable Intel HEX image: ", result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertFalse(os.path.exists(self.out) or os.path.exists(self.sums))

    def test_a_missing_file_is_named_with_the_reason(self):
        result = self.generate([text(GOOD), text(GOOD), None])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(os.path.join(self.dir.name, NAMES[2]) + ": cannot read: No such file or directory", result.stderr)
        self.assertFalse(os.path.exists(self.out))

    def test_line_ends_and_case_the_updater_reads_are_accepted_with_their_sha256(self):
        contents = [text(GOOD, "\n"), text([line.lower() for line in GOOD], "\r"), text(GOOD + [""])]
        result = self.generate(contents)
        self.assertEqual(result.returncode, 0, result.stderr)
        digests = [hashlib.sha256(c).hexdigest() for c in contents]
        with open(self.sums) as f:
            self.assertEqual(f.read(), "".join("%s  %s\n" % pair for pair in zip(digests, NAMES)))
        with open(self.out) as f:
            self.assertIn("const char AUTOGEN_FILES_SHA256[3][65] = {\n%s};\n"
                          % "".join('    "%s",\n' % d for d in digests), f.read())


if __name__ == "__main__":
    unittest.main()
