#!/usr/bin/env python3
"""The updater's flattening against srec_cat and objcopy.

Usage: oracle_test.py FLATTEN_FILE FWUPGRADE IMAGE_DIR
Generated texts (random gaps, records out of order, several address records with non-zero
top bytes, lower case, LF-only and CR-only line ends, blank lines) and the carried images
must flatten to the same bytes as the tools' images of the same records.
"""
import os
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from srec_oracle import checksum, flat_image, objcopy_image  # noqa: E402

FLATTEN_FILE, FWUPGRADE, IMAGE_DIR = (sys.argv[1:4] + ["", "", ""])[:3]
IMAGES = {"mcu": "K482915_MCU_61_1_04.hex", "tx": "K482915_TX_XC7A75_1_04.mcs", "rx": "K482915_RX_XC7A75_1_04.mcs"}


def record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF)


def generated_records(rng, tops, start_at_zero):
    """Non-overlapping data records (after the reduction) placed below 4 MiB, shuffled,
    each behind the address record it needs. Returns the record lines."""
    taken = set()
    chunks = []
    cursor = 0
    for _ in range(rng.randint(5, 40)):
        cursor += rng.choice([0, 0, 1, 7, 300, 0x10000, 0x23456])
        cursor = min(cursor, 0x3FFF00)
        length = rng.randint(1, 32)
        if (cursor & 0xFFFF) + length > 0x10000:  # a record stays inside its 64 KiB page
            cursor = (cursor | 0xFFFF) + 1
        if cursor + length > 0x400000 or any(a in taken for a in range(cursor, cursor + length)):
            continue
        taken.update(range(cursor, cursor + length))
        chunks.append((cursor, bytes(rng.randrange(256) for _ in range(length))))
        cursor += length
    if start_at_zero and chunks[0][0] != 0:
        chunks.insert(0, (0, b"\x5a"))
    rng.shuffle(chunks)
    lines, upper = [], None
    for address, data in chunks:
        full_upper = (rng.choice(tops) << 8) | (address >> 16)
        if full_upper != upper:
            lines.append(record(4, 0, bytes([full_upper >> 8, full_upper & 0xFF])))
            upper = full_upper
        lines.append(record(0, address & 0xFFFF, data))
    if rng.random() < 0.5:
        lines.append(record(5, 0, b"\x80\x00\x80\x08"))
    lines.append(record(1, 0, b""))
    return lines


def variant(lines, rng, style):
    """The same records written another way."""
    if style == "lower":
        return "\r\n".join(l.lower() for l in lines) + "\r\n"
    if style == "lf":
        return "\n".join(lines) + "\n"
    if style == "cr":
        return "\r".join(lines) + "\r"
    if style == "blank":
        return "".join(l + "\r\n" * rng.randint(1, 3) for l in lines)
    if style == "no-final-end":
        return "\r\n".join(lines)
    return "\r\n".join(lines) + "\r\n"


def flatten(path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.bin")
        result = subprocess.run([FLATTEN_FILE, path, out], capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
        with open(out, "rb") as f:
            return f.read(), result.stdout.split()


class Oracle(unittest.TestCase):
    maxDiff = 200

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, text):
        path = os.path.join(self.tmp.name, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def test_generated_texts_match_srec_cat(self):
        styles = ["plain", "lower", "lf", "cr", "blank", "no-final-end"]
        for seed in range(60):
            rng = random.Random(seed)
            lines = generated_records(rng, [0x00, 0x80, 0x12, 0xFF] if seed % 2 else [0x00], False)
            style = styles[seed % len(styles)]
            with self.subTest(seed=seed, style=style):
                expected = flat_image(self.write("plain.hex", variant(lines, rng, "plain")))
                got, (length, sum32) = flatten(self.write("variant.hex", variant(lines, rng, style)))
                self.assertEqual(got, expected)
                self.assertEqual(int(length), len(expected))
                self.assertEqual(int(sum32), checksum(expected))

    def test_generated_texts_from_zero_match_objcopy(self):
        for seed in range(100, 120):
            rng = random.Random(seed)
            lines = generated_records(rng, [0x00], True)
            with self.subTest(seed=seed):
                path = self.write("plain.hex", variant(lines, rng, "plain"))
                self.assertEqual(flatten(path)[0], objcopy_image(path))

    def test_carried_images_match_srec_cat_and_objcopy(self):
        for kind, name in IMAGES.items():
            with self.subTest(kind=kind):
                path = os.path.join(IMAGE_DIR, name)
                expected = flat_image(path)
                if kind != "mcu":
                    self.assertEqual(objcopy_image(path), expected)
                out = os.path.join(self.tmp.name, kind + ".bin")
                result = subprocess.run([FWUPGRADE, "--write-image", kind, out], capture_output=True)
                self.assertEqual(result.returncode, 0, result.stdout)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), expected)
                self.assertIn("Length   : %d\r\nChecksum : %d\r\n" % (len(expected), checksum(expected)),
                              result.stdout.decode("latin-1"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
