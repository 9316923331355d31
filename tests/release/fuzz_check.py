#!/usr/bin/env python3
"""A differential fuzz test of what ./release --check runs on a file: the comparison
(scripts/pe-covered.py) and the signature reader (scripts/signatures.py).

  fuzz_check.py SOURCE_DIR [CASES [SEED]]     default: 300 cases, seed 1

One fresh signed build of the source (and a copy with a second signer's signature nested in
ours) is changed by one operator a case, chosen by the seed; each case must hold:
  - "matches" only where the headers, section table and every section's raw data are the
    build's;
  - each line saying a signature holds is one that osslsigncode verify accepts for that
    signature, given the signers' certificates as CA (a time-out is a failure), except where
    the line carries a note of KNOWN or osslsigncode dies by a signal (counted apart);
  - every output is lines of printable text, exit 0, 1 or 2, no traceback, no hang.
A failing case prints its seed, its number and the Python that rebuilds it.
"""

import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

import release_test as rt

LIMIT = 30  # seconds for any one command
# Lines that say a signature holds and osslsigncode rejects, by the note that explains it.
KNOWN = {
    "its time stamp is not verified":
        "osslsigncode rejects a signature whose time stamp fails; the line says that the "
        "time stamp was not checked and vouches for the rest",
    "is not in it, so nothing here checks that certificate":
        "osslsigncode checks the certificate against the CA it is given; the signature does "
        "not hold the certificate's issuer, and the line says so",
}
HOLDS = re.compile(r"signature: .*, its digest matches the file((?:; [^;]*)*)")


def nodes(tree):
    """Every node of a tree, the root first, each with its parent (None for the root)."""
    found, todo = [], [(tree, None)]
    while todo:
        node, parent = todo.pop()
        found.append((node, parent))
        if isinstance(node[1], list):
            todo += [(child, node) for child in node[1]]
    return found


def tree_edit(edit):
    """An operator that edits the signature's tree in place and rewrites the entry."""
    def operator(rng, data, bases):
        tree = rt.signature_tree(data)
        edit(rng, tree, rng.choice([n for n in nodes(tree) if n[1] is not None]))
        return rt.with_signature(data, rt.der(tree))
    return operator


def delete(rng, tree, picked):
    node, parent = picked
    parent[1].remove(node)


def duplicate(rng, tree, picked):
    node, parent = picked
    parent[1].insert(parent[1].index(node), rt.der_tree(rt.der(node)))


def append_element(rng, tree, picked):
    constructed = [n for n, _ in nodes(tree) if isinstance(n[1], list)]
    rng.choice(constructed)[1].append(rng.choice([[0x05, b""], [0x02, b"\x01"],
                                                  [0xA1, [[0x05, b""]]], [0x04, b"junk"]]))


def replace(rng, tree, picked):
    node, parent = picked
    other = rt.der_tree(rt.der(rng.choice(nodes(tree))[0]))  # a copy: it may hold the node
    parent[1][parent[1].index(node)] = other


def empty(rng, tree, picked):
    node, _ = picked
    node[1] = [] if isinstance(node[1], list) else b""


def change_oid(rng, tree, picked):
    oids = [n for n, _ in nodes(tree) if n[0] == 0x06 and n[1]]
    node = rng.choice(oids)
    node[1] = rng.choice([node[1][:-1] + bytes([node[1][-1] ^ rng.randrange(1, 4)]),
                          rng.choice(oids)[1]])


def flip(start_of):
    """An operator that flips one bit at or after start_of(data)."""
    def operator(rng, data, bases):
        out = bytearray(data)
        out[rng.randrange(start_of(out), len(out))] ^= 1 << rng.randrange(8)
        return out
    return operator


