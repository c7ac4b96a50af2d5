"""Flat images made by tools we did not write: srec_cat, and objcopy where it applies."""
import os
import re
import subprocess
import tempfile


def flat_image(path):
    """srec_cat's image of an Intel HEX file: 0xFF from offset 0 to the highest data byte,
    each address taken modulo 16 MiB (the updater keeps address bits 16 to 23 only)."""
    info = subprocess.run(["srec_info", path, "-intel"], capture_output=True, text=True, check=True).stdout
    tops = sorted({int(a, 16) >> 24 for a in re.findall(r"\b([0-9A-F]{4,8}) - ", info)})
    if not tops:
        return b""
    with tempfile.TemporaryDirectory() as tmp:
        pieces = []
        for top in tops:
            base = top << 24
            pieces += ["(", path, "-intel", "-crop", str(base), str(base + 0x1000000), "-offset", str(-base), ")"]
        raw = os.path.join(tmp, "raw.bin")
        subprocess.run(["srec_cat"] + pieces + ["-o", raw, "-binary"], check=True, stderr=subprocess.DEVNULL)
        length = os.path.getsize(raw)
        out = os.path.join(tmp, "flat.bin")
        subprocess.run(["srec_cat", "("] + pieces + [")", "-fill", "0xFF", "0", str(length), "-o", out, "-binary"],
                       check=True, stderr=subprocess.DEVNULL)
        with open(out, "rb") as f:
            return f.read()


def objcopy_image(path):
    """objcopy's image; it starts at the lowest address, so only for texts that start at 0."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "flat.bin")
        subprocess.run(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", path, out], check=True)
        with open(out, "rb") as f:
            return f.read()


def checksum(data):
    return (-sum(data)) & 0xFFFFFFFF
