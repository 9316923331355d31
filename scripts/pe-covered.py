#!/usr/bin/env python3
"""The part of a PE program that an Authenticode signature covers, and comparing it.

A signature covers the whole file except three places: the optional header's CheckSum, the
certificate-table entry of the data directory, and the certificate table itself. Taking
those out of a signed file leaves exactly what the unsigned build wrote, so a shipped file,
signed or not, can be compared with a fresh build of the source. Only a well-formed table is
left out (scripts/pe.py says which are).

  pe-covered.py check FILE          exit 0 if FILE is a PE program; 1 and why in one line if
                                    its certificate table is malformed; else one line, exit 2
  pe-covered.py compare FILE BUILT  exit 0 if the covered parts are equal and FILE's
                                    certificate table is well-formed; else why not in one
                                    line and exit 1 (2 if not PE programs)
"""

import sys

import pe


def covered(image):
    """The file with its checksum and certificate-table entry zeroed, its table taken out."""
    kept = bytearray(image.data)
    kept[image.checksum_offset:image.checksum_offset + 4] = bytes(4)
    if image.certificate_entry is not None:
        kept[image.certificate_entry:image.certificate_entry + 8] = bytes(8)
    start, size = image.certificate_table
    del kept[start:start + size]
    return bytes(kept)


def place(image, offset):
    """Which part of the file an offset (below the certificate table) lies in."""
    if offset < image.headers_end:
        return "the headers"
    return next((f"section {s.name}" for s in image.sections
                 if s.raw_ptr <= offset < s.raw_ptr + s.raw_size), "no section")


def first_difference(shipped, built):
    """None if the covered parts are equal, else a sentence saying where they first differ."""
    if shipped.problem:
        return shipped.problem
    mine, theirs = covered(shipped), covered(built)
    at = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b), None)
    if at is None and len(mine) == len(theirs):
        return None
    if at is None:
        return (f"the build is {len(theirs)} bytes, the file {len(mine)} without its "
                f"signature; they agree up to byte {min(len(mine), len(theirs))}")
    # Offsets below the certificate table are the same in the file and in what it covers.
    return (f"first at byte {at} ({at:#x}) in {place(shipped, at)}: "
            f"{mine[at]:#04x} in the file, {theirs[at]:#04x} in the build")


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "check":
            problem = pe.load(argv[2]).problem
            if problem:
                print(pe.one_line(problem))
            return 1 if problem else 0
        if len(argv) == 4 and argv[1] == "compare":
            difference = first_difference(pe.load(argv[2]), pe.load(argv[3]))
            if difference:
                print(pe.one_line(difference))
            return 1 if difference else 0
    except pe.BadInput as error:
        print(error, file=sys.stderr)
        return 2
    print("usage: pe-covered.py check FILE | compare FILE BUILT", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