def length_byte(rng, data, bases):
    """A DER length in the signature changed, nothing else made right."""
    out, start = bytearray(data), rt.table(data)[1] + 8
    at = rng.randrange(start, len(out) - 1)
    while out[at] not in (0x30, 0x31, 0xA0, 0xA1, 0x04, 0x06, 0x02):
        at = rng.randrange(start, len(out) - 1)
    out[at + 1] = rng.choice([out[at + 1] ^ 1 << rng.randrange(8), 0x80, 0x81, 0x84, 0xFF])
    return out


def field(where, fmt, values):
    """An operator that writes one of `values` (or a random number) at where(rng, data)."""
    def operator(rng, data, bases):
        out = bytearray(data)
        struct.pack_into(fmt, out, where(rng, out), rng.choice(
            [*values, rng.randrange(256 ** struct.calcsize(fmt))]))
        return out
    return operator


def section_header(rng, data, bases):
    """A field of one section header changed: its name (control characters too), sizes or
    offsets."""
    out = bytearray(data)
    optional = rt.u32(out, 0x3C) + 24
    count, size = struct.unpack_from("<H", out, optional - 18)[0], \
        struct.unpack_from("<H", out, optional - 4)[0]
    header = optional + size + 40 * rng.randrange(count)
    if rng.random() < 0.5:
        out[header:header + 8] = bytes(rng.choice(b".textr\n\r\x1b\0[K2\x7f\xff")
                                       for _ in range(8))
        if rng.random() < 0.5:  # its raw data said to start at 0: the name lies "in" it
            rt.u32(out, header + 20, 0)
    else:
        at = header + rng.choice([8, 12, 16, 20])
        rt.u32(out, at, max(0, rt.u32(out, at) + rng.choice([-0x200, -1, 1, 0x200, 0x1000])))
    return out


def second_entry(rng, data, bases):
    """A second entry, ours or the nested copy's, after the first."""
    other = rng.choice(list(bases.values()))
    entry, start = rt.table(other)
    extra = other[start:start + rt.u32(other, entry + 4)]
    out = bytearray(data)
    rt.u32(out, rt.table(out)[0] + 4, rt.u32(out, rt.table(out)[0] + 4) + len(extra))
    return out + extra


def splice(rng, data, bases):
    """The other base's signature, or one of its subtrees, in place of ours."""
    theirs = rt.signature_tree(rng.choice(list(bases.values())))
    tree = rt.signature_tree(data)
    node, parent = rng.choice([n for n in nodes(tree) if n[1] is not None])
    other = rng.choice([n for n, _ in nodes(theirs) if n[0] == node[0]] or [theirs])
    parent[1][parent[1].index(node)] = other
    return rt.with_signature(data, rt.der(tree))


def truncate(rng, data, bases):
    return data[:rng.randrange(len(data))]


def overlay(rng, data, bases):
    """Bytes after the table, counted by its size or not."""
    extra = bytes(rng.randrange(256) for _ in range(rng.choice([1, 8, 64])))
    out = bytearray(data) + extra
    if rng.random() < 0.5:
        entry = rt.table(out)[0]
        rt.u32(out, entry + 4, rt.u32(out, entry + 4) + len(extra))
    return out


OPERATORS = {  # name: function(rng, a base's bytes, every base) -> the case's bytes
    "bit flip anywhere": flip(lambda data: 0),
    "bit flip in the signature": flip(lambda data: rt.table(data)[1] + 8),
    "DER element deleted": tree_edit(delete),
    "DER element doubled": tree_edit(duplicate),
    "DER element appended": tree_edit(append_element),
    "DER element replaced by another": tree_edit(replace),
    "DER element emptied": tree_edit(empty),
    "OID changed": tree_edit(change_oid),
    "DER length changed": length_byte,
    "signature spliced": splice,
    "WIN_CERTIFICATE dwLength": field(lambda r, d: rt.table(d)[1], "<I",
                                      [0, 7, 8, 0x7FFFFFFF]),
    "WIN_CERTIFICATE revision and type": field(lambda r, d: rt.table(d)[1] + 4, "<I",
                                               [0x00020100, 0x00010200, 0x00020000]),
    "security directory offset": field(lambda r, d: rt.table(d)[0], "<I", [0, 0x400, 8]),
    "security directory size": field(lambda r, d: rt.table(d)[0] + 4, "<I",
                                     [0, 8, 0xFFFFFFFF]),
    "second certificate entry": second_entry,
    "section header": section_header,
    # The file header and PE32's optional header with its data directories.
    "PE header byte": field(lambda r, d: rt.u32(d, 0x3C) + r.randrange(248), "<B", [0, 0xFF]),
    "truncated": truncate,
    "overlay": overlay,
}


