#!/usr/bin/env python3
"""The part of a PE program that an Authenticode signature covers, and comparing it.

A signature covers the whole file except three places: the optional header's CheckSum, the
certificate-table entry of the data directory, and the certificate table itself. Taking
those out of a signed file leaves exactly what the unsigned build wrote, so a shipped file,
signed or not, can be compared with a fresh build of the source.

Only a well-formed table is left out: one that lies after the headers and every section,
ends the file, and holds nothing but whole PKCS#7 entries, each one DER object and at most
7 zero bytes of padding. Anywhere else, a range left out of the comparison could hold code
that Windows runs (sections are mapped from their file offsets, wherever the table lies).

  pe-covered.py check FILE          exit 0 if FILE is a PE program; 1 and why in one line if
                                    its certificate table is malformed; else one line, exit 2
  pe-covered.py compare FILE BUILT  exit 0 if the covered parts are equal and FILE's
                                    certificate table is well-formed; else why not in one
                                    line and exit 1 (2 if not PE programs)
"""

import os
import stat
import struct
import sys

DIR_SECURITY = 4
OPTIONAL_MAGIC = {0x10B: 96, 0x20B: 112}  # PE32, PE32+: where the data directory starts
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
SIZE_LIMIT = 64 << 20  # far above the program's size; nothing larger is read


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
        headers_size = struct.unpack_from("<I", data, opt + 60)[0]
        struct.unpack_from("<I", data, self.checksum)  # the optional header is all there
        self.sections = []
        for i in range(sections):
            name, raw_size, raw_ptr = struct.unpack_from(
                "<8s8xII", data, opt + opt_size + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"),
                                  raw_ptr, raw_size))
        self.headers_end = min((ptr for _, ptr, size in self.sections if size),
                               default=len(data))
        self.certificate_entry = None
        self.certificate_table = (0, 0)
        self.signatures = []  # (start, end) of each entry's DER object
        self.problem = None  # why the certificate table is not one a signer writes
        if struct.unpack_from("<I", data, directory - 4)[0] > DIR_SECURITY:
            self.certificate_entry = directory + 8 * DIR_SECURITY
            # This entry alone holds a file offset, not an address.
            start, size = struct.unpack_from("<II", data, self.certificate_entry)
            content_end = max([headers_size, self.headers_end] +
                              [ptr + raw for _, ptr, raw in self.sections])
            self.problem = self._read_table(data, start, size, content_end)
            self.certificate_table = (start, size) if size and not self.problem else (0, 0)

    def _read_table(self, data, start, size, content_end):
        """None if the table is well-formed, else why not; fills self.signatures."""
        if not size:
            return f"its certificate-table entry is not zero (offset {start:#x}, size 0)" \
                if start else None
        end = start + size
        if start % 8:
            return f"its certificate table at {start:#x} is not on an 8-byte boundary"
        if start < content_end:
            return (f"its certificate table at {start:#x} lies inside the headers or a "
                    f"section (they end at {content_end:#x})")
        if end != len(data):
            return (f"its certificate table ends at {end:#x}, the file at {len(data):#x}")
        at = start
        while at < end:
            if end - at < 8:
                return f"its certificate table ends in a partial entry at {at:#x}"
            length, revision, kind = struct.unpack_from("<IHH", data, at)
            if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
                return (f"its certificate entry at {at:#x} is not a PKCS#7 signature "
                        f"(revision {revision:#x}, type {kind:#x})")
            slot_end = at + (length + 7) // 8 * 8
            if length < 8 or slot_end > end:
                return (f"its certificate entry at {at:#x} declares {length} bytes, "
                        f"{slot_end - at} with its padding; {end - at} are left in the table")
            der = der_object(data, at + 8, at + length)
            if der is None or der[0] != 0x30:
                return f"its certificate entry at {at:#x} does not hold one DER object"
            padding = data[der[2]:slot_end]
            if len(padding) > 7 or any(padding):
                return (f"its certificate entry at {at:#x} holds {len(padding)} bytes "
                        f"after its DER object, not up to 7 zero bytes of padding")
            self.signatures.append((at + 8, der[2]))
            at = slot_end
        return None

    def covered(self, data):
        """data without its checksum, certificate-table entry and certificate table."""
        kept = bytearray(data)
        kept[self.checksum:self.checksum + 4] = bytes(4)
        if self.certificate_entry is not None:
            kept[self.certificate_entry:self.certificate_entry + 8] = bytes(8)
        start, size = self.certificate_table
        del kept[start:start + size]
        return bytes(kept)

    def digested(self, data):
        """What an Authenticode digest is taken over: the file without those three places."""
        start, size = self.certificate_table
        if self.certificate_entry is None:
            return data[:self.checksum] + data[self.checksum + 4:]
        return (data[:self.checksum] + data[self.checksum + 4:self.certificate_entry] +
                data[self.certificate_entry + 8:start if size else len(data)])

    def place(self, offset):
        """Which part of the file an offset (below the certificate table) lies in."""
        if offset < self.headers_end:
            return "the headers"
        for name, ptr, size in self.sections:
            if ptr <= offset < ptr + size:
                return f"section {name}"
        return "no section"


def der_object(data, at, end):
    """(tag, start of contents, end) of the DER object at `at`, if it ends by `end`."""
    if end - at < 2 or data[at + 1] in (0x80, 0xFF) or data[at] & 0x1F == 0x1F:
        return None
    length, contents = data[at + 1], at + 2
    if length > 0x80:  # the long form: that many bytes of length follow
        count = length - 0x80
        if count > 4 or contents + count > end:
            return None
        length = int.from_bytes(data[contents:contents + count], "big")
        contents += count
    return (data[at], contents, contents + length) if contents + length <= end else None


def shown(path):
    """A file name as it may stand in one line: escaped where it holds control characters."""
    text = os.fsdecode(path)
    if text.isprintable():
        return text
    return "$'" + "".join(c if c.isprintable() and c not in "\\'" else
                          "".join(f"\\x{b:02x}" for b in os.fsencode(c))
                          for c in text) + "'"


class BadInput(Exception):
    """A file that cannot be read or is not a PE program."""


def read_bounded(path):
    """The bytes of a regular file of at most SIZE_LIMIT bytes; OSError or BadInput."""
    # Opened without blocking, so that a FIFO cannot hang the open; then only a regular
    # file is read, and no further than the limit.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    with os.fdopen(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise BadInput(f"{shown(path)} is not a regular file")
        data = file.read(SIZE_LIMIT + 1)
    if len(data) > SIZE_LIMIT:
        raise BadInput(f"{shown(path)} is larger than {SIZE_LIMIT >> 20} MiB")
    return data


def load(path):
    """(bytes, Layout) of a PE program; BadInput saying why not."""
    try:
        data = read_bounded(path)
    except OSError as error:
        raise BadInput(f"cannot read {shown(path)}: {error.strerror}") from None
    try:
        return data, Layout(data)
    except ValueError as error:
        raise BadInput(f"{shown(path)} is not a PE program: {error}") from None


def first_difference(shipped, built):
    """None if the covered parts are equal, else a sentence saying where they first differ."""
    data, layout = shipped
    if layout.problem:
        return layout.problem
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
            layout = load(argv[2])[1]
            if layout.problem:
                print(layout.problem)
            return 1 if layout.problem else 0
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
