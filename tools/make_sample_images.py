#!/usr/bin/env python3
"""Writes deterministic stand-in firmware images with the release images' exact layout.

Usage: make_sample_images.py OUTDIR
Writes K482915_MCU_61_1_04.hex, K482915_TX_XC7A75_1_04.mcs and K482915_RX_XC7A75_1_04.mcs.
The bytes depend on nothing but this script (own generator, fixed seeds).
"""
import os
import sys


def xorshift_bytes(seed, count):
    # Own generator so the output never depends on Python's random module.
    state = seed & 0xFFFFFFFFFFFFFFFF
    out = bytearray(count)
    for i in range(count):
        state ^= (state << 13) & 0xFFFFFFFFFFFFFFFF
        state ^= state >> 7
        state ^= (state << 17) & 0xFFFFFFFFFFFFFFFF
        out[i] = state & 0xFF
    return out


def record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum + "\r\n"


def ela(upper):
    return record(4, 0, bytes([upper >> 8, upper & 0xFF]))


def data_records(lines, start, payload, upper=None):
    """Appends 16-byte records (the last may be shorter) for payload at full address start,
    with an extended linear address record wherever the upper 16 bits change.
    Returns the upper address in force afterwards."""
    for off in range(0, len(payload), 16):
        addr = start + off
        if addr >> 16 != upper:
            upper = addr >> 16
            lines.append(ela(upper))
        lines.append(record(0, addr & 0xFFFF, payload[off:off + 16]))
    return upper


def mcu_text():
    lines = []
    first = xorshift_bytes(0x4D4355, 0x8001BD36 - 0x80008000)
    second = xorshift_bytes(0x524F4D, 0x8001F198 - 0x8001BE00)
    upper = data_records(lines, 0x80008000, first)
    data_records(lines, 0x8001BE00, second, upper)
    lines.append(record(5, 0, bytes([0x80, 0x00, 0x80, 0x08])))
    lines.append(record(1, 0, b""))
    return "".join(lines)


def fpga_text(seed):
    header = b"\xff" * 32 + bytes.fromhex("000000BB11220044FFFFFFFFFFFFFFFFAA995566")
    payload = header + xorshift_bytes(seed, 0x223778 - len(header))
    lines = []
    data_records(lines, 0, payload)
    lines.append(record(1, 0, b""))
    return "".join(lines)


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    # TX and RX images differ, as the release images do: a unit that got the wrong one shows.
    files = {
        "K482915_MCU_61_1_04.hex": mcu_text().encode("ascii"),
        "K482915_TX_XC7A75_1_04.mcs": fpga_text(0x465047).encode("ascii"),
        "K482915_RX_XC7A75_1_04.mcs": fpga_text(0x525847).encode("ascii"),
    }
    for name, content in files.items():
        tmp = os.path.join(outdir, name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(content)
        os.replace(tmp, os.path.join(outdir, name))


if __name__ == "__main__":
    main()