def case(seed, number, bases):
    """(operator, bytes) of case `number`: each case has its own generator, so that any
    one can be rebuilt alone."""
    rng = random.Random(f"{seed}:{number}")
    name = rng.choice(sorted(OPERATORS))
    return name, bytes(OPERATORS[name](rng, bases[rng.choice(sorted(bases))], bases))


def bases_in(folder):
    return {path.stem: path.read_bytes() for path in sorted(Path(folder).glob("*.exe"))}


def mapped(data):
    """What Windows maps from a PE32 file: its headers but the checksum and certificate-table
    entry, and each section's header and raw data; None where it cannot be read."""
    try:
        optional = rt.u32(data, 0x3C) + 24
        count, size = struct.unpack_from("<H", data, optional - 18)[0], \
            struct.unpack_from("<H", data, optional - 4)[0]
        headers = bytearray(data[:rt.u32(data, optional + 60)])
        for at, width in ((optional + 64, 4), (optional + 128, 8)):
            headers[at:at + width] = bytes(len(headers[at:at + width]))
        sections = [struct.unpack_from("<40s", data, optional + size + 40 * i)[0]
                    for i in range(count)]
        return bytes(headers), [(s, data[rt.u32(s, 20):rt.u32(s, 20) + rt.u32(s, 16)])
                                for s in sections]
    except struct.error:
        return None


def accepted(file, ca):
    """For each signature osslsigncode verify reads in file, whether it accepts it; or
    "timed out", or "crashed" where it dies by a signal. osslsigncode 2.9 segfaults on some
    files whose nested signature is malformed (its content not a PE image's, say): no
    verdict to compare with, so those cases are counted apart, and the lines are held to
    the rules alone."""
    status, out, _ = rt.run(["osslsigncode", "verify", "-CAfile", ca, "-in", file],
                            file.parent, limit=LIMIT)
    if status == "timed out" or status < 0:
        return "timed out" if status == "timed out" else "crashed"
    return ["Signature verification: ok" in block for block in out.split("Signature Index: ")[1:]]


def judge(file, source, built, build_map, ca):
    """(verdict, failures, remarks) of one case: verdict "matches", "does not match" or
    "exit 2"; remarks "known difference" and "osslsigncode crashed", where they apply."""
    failures, remarks = [], []
    # By this interpreter, not through a version manager's shim: a case a third faster.
    outcomes = [rt.run([sys.executable, source / "scripts" / script, *arguments],
                       file.parent, limit=LIMIT)
                for script, arguments in (("pe-covered.py", ["compare", file, built]),
                                          ("signatures.py", [file]))]
    for (status, out, error), script in zip(outcomes, ("compare", "signatures")):
        if status not in (0, 1, 2) or "Traceback" in error:
            failures.append(f"{script} exited {status}: {error[-300:]!r}")
        # Split at newlines alone: splitlines() would also split at \r and \x1c, hiding them.
        if not all(line.isprintable() for line in (out + error).split("\n")):
            failures.append(f"{script} printed a line that is not printable text: {out!r}")
    (compared, difference, _), (signed, lines, _) = outcomes
    if failures:
        return "failed", failures, remarks
    if 2 in (compared, signed):
        return "exit 2", [], remarks
    if difference.count("\n") > 1 or not all(line.startswith("signature: ")
                                             for line in lines.splitlines()):
        failures.append(f"a verdict of more than one line: {difference + lines!r}")
    verdict = "matches" if compared == signed == 0 else "does not match"
    if verdict == "matches" and mapped(file.read_bytes()) != build_map:
        failures.append("matches, but what Windows maps is not the build's")
    holding = [(i, HOLDS.fullmatch(line)) for i, line in enumerate(lines.splitlines())]
    holding = [(i, match.group(1)) for i, match in holding if match]
    if holding:
        verdicts = accepted(file, ca)
        for i, notes in holding:
            if verdicts in ("timed out", "crashed"):
                if verdicts == "timed out":
                    failures.append(f"osslsigncode timed out on signature {i}")
                remarks.append(f"osslsigncode {verdicts}")
            elif i < len(verdicts) and verdicts[i]:
                continue
            elif any(note in notes for note in KNOWN):
                remarks.append("known difference")
            else:
                failures.append(f"signature {i} holds here, osslsigncode rejects it: "
                                f"{lines.splitlines()[i]}")
    return verdict, failures, sorted(set(remarks))


