#!/usr/bin/env python3
"""The part of a PE program that an Authenticode signature covers, and comparing it.

A signature covers the whole file except three places: the optional header's CheckSum, the
certificate-table entry of the data directory, and the certificate table itself. Taking
those out of a signed file leaves exactly what the unsigned build wrote, so a shipped file,
signed or not, can be compared with a fresh build of the source.

  pe-covered.py check FILE          exit 0 if FILE is a PE program, else one line and exit 2
  pe-covered.py compare FILE BUILT  exit 0 if the covered parts are equal; else the first
                                    difference in one line and exit 1 (2 if not PE programs)
"""

import struct
import sys
from pathlib import Path

DIR_SECURITY = 4
OPTIONAL_MAGIC = {0x10B: 96, 0x20B: 112}  # PE32, PE32+: where the data directory starts


class Layout:
    """Where a PE file keeps the three places a signature leaves out, and its sections."""

    def __init__(self, data):
        try:
            self._read(data)
        except struct.error:
            raise ValueError("its headers are cut short") from None

    def _read(self, data):
        if data[:2] != b"MZ":
            raise ValueError("it has no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("it has no PE signature")
        sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic not in OPTIONAL_MAGIC:
            raise ValueError(f"its optional header magic is {magic:#x}")
        directory = opt + OPTIONAL_MAGIC[magic]
        self.checksum = opt + 64
        struct.unpack_from("<I", data, self.checksum)  # the optional header is all there
        self.certificate_entry = None
        self.certificate_table = (0, 0)
        if struct.unpack_from("<I", data, directory - 4)[0] > DIR_SECURITY:
            self.certificate_entry = directory + 8 * DIR_SECURITY
            # This entry alone holds a file offset, not an address.
            start, size = struct.unpack_from("<II", data, self.certificate_entry)
            if size and start + size > len(data):
                raise ValueError("its certificate table runs past the end of the file")
            self.certificate_table = (start, size) if size else (0, 0)
        self.sections = []
        for i in range(sections):
            name, raw_size, raw_ptr = struct.unpack_from(
                "<8s8xII", data, opt + opt_size + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"),
                                  raw_ptr, raw_size))
        self.headers_end = min((ptr for _, ptr, size in self.sections if size),
                               default=len(data))

    def covered(self, data):
        """data without its checksum, certificate-table entry and certificate table."""
        kept = bytearray(data)
        kept[self.checksum:self.checksum + 4] = bytes(4)
        if self.certificate_entry is not None:
            kept[self.certificate_entry:self.certificate_entry + 8] = bytes(8)
        start, size = self.certificate_table
        del kept[start:start + size]
        return bytes(kept)

    def place(self, offset):
        """Which part of the file an offset (below the certificate table) lies in."""
        if offset < self.headers_end:
            return "the headers"
        for name, ptr, size in self.sections:
            if ptr <= offset < ptr + size:
                return f"section {name}"
        return "no section"


class BadInput(Exception):
    """A file that cannot be read or is not a PE program."""


def load(path):
    """(bytes, Layout) of a PE program; BadInput saying why not."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise BadInput(f"cannot read {path}: {error.strerror}") from None
    try:
        return data, Layout(data)
    except ValueError as error:
        raise BadInput(f"{path} is not a PE program: {error}") from None


def first_difference(shipped, built):
    """None if the covered parts are equal, else a sentence saying where they first differ."""
    data, layout = shipped
    mine, theirs = layout.covered(data), built[1].covered(built[0])
    at = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b), None)
    if at is None and len(mine) == len(theirs):
        return None
    if at is None:
        return (f"the build is {len(theirs)} bytes, the file {len(mine)} without its "
                f"signature; they agree up to byte {min(len(mine), len(theirs))}")
    # Offsets below the certificate table are the same in the file and in what it covers.
    return (f"first at byte {at} ({at:#x}) in {layout.place(at)}: "
            f"{mine[at]:#04x} in the file, {theirs[at]:#04x} in the build")


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "check":
            load(argv[2])
            return 0
        if len(argv) == 4 and argv[1] == "compare":
            difference = first_difference(load(argv[2]), load(argv[3]))
            if difference:
                print(difference)
            return 1 if difference else 0
    except BadInput as error:
        print(error, file=sys.stderr)
        return 2
    print("usage: pe-covered.py check FILE | compare FILE BUILT", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
