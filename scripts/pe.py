#!/usr/bin/env python3
"""The one reader of PE files here: headers, sections, data directories, imports, resources
and the certificate table, for the static checks, the release's comparison and the rig.

  pe.py machine FILE   FILE's machine field in hex (14c i386, 8664 x86_64); exit 1 and why
                       on stderr where FILE is not a PE file

A certificate table counts as a signer's only when it lies after the headers and every
section, starts on an 8-byte boundary, ends the file, and holds one PKCS#7 entry, one DER
object and at most 7 zero bytes of padding. Anywhere else, a range that a signature leaves
out could hold code that Windows runs (sections are mapped from their file offsets,
wherever the table lies). Windows reads the first entry alone and signers write one (nested
signatures live inside it), so a second entry would be bytes that nothing verifies.
"""

import os
import stat
import struct
import sys
from collections import namedtuple

DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY, DIR_BASERELOC, DIR_DELAY_IMPORT = 1, 2, 4, 5, 13
PE32, PE32_PLUS = 0x10B, 0x20B
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
SIZE_LIMIT = 64 << 20  # far above the program's size; nothing larger is read

Section = namedtuple("Section", "name vsize vaddr raw_size raw_ptr")


class Image:
    """A PE file as its headers describe it; ValueError saying why where it is not one."""

    def __init__(self, data):
        self.data = data
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
        (self.machine, count, self.timestamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic not in (PE32, PE32_PLUS):
            raise ValueError(f"its optional header magic is {self.magic:#x}")
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        headers_size, _, self.subsystem, self.dll_characteristics = struct.unpack_from(
            "<IIHH", data, opt + 60)
        self.checksum_offset = opt + 64
        table = opt + (96 if self.magic == PE32 else 112)
        entries = struct.unpack_from("<I", data, table - 4)[0]
        self.directories = [struct.unpack_from("<II", data, table + 8 * i)
                            for i in range(min(entries, 16))]
        self.sections = []
        self.section_table = opt + opt_size
        for i in range(count):
            name, *sizes = struct.unpack_from("<8sIIII", data, self.section_table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("ascii", "replace"), *sizes))
        self.headers_end = min((s.raw_ptr for s in self.sections if s.raw_size),
                               default=len(data))
        # The certificate table's entry alone holds a file offset, not an address.
        self.certificate_entry = table + 8 * DIR_SECURITY if entries > DIR_SECURITY else None
        self.certificate_table = (0, 0)
        self.signature = None  # (start, end) of the one entry's DER object
        self.problem = None  # why the certificate table is not one a signer writes
        if self.certificate_entry is not None:
            start, size = self.directories[DIR_SECURITY]
            content_end = max([headers_size, self.headers_end] +
                              [s.raw_ptr + s.raw_size for s in self.sections])
            self.problem = self._read_table(start, size, content_end)
            self.certificate_table = (start, size) if size and not self.problem else (0, 0)

    def _read_table(self, start, size, content_end):
        """None if the certificate table is well-formed, else why not; sets signature."""
        data = self.data
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
        if size < 8:
            return f"its certificate table ends in a partial entry at {start:#x}"
        length, revision, kind = struct.unpack_from("<IHH", data, start)
        if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
            return (f"its certificate entry at {start:#x} is not a PKCS#7 signature "
                    f"(revision {revision:#x}, type {kind:#x})")
        slot_end = start + (length + 7) // 8 * 8
        if length < 8 or slot_end > end:
            return (f"its certificate entry at {start:#x} declares {length} bytes, "
                    f"{slot_end - start} with its padding; {size} are in the table")
        der = der_object(data, start + 8, start + length)
        if der is None or der[0] != 0x30:
            return f"its certificate entry at {start:#x} does not hold one DER object"
        padding = data[der[2]:slot_end]
        if len(padding) > 7 or any(padding):
            return (f"its certificate entry at {start:#x} holds {len(padding)} bytes "
                    f"after its DER object, not up to 7 zero bytes of padding")
        if slot_end != end:
            return (f"its certificate table holds more than one entry: {end - slot_end} "
                    f"bytes follow the first at {slot_end:#x}; a signer writes one")
        self.signature = (start + 8, der[2])
        return None

    def digested(self):
        """What an Authenticode digest is taken over: the file without its checksum,
        certificate-table entry and certificate table."""
        data, check = self.data, self.checksum_offset
        start, size = self.certificate_table
        if self.certificate_entry is None:
            return data[:check] + data[check + 4:]
        return (data[:check] + data[check + 4:self.certificate_entry] +
                data[self.certificate_entry + 8:start if size else len(data)])

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + max(s.vsize, s.raw_size):
                return rva - s.vaddr + s.raw_ptr
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def bytes_at(self, rva, size):
        start = self.offset(rva)
        return self.data[start:start + size]

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll as named: [function name, or '#ordinal']} from the import directory."""
        thunk_format, by_ordinal = ("<Q", 1 << 63) if self.magic == PE32_PLUS else ("<I", 1 << 31)
        width = struct.calcsize(thunk_format)
        found = {}
        rva = self.directory(DIR_IMPORT)[0]
        while rva:
            lookup, _, _, name, first_thunk = struct.unpack("<IIIII", self.bytes_at(rva, 20))
            if not (lookup or name or first_thunk):
                break
            functions = found.setdefault(self.c_string(name), [])
            thunk = lookup or first_thunk
            while entry := struct.unpack(thunk_format, self.bytes_at(thunk, width))[0]:
                functions.append(f"#{entry & 0xFFFF}" if entry & by_ordinal
                                 else self.c_string(entry + 2))
                thunk += width
            rva += 20
        return found

    def resources(self):
        """{(type, name, language): data} for every resource."""
        found = {}
        if self.directory(DIR_RESOURCE)[1] == 0:
            return found
        base = self.offset(self.directory(DIR_RESOURCE)[0])

        def walk(table, path):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    if len(path) == 2:
                        raise ValueError("resource directory deeper than three levels")
                    walk(target & 0x7FFFFFFF, path + [key])
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    found[tuple(path + [key])] = self.bytes_at(rva, size)

        walk(0, [])
        return found


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


def one_line(text):
    """text from a file with its control characters escaped: nothing in it can forge or
    break a line of output."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


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


def load(path):
    """The Image of a regular file of at most SIZE_LIMIT bytes; BadInput saying why not."""
    try:
        # Opened without blocking, so that a FIFO cannot hang the open; then only a regular
        # file is read, and no further than the limit.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
        with os.fdopen(descriptor, "rb") as file:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise BadInput(f"{shown(path)} is not a regular file")
            data = file.read(SIZE_LIMIT + 1)
    except OSError as error:
        raise BadInput(f"cannot read {shown(path)}: {error.strerror}") from None
    if len(data) > SIZE_LIMIT:
        raise BadInput(f"{shown(path)} is larger than {SIZE_LIMIT >> 20} MiB")
    try:
        return Image(data)
    except ValueError as error:
        raise BadInput(f"{shown(path)} is not a PE program: {error}") from None


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "machine":
        sys.exit("usage: pe.py machine FILE")
    try:
        print(f"{load(sys.argv[2]).machine:x}")
    except BadInput as error:
        sys.exit(str(error))