def main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit(__doc__.strip().splitlines()[3].strip())
    source = Path(sys.argv[1]).resolve()
    cases = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    rt.SOURCE = source
    temp = Path(tempfile.mkdtemp(prefix="flashgate-fuzz-"))
    p12, password = rt.make_certificate(temp)
    folder = temp / "clone"
    rt.throwaway_clone(folder)
    status, out, error = rt.release(folder, "--sign", p12, "--password-file", password)
    rt.expect(status == 0, f"./release --sign exited {status}: {out}{error}")
    bases_dir = temp / "bases"
    bases_dir.mkdir()
    shutil.copy(folder / "dist/FlashGate.exe", bases_dir / "signed.exe")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=second signer", "-keyout", temp / "second.key",
                    "-out", temp / "second.pem"], capture_output=True, check=True)
    status, out, error = rt.run(["osslsigncode", "sign", "-certs", temp / "second.pem", "-key",
                                 temp / "second.key", "-h", "sha256", "-nest", "-in",
                                 bases_dir / "signed.exe", "-out", bases_dir / "nested.exe"],
                                temp)
    rt.expect(status == 0, f"osslsigncode sign -nest: {out}{error}")
    ca = temp / "ca.pem"
    ca.write_text((temp / "cert.pem").read_text() + (temp / "second.pem").read_text())
    built = folder / "build/release/src/FlashGate.exe"
    build_map = mapped(built.read_bytes())
    bases = bases_in(bases_dir)
    counts = {name: Counter() for name in OPERATORS}
    failed = 0
    for number in range(cases):
        name, data = case(seed, number, bases)
        file = temp / "case.exe"
        file.write_bytes(data)
        verdict, failures, remarks = judge(file, source, built, build_map, ca)
        counts[name].update(["cases", verdict, *remarks] + ["failures"] * bool(failures))
        if failures:
            failed += 1
            print(f"FAIL: seed {seed}, case {number} ({name}):", *failures, sep="\n  ")
            print(f"  rebuild it:\n    import sys; sys.path.insert(0, '{Path(__file__).parent}')\n"
                  f"    from fuzz_check import case, bases_in\n"
                  f"    name, data = case({seed}, {number}, bases_in('{bases_dir}'))\n"
                  f"    open('case.exe', 'wb').write(data)")
    columns = ["cases", "matches", "does not match", "exit 2", "failures", "known difference",
               "osslsigncode crashed", "osslsigncode timed out"]
    print(f"seed {seed}, {cases} cases\n| operator | " + " | ".join(columns) + " |")
    for name, count in [*counts.items(), ("all", sum(counts.values(), Counter()))]:
        print(f"| {name} | " + " | ".join(str(count[c]) for c in columns) + " |")
    if failed:
        print(f"the signed builds stay in {bases_dir} to rebuild the failing cases")
        shutil.rmtree(folder)
    else:
        shutil.rmtree(temp)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
