#!/usr/bin/env python3
"""Generates BinImage.cpp: the Intel HEX files carried by FwUpgrade, as constant arrays,
with each file's SHA-256; and the list of those SHA-256 in sha256sum's format.

Usage: gen_binimage.py OUTPUT.cpp SUMS.txt MCU.hex TX.mcs RX.mcs
Each file must decode as Intel HEX the way the updater flattens it; the first fault stops
the build with the file, the line and the reason, and nothing is written.
Each array holds the file's bytes unchanged and one zero. String literals, not brace
lists: g++ compiles megabytes of literals in a fraction of a second.
"""
import hashlib
import os
import sys

# The updater's flat image buffer (CONCAT_BUFFER_SIZE): no data may reach beyond it.
FLAT_LIMIT = 4 * 1024 * 1024

# Octal escapes are used for everything unusual: unlike \x they never swallow a
# following hex digit, and they have at most three digits.
ESCAPES = {0x5C: "\\\\", 0x22: '\\"', 0x3F: "\\?", 0x09: "\\t"}

HEX_DIGITS = b"0123456789ABCDEFabcdef"

# Record type: (name, data bytes it must carry, or None for any count).
RECORD_TYPES = {0: ("data", None), 1: ("end of file", 0), 3: ("start segment address", 4),
                4: ("extended linear address", 2), 5: ("start linear address", 4)}


class ImageError(Exception):
    def __init__(self, line, reason):
        super().__init__(reason)
        self.line = line


def check_record(line):
    """The record of one line (without its end): (type, address, data). Raises ImageError."""
    if not line.startswith(b":"):
        raise ImageError(None, "the line does not start with ':'")
    digits = line[1:]
    if digits.translate(None, HEX_DIGITS):
        raise ImageError(None, "the line holds a character that is no hex digit")
    if len(digits) % 2 or len(digits) < 10:
        raise ImageError(None, "the line is too short or has an odd number of hex digits")
    fields = bytes.fromhex(digits.decode("ascii"))
    count, address, rtype = fields[0], fields[1] << 8 | fields[2], fields[3]
    if len(fields) != count + 5:
        raise ImageError(None, "byte count says %d data bytes, the line holds %d" % (count, len(fields) - 5))
    if sum(fields) & 0xFF:
        raise ImageError(None, "checksum %02X does not match its bytes (%02X expected)"
                         % (fields[-1], (-sum(fields[:-1])) & 0xFF))
    if rtype == 2:
        raise ImageError(None, "extended segment address record: the updater honours linear addresses only")
    if rtype not in RECORD_TYPES:
        raise ImageError(None, "record type %02X is not an Intel HEX record type" % rtype)
    name, size = RECORD_TYPES[rtype]
    if size is not None and count != size:
        raise ImageError(None, "%s record with %d data bytes, not %d" % (name, count, size))
    return rtype, address, fields[4:-1]


def check_image(data):
    """Checks the whole text as the updater flattens it. Raises ImageError."""
    offset, flat_end, ended = 0, 0, False
    for number, line in enumerate(data.splitlines(), 1):
        if not line:
            continue
        if ended:
            raise ImageError(number, "data after the end-of-file record")
        try:
            rtype, address, payload = check_record(line)
        except ImageError as error:
            raise ImageError(number, str(error)) from None
        if rtype == 1:
            ended = True
        elif rtype == 4:
            offset = payload[1] << 16  # the updater keeps address bits 16 to 23
        elif rtype == 0 and payload:
            end = offset + address + len(payload)
            if end > FLAT_LIMIT:
                raise ImageError(number, "data ends at flat address 0x%X, beyond the %d MiB image"
                                 % (end, FLAT_LIMIT >> 20))
            flat_end = max(flat_end, end)
    if not ended:
        raise ImageError(None, "no end-of-file record (is the file cut short?)")
    if flat_end == 0:
        raise ImageError(None, "no data records")


def read_image(path):
    """The file's bytes, checked. Exits with the file, the line and the reason on a fault."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        check_image(data)
    except OSError as error:
        sys.exit("%s: cannot read: %s" % (path, error.strerror or error))
    except ImageError as error:
        where = path if error.line is None else "%s:%d" % (path, error.line)
        sys.exit("%s: not a usable Intel HEX image: %s" % (where, error))
    return data


def escape_table():
    table = []
    for b in range(256):
        if b in ESCAPES:
            table.append(ESCAPES[b])
        elif b == 0x0D:
            table.append("\\r")
        elif b == 0x0A:
            table.append('\\n"\n"')  # one source line per text line
        elif 0x20 <= b < 0x7F:
            table.append(chr(b))
        else:
            table.append("\\%03o" % b)
    return table


def array_name(path):
    return os.path.basename(path).replace(".", "_")


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__.strip().splitlines()[2])
    output, sums_file, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]
    images = [(path, read_image(path)) for path in inputs]  # all checked before anything is written
    table = escape_table()
    parts = ['// Generated by tools/gen_binimage.py. Do not edit.\n#include "BinImage.h"\n\n']
    rows, hashes, sums = [], [], []
    for path, data in images:
        name = array_name(path)
        base = os.path.basename(path)
        digest = hashlib.sha256(data).hexdigest()
        parts.append("const char %s[%d] =\n\"" % (name, len(data) + 1))
        parts.append("".join(map(table.__getitem__, data)))
        parts.append('";\n\n')
        rows.append('    {"%s", %d, %s, %d},\n' % (base, len(base), name, len(data)))
        hashes.append('    "%s",\n' % digest)
        sums.append("%s  %s\n" % (digest, base))
    parts.append("const autogen_files AUTOGEN_FILES[%d] = {\n" % len(rows))
    parts.extend(rows)
    parts.append("};\n\nconst char AUTOGEN_FILES_SHA256[%d][65] = {\n" % len(hashes))
    parts.extend(hashes)
    parts.append("};\n")
    write_atomically(output, "".join(parts))
    write_atomically(sums_file, "".join(sums))


if __name__ == "__main__":
    main()
