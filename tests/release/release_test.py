#!/usr/bin/env python3
"""./release as a user would run it, each time on copies of the source as it stands.

  release_test.py reproducible|sign_and_check|bad_input|corpus SOURCE_DIR
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import pe  # noqa: E402  the one PE reader, which the program's file is read through

SOURCE = Path(sys.argv[2]).resolve() if len(sys.argv) == 3 else None
STATIC_CHECKS = "tests/static/check_shipped_pe.py"
# The tool's file name as the tests expect it (FLASHGATE_EXPECTED_TOOL in CMake).
TOOL = os.environ.get("FLASHGATE_EXPECTED_TOOL", "")
PASSWORD = "correct horse 41"
# What --check says after its verdict about the genuine signed program, and its last line.
SIGNED_BY_US = "signature: CN=FlashGate release test, its digest matches the file"
BUILT_WITH = r"built here with: (.*, )?g\+\+-mingw-w64-i686-posix \d[^,]*(, .*)?\n"
# A throwaway repository's one commit: the same however and wherever the test runs.
GIT_ENV = {"GIT_AUTHOR_NAME": "Release Test", "GIT_AUTHOR_EMAIL": "test@flashgate.invalid",
           "GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z", "GIT_CONFIG_GLOBAL": "/dev/null",
           "GIT_COMMITTER_NAME": "Release Test", "GIT_COMMITTER_EMAIL": "test@flashgate.invalid",
           "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z", "GIT_CONFIG_NOSYSTEM": "1"}


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def run(command, cwd, env=None, prefix=(), limit=None):
    """(exit status, stdout, stderr) of a command, with environment additions; past `limit`
    seconds it and all it started are killed, and the status is "timed out"."""
    with subprocess.Popen([*prefix, *map(str, command)], cwd=cwd, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env={**os.environ, **(env or {})}, start_new_session=True) as child:
        try:
            out, error = child.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            out, error = child.communicate()
            return "timed out", out, error
        return child.returncode, out, error


def copy_of_source(folder):
    """The source's files as they stand now, tracked or new, without build output."""
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        if (SOURCE / name).is_file():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE / name, folder / name)
    return folder


def throwaway_clone(folder):
    """A copy of the source, committed as one commit; its hash."""
    copy_of_source(folder)
    for command in (["init", "-q", "-b", "main"], ["add", "-A"],
                    ["commit", "-q", "-m", "release test"]):
        status, _, error = run(["git", *command], folder, GIT_ENV)
        expect(status == 0, f"git {command[0]}: {error}")
    return run(["git", "rev-parse", "HEAD"], folder, GIT_ENV)[1].strip()


def release(folder, *arguments, env=None, prefix=(), limit=None):
    return run([folder / "release", *arguments], folder, env, prefix, limit)


def expect_released(folder, outcome):
    """dist/ holds a program whose sums check and that passes the static checks."""
    status, out, error = outcome
    expect(status == 0, f"./release in {folder} exited {status}: {out}{error}")
    status, out, _ = run(["sha256sum", "-c", "SHA256SUMS"], folder / "dist")
    expect(status == 0 and out == "FlashGate.exe: OK\nBUILDINFO: OK\n", f"sha256sum -c: {out}")
    expect(re.match(r"commit .+\n(.*\n)*g\+\+-mingw-w64-i686-posix \d",
                    (folder / "dist/BUILDINFO").read_text()), "BUILDINFO names no compiler")
    status, out, _ = run([sys.executable, STATIC_CHECKS, folder / "dist/FlashGate.exe"], folder)
    expect(status == 0, f"static checks on {folder}/dist/FlashGate.exe:\n{out}")
    return (folder / "dist/FlashGate.exe").read_bytes()


def dist_state(folder):
    dist = folder / "dist"
    return sorted((p.name, p.read_bytes()) for p in dist.iterdir()) if dist.exists() else None


def make_certificate(folder):
    """A self-signed code-signing certificate in FILE.p12, and its password file."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=FlashGate release test", "-keyout", folder / "key.pem",
                    "-out", folder / "cert.pem", "-addext", "extendedKeyUsage=codeSigning"],
                   capture_output=True, check=True)
    (folder / "password").write_text(PASSWORD + "\n")
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", folder / "key.pem",
                    "-in", folder / "cert.pem", "-out", folder / "signer.p12",
                    "-passout", f"file:{folder / 'password'}"], capture_output=True, check=True)
    return folder / "signer.p12", folder / "password"


def test_reproducible(temp):
    """Two folders, one with a space in its path, some seconds apart: the same bytes, and
    nothing of either folder's path in them."""
    programs = []
    for name in ("rel a", "rel b"):
        folder = copy_of_source(temp / name)
        programs.append(expect_released(folder, release(folder)))
        time.sleep(1.5)  # a time stamp would now differ
    for name in ("rel a", "rel b"):
        print(f"{temp / name}/dist/SHA256SUMS:", (temp / name / "dist/SHA256SUMS").read_text(),
              end="")
    expect(programs[0] == programs[1], "two builds of the same source differ")
    # Released again over its dist/: the set is swapped whole and nothing is left beside it.
    folder = temp / "rel a"
    (folder / "dist/stale").write_text("from before\n")
    expect(expect_released(folder, release(folder)) == programs[0], "a rebuild differs")
    expect(sorted(p.name for p in (folder / "dist").iterdir()) ==
           ["BUILDINFO", "FlashGate.exe", "SHA256SUMS"], "dist/ was not replaced whole")
    expect(not list(folder.glob(".dist*")), "a staging folder is left")
    for leak in (str(temp), temp.name):
        for encoding in ("utf-8", "utf-16-le"):
            expect(leak.encode(encoding) not in programs[0], f"the program holds {leak!r}")


def test_sign_and_check(temp):
    """Signed without the network, accepted by osslsigncode; --check accepts the signed and
    the unsigned program and rejects one changed byte; uncommitted edits are not checked."""
    p12, password = make_certificate(temp)
    folder = temp / "clone"
    commit = throwaway_clone(folder)
    # Every osslsigncode and openssl command line ./release runs is recorded, as ps shows it.
    shims, log = temp / "shims", temp / "command-lines"
    shims.mkdir()
    for tool in ("osslsigncode", "openssl"):
        (shims / tool).write_text(f'#!/bin/sh\nprintf "%s\\n" "$*" >>"{log}"\n'
                                  f'exec {shutil.which(tool)} "$@"\n')
        (shims / tool).chmod(0o755)
    shimmed = {"PATH": f"{shims}:{os.environ['PATH']}"}
    offline = ("unshare", "--map-root-user", "--net")  # no network, not even loopback

    signed = expect_released(folder, release(folder, "--sign", p12, "--password-file",
                                             password, env=shimmed, prefix=offline))
    lines = log.read_text()
    expect(re.search(r"^sign -pkcs12 .* -readpass .* -h sha256 ", lines, re.M) and
           PASSWORD not in lines, f"command lines: {lines}")
    status, out, _ = run(["osslsigncode", "verify", "-CAfile", temp / "cert.pem",
                          "-in", folder / "dist/FlashGate.exe"], temp)
    expect(status == 0 and "Signature verification: ok" in out, f"verify: {out}")

    def check(file, expected_status, expected_text):
        status, out, error = release(folder, "--check", file)
        expect(status == expected_status and re.search(expected_text, out),
               f"--check {file} exited {status}: {out}{error}")
        return out

    check("dist/FlashGate.exe", 0, f"^dist/FlashGate.exe matches this source "
                                   f"\\(commit {commit}\\)\n{SIGNED_BY_US}\n{BUILT_WITH}$")
    unsigned = temp / "unsigned.exe"
    run(["osslsigncode", "remove-signature", "-in", folder / "dist/FlashGate.exe",
         "-out", unsigned], temp)
    # The caller's git converting line ends, by its settings or by attributes of the clone
    # alone, does not reach the build.
    (temp / "gitconfig").write_text("[core]\n\tautocrlf = true\n")
    (folder / ".git/info").mkdir(exist_ok=True)
    (folder / ".git/info/attributes").write_text("* text eol=crlf\n")
    status, out, error = release(folder, "--check", unsigned,
                                 env={"GIT_CONFIG_GLOBAL": temp / "gitconfig"})
    (folder / ".git/info/attributes").unlink()
    expect(status == 0 and "matches this source" in out, f"line ends: {out}{error}")
    tampered = bytearray(signed)
    tampered[0x500] ^= 0x01  # code: .text starts at 0x400
    (temp / "tampered.exe").write_bytes(tampered)
    check(temp / "tampered.exe", 1, r"does not match this source \(commit [0-9a-f]{40}\): "
                                    r"first at byte 1280 \(0x500\) in section \.text.*\n"
                                    r"signature: BROKEN \(its digest does not match the file\)\n")

    # An uncommitted change that alters the program: --check says so and builds the commit.
    rc_file = folder / "res/flashgate.rc"
    rc_file.write_text(rc_file.read_text().replace('"FileVersion", "1.00"',
                                                   '"FileVersion", "9.99"'))
    out = check("dist/FlashGate.exe", 0, "matches this source")
    expect(out.startswith("note: uncommitted changes are not checked"), out)

    # A signing that fails after the build (the time-stamp server cannot be reached) leaves
    # dist/ as it was.
    before = dist_state(folder)
    status, _, error = release(folder, "--sign", p12, "--password-file", password,
                               "--timestamp", "http://127.0.0.1:9/", env=shimmed,
                               prefix=offline)
    expect(status == 1 and error.startswith("release: signing failed: ") and
           "-ts http://127.0.0.1:9/ " in log.read_text(), error)
    expect(dist_state(folder) == before, "a failed signing changed dist/")
    # That build was of the edited tree: proof that the edit above changed the program.
    status, out, _ = run(["scripts/pe-covered.py", "compare", unsigned,
                          "build/release/src/FlashGate.exe"], folder)
    expect(status == 1, f"the edit did not change the program: {out}")


# (name, arguments, exit status, the one line ./release must say); {p12}, {password},
# {folder} and {temp} are filled in.
BAD_INPUTS = [
    ("unknown option", ["--frobnicate"], 2, "unknown option: --frobnicate"),
    ("option without its value", ["--sign"], 2, "--sign needs a value"),
    ("signing without a password", ["--sign", "{p12}"], 2, "--sign needs --password-file"),
    ("password without signing", ["--password-file", "{password}"], 2, "go with --sign"),
    ("an option twice", ["--check", "{p12}", "--check", "{p12}"], 2, "given twice"),
    ("missing .p12", ["--sign", "{temp}/none.p12", "--password-file", "{password}"], 2,
     "the certificate file .*/none.p12 does not exist"),
    ("unreadable .p12", ["--sign", "{temp}", "--password-file", "{password}"], 2,
     "the certificate file .* cannot be read"),
    ("not a .p12", ["--sign", "{password}", "--password-file", "{password}"], 2,
     "is not a PKCS#12 file"),
    ("wrong password", ["--sign", "{p12}", "--password-file", "{temp}/wrong"], 2,
     "wrong password for .*signer.p12"),
    ("missing password file", ["--sign", "{p12}", "--password-file", "{temp}/none"], 2,
     "the password file .*/none does not exist"),
    ("time stamp not a URL", ["--sign", "{p12}", "--password-file", "{password}",
                              "--timestamp", "tsa.example"], 2, "http:// or https:// URL"),
    ("check: missing file", ["--check", "{temp}/none.exe"], 2,
     "cannot read .*/none.exe: No such file"),
    ("check: not a PE program", ["--check", "{password}"], 2,
     "is not a PE program: it has no MZ header"),
    ("check: MZ but no PE", ["--check", "{temp}/mz.exe"], 2,
     "is not a PE program: it has no PE signature"),
    ("check: with --sign", ["--check", "{temp}/mz.exe", "--sign", "{p12}"], 2, "goes alone"),
    ("check: not a clone", ["--check", "{folder}/dist/FlashGate.exe"], 2, "a git clone"),
    ("password file of two lines", ["--sign", "{p12}", "--password-file", "{temp}/two"], 2,
     "the password file .*/two must hold exactly one line"),
    ("check: a name that forges a line",
     ["--check", "{temp}/x\nx.exe matches this source (commit 0000)"], 2,
     r"cannot read \$'.*/x\\x0ax.exe matches this source \(commit 0000\)'"),
    ("check: /dev/zero", ["--check", "/dev/zero"], 2, "/dev/zero is not a regular file"),
    ("check: a FIFO", ["--check", "{temp}/fifo"], 2, "fifo is not a regular file"),
]


def smallest_pe():
    """Headers alone: a PE32 program as far as --check looks before it builds."""
    data = bytearray(0x200)
    data[:2], data[0x3C:0x40], data[0x40:0x44] = b"MZ", (0x40).to_bytes(4, "little"), b"PE\0\0"
    struct.pack_into("<HH12xHH", data, 0x44, 0x14C, 0, 0xE0, 0x102)
    struct.pack_into("<H90xI", data, 0x58, 0x10B, 16)
    return data


def test_bad_input(temp):
    """Each bad input: its one line, exit status 2, dist/ untouched, nothing built."""
    p12, password = make_certificate(temp)
    (temp / "wrong").write_text("not the password\n")
    (temp / "two").write_text(PASSWORD + "\nand a second line\n")
    os.mkfifo(temp / "fifo")
    (temp / "mz.exe").write_bytes(b"MZ" + bytes(0x3A) + (0x1000).to_bytes(4, "little"))
    folder = copy_of_source(temp / "source")
    (folder / "dist").mkdir()
    # A PE program as an earlier release, so that only the missing clone is wrong in the
    # last case.
    (folder / "dist/FlashGate.exe").write_bytes(smallest_pe())
    (folder / "dist/SHA256SUMS").write_text("from an earlier release\n")
    before = dist_state(folder)
    problems = []
    for name, arguments, expected_status, expected_line in BAD_INPUTS:
        filled = [a.format(p12=p12, password=password, folder=folder, temp=temp)
                  for a in arguments]
        status, out, error = release(folder, *filled, limit=60)
        if not (status == expected_status and out == "" and error.count("\n") == 1 and
                re.match(f"release: .*{expected_line}", error)):
            problems.append(f"{name}: exited {status}, said {out + error!r}")
    expect(not problems, "\n".join(problems))
    expect(dist_state(folder) == before, "dist/ changed")
    expect(not (folder / "build/release").exists(), "something was built")


def u32(data, at, value=None):
    """The little-endian 32-bit number at `at`; with a value, that number written there."""
    if value is not None:
        struct.pack_into("<I", data, at, value)
    return struct.unpack_from("<I", data, at)[0]


def entry_of(data):
    """The offset of a program's certificate-table entry (its table's offset and size)."""
    return pe.Image(bytes(data)).certificate_entry


def table(data):
    """(certificate-table entry offset, table start) of a signed PE32 program."""
    entry = entry_of(data)
    return entry, u32(data, entry)


def der_tree(data):
    """[tag, contents] of the DER object at the start of data, contents a list of trees
    where it is constructed."""
    tag, length, at = data[0], data[1], 2
    if length & 0x80:
        length, at = int.from_bytes(data[2:2 + (length & 0x7F)], "big"), 2 + (length & 0x7F)
    body = data[at:at + length]
    if not tag & 0x20:
        return [tag, body]
    children, at = [], 0
    while at < len(body):
        children.append(der_tree(body[at:]))
        at += len(der(children[-1]))
    return [tag, children]


def der(tree):
    """A tree's DER encoding, every length made right."""
    tag, contents = tree
    body = b"".join(map(der, contents)) if isinstance(contents, list) else contents
    if len(body) < 0x80:
        length = bytes([len(body)])
    else:
        size = len(body).to_bytes((len(body).bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + length + body


def signature_tree(data):
    """The tree of a signed program's PKCS#7 object."""
    return der_tree(data[table(data)[1] + 8:])


def with_signature(data, signature):
    """data with its one certificate entry holding `signature`, the sizes made right."""
    entry, start = table(data)
    slot = (8 + len(signature) + 7) // 8 * 8
    out = bytearray(data[:start]) + struct.pack("<IHH", 8 + len(signature), 0x0200, 2)
    out += signature + bytes(slot - 8 - len(signature))
    struct.pack_into("<II", out, entry, start, slot)
    return out


def edited_signer(edit):
    """Our signed program with edit() applied to its one SignerInfo's list of fields."""
    def make(genuine):
        tree = signature_tree(genuine["signed"])
        signed_data = tree[1][1][1][0]  # ContentInfo, [0], SignedData
        edit(signed_data[1][-1][1][0][1])  # signerInfos, the SignerInfo
        return with_signature(genuine["signed"], der(tree))
    return make


def digests_emptied(genuine):
    tree = signature_tree(genuine["signed"])
    tree[1][1][1][0][1][1][1].clear()  # SignedData's digestAlgorithms
    return with_signature(genuine["signed"], der(tree))


def evil(data):
    """The program changed as an attacker would: it starts another tool."""
    expect(len(TOOL) > 8, f"FLASHGATE_EXPECTED_TOOL names no tool: {TOOL!r}")
    # As long as the tool's name, so that nothing else in the file moves.
    tool = TOOL.encode("utf-16-le")
    other = f"Evil{'1' * (len(TOOL) - 8)}.exe".encode("utf-16-le")
    expect(data.count(tool) == 1, "the tool's name is not in the program once")
    return bytearray(data.replace(tool, other))


def inserted_sections(genuine):
    """A changed copy of the sections right after the headers, where Windows maps them
    from; the entry points at the copy and the genuine sections follow it."""
    data = bytearray(genuine["unsigned"])
    image = pe.Image(bytes(data))
    entry, headers = image.certificate_entry, image.headers_end
    copy = evil(data)[headers:]
    struct.pack_into("<II", data, entry, headers, len(copy))
    return data[:headers] + copy + data[headers:]


def program_in_front(genuine):
    """A whole changed program first, its entry over itself; the genuine program after."""
    front, back = evil(genuine["unsigned"]), bytearray(genuine["unsigned"])
    struct.pack_into("<II", front, entry_of(front), 0, len(front))
    u32(back, pe.Image(bytes(back)).checksum_offset, 0)  # what --check zeroes in the build
    return front + back


def grown_table(genuine, extra, entry_too):
    """The signed program with `extra` bytes at the end of its certificate table, counted
    by the table's size and, with entry_too, by its one entry's dwLength too."""
    data = bytearray(genuine["signed"])
    entry = entry_of(data)
    start = u32(data, entry)
    u32(data, entry + 4, u32(data, entry + 4) + len(extra))
    if entry_too:
        u32(data, start, u32(data, start) + len(extra))
    return data + extra


def renamed_section(name):
    """The unsigned program with its first section named `name` and its raw data said to
    start at 0, so that the first difference, the name, lies "in" that section."""
    def make(genuine):
        data = bytearray(genuine["unsigned"])
        table = pe.Image(bytes(data)).section_table
        data[table:table + 8] = name.ljust(8, b"\0")
        u32(data, table + 20, 0)  # PointerToRawData
        return data
    return make


def second_entry(genuine):
    """Our signed program with the attacker's whole entry after ours in the table."""
    data, theirs = bytearray(genuine["signed"]), genuine["resigned"]
    entry = entry_of(data)
    start, size = struct.unpack_from("<II", theirs, entry_of(theirs))
    u32(data, entry + 4, u32(data, entry + 4) + size)
    return data + theirs[start:start + size]


def fake_entry(genuine):
    """A payload appended to the unsigned program, dressed as a certificate entry."""
    data = bytearray(genuine["unsigned"])
    der = b"\x30\x42\x04\x40" + b"payload!" * 8  # a SEQUENCE holding an OCTET STRING
    table = struct.pack("<IHH", 80, 0x0200, 2) + der + bytes(80 - 8 - len(der))
    struct.pack_into("<II", data, entry_of(data), len(data), len(table))
    return data + table


def corrupted_certificate(genuine):
    """One bit changed at the end of our certificate inside the signature: its own
    signature value."""
    data = bytearray(genuine["signed"])
    at = data.find(genuine["certificate"])
    expect(at > 0, "our certificate is not in the signed program")
    data[at + len(genuine["certificate"]) - 3] ^= 0x01
    return data


def corrupted(genuine):
    """One bit changed near the end of the PKCS#7 object: its signature value."""
    data = bytearray(genuine["signed"])
    start = u32(data, entry_of(data))
    expect(data[start + 8:start + 10] == b"\x30\x82", "an unexpected PKCS#7 header")
    data[start + 12 + int.from_bytes(data[start + 10:start + 12], "big") - 5] ^= 0x01
    return data


MATCHES, DIFFERS = r"matches this source \(commit [0-9a-f]{40}\)\n", \
    r"does not match this source \(commit [0-9a-f]{40}\): "
ATTACKER = "signature: CN=attacker, its digest matches the file"
# (name, how the file is made from the genuine ones, exit status, what --check must say
# after the file's name and before the toolchain line).
CORPUS = [
    ("genuine, signed", lambda g: g["signed"], 0, f"{MATCHES}{SIGNED_BY_US}\n"),
    ("genuine, unsigned", lambda g: g["unsigned"], 0, f"{MATCHES}signature: none\n"),
    ("inserted sections, the entry pointing at them", inserted_sections, 1,
     DIFFERS + r"its certificate table at 0x400 lies inside the headers or a section .*\n"
     r"signature: BROKEN \(its certificate table at 0x400 lies inside"),
    ("a changed program in front, the entry at offset 0", program_in_front, 1,
     DIFFERS + r"its certificate table at 0x0 lies inside the headers or a section"),
    ("CVE-2013-3900: a payload inside the entry", lambda g: grown_table(
        g, b"payload!" * 4, True), 1, DIFFERS + r"its certificate entry at 0x[0-9a-f]+ "
     r"holds 3[23] bytes after its DER object, not up to 7 zero bytes of padding\n"),
    ("junk after the PKCS#7 entry", lambda g: grown_table(g, b"junk" * 4, False), 1,
     DIFFERS + r"its certificate table holds more than one entry: 16 bytes follow the first "
     r"at 0x[0-9a-f]+; a signer writes one\n"),
    ("a dwLength of 0x7fffffff", lambda g: corrupted_length(g), 1,
     DIFFERS + r"its certificate entry at 0x[0-9a-f]+ declares 2147483647 bytes, "),
    ("a second entry, the attacker's, after ours", second_entry, 1,
     DIFFERS + r"its certificate table holds more than one entry: \d+ bytes follow the first "
     r"at 0x[0-9a-f]+; a signer writes one\nsignature: BROKEN \(its certificate table holds "
     r"more than one entry"),
    # A name from the file is escaped: it cannot end the line or erase it.
    ("a section named with a newline", renamed_section(b".te\nxt"), 1,
     DIFFERS + r"first at byte \d+ \(0x[0-9a-f]+\) in section \.te\\nxt: 0x0a in the "
     r"file, 0x78 in the build\nsignature: none\n"),
    ("a section name that erases the line", renamed_section(b"\r\x1b[2K.tx"), 1,
     DIFFERS + r"first at byte \d+ \(0x[0-9a-f]+\) in section \\r\\x1b\[2K\.tx: "
     r"0x0d in the file, 0x2e in the build\nsignature: none\n"),
    ("a section named with a NUL", renamed_section(b".t\0xt"), 1,
     DIFFERS + r"first at byte \d+ \(0x[0-9a-f]+\) in section \.t\\x00xt: 0x00 in the "
     r"file, 0x65 in the build\nsignature: none\n"),
    ("digest algorithms emptied", digests_emptied, 1, DIFFERS + r"a signature in it is "
     r"broken.*\nsignature: BROKEN \(its digest algorithms are not its signer's alone\)\n"),
    ("an element after the signer's signature value", edited_signer(
        lambda fields: fields.append([0x05, b""])), 1, DIFFERS + r"a signature in it is "
     r"broken.*\nsignature: BROKEN \(its signer is not version, issuer and serial, digest, "
     r"signed attributes, signature and unsigned attributes alone\)\n"),
    # An RFC 3161 token, empty: nothing verifies a time stamp, and the line says so.
    ("a time stamp", edited_signer(lambda fields: fields.append([0xA1, [[0x30, [
        [0x06, bytes.fromhex("2b060104018237030301")], [0x31, [[0x30, []]]]]]]])), 0,
     f"{MATCHES}{SIGNED_BY_US}; its time stamp is not verified\n"),
    ("a made-up entry on the unsigned program", fake_entry, 1,
     DIFFERS + r"a signature in it is broken; no one should run it\n"
     r"signature: BROKEN \(it is not an Authenticode PKCS#7 signed-data object\)\n"),
    ("a corrupted signature", corrupted, 1, DIFFERS + r"a signature in it is broken.*\n"
     r"signature: BROKEN \(its signer's signature does not verify\)\n"),
    ("a corrupted certificate", corrupted_certificate, 1, DIFFERS + r"a signature in it is "
     r"broken.*\nsignature: BROKEN \(its certificate for CN=FlashGate release test does not "
     r"verify\)\n"),
    # osslsigncode's own unsigned blob: Windows ignores unsigned attributes it does not know.
    ("a payload in an unsigned attribute", lambda g: g["blob"], 0,
     f"{MATCHES}{SIGNED_BY_US}; it carries unsigned data of type 1\\.3\\.6\\.1\\.4\\.1\\."
     f"42921\\.1\\.2\\.1, which no signature covers\n"),
    ("re-signed by another certificate", lambda g: g["resigned"], 0,
     f"{MATCHES}{ATTACKER}\n"),
    ("a second signature nested in ours", lambda g: g["nested"], 0,
     f"{MATCHES}{SIGNED_BY_US}\n{ATTACKER}\n"),
]


def corrupted_length(genuine):
    data = bytearray(genuine["signed"])
    u32(data, u32(data, entry_of(data)), 0x7FFFFFFF)
    return data


def test_corpus(temp):
    """An attacker's files, made from a fresh signed build: each gets its verdict, and what
    --check says about who signed it."""
    p12, password = make_certificate(temp)
    folder = temp / "clone"
    throwaway_clone(folder)
    status, out, error = release(folder, "--sign", p12, "--password-file", password)
    expect(status == 0, f"./release --sign exited {status}: {out}{error}")
    files = {"signed": folder / "dist/FlashGate.exe"}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=attacker", "-keyout", temp / "attacker.key",
                    "-out", temp / "attacker.pem"], capture_output=True, check=True)
    attacker = ["-certs", temp / "attacker.pem", "-key", temp / "attacker.key", "-h", "sha256"]
    for name, command in (
            ("unsigned", ["remove-signature", "-in", files["signed"]]),
            ("resigned", ["sign", *attacker, "-in", temp / "unsigned.exe"]),
            ("nested", ["sign", *attacker, "-nest", "-in", files["signed"]]),
            ("blob", ["add", "-addUnauthenticatedBlob", "-in", files["signed"]])):
        files[name] = temp / f"{name}.exe"
        status, out, error = run(["osslsigncode", *command, "-out", files[name]], temp)
        expect(status == 0, f"osslsigncode {command[0]}: {out}{error}")
    genuine = {name: file.read_bytes() for name, file in files.items()}
    genuine["certificate"] = subprocess.run(
        ["openssl", "x509", "-in", temp / "cert.pem", "-outform", "DER"],
        capture_output=True, check=True).stdout
    problems = []
    for number, (name, make, expected_status, expected) in enumerate(CORPUS):
        file = temp / f"row{number}.exe"
        file.write_bytes(make(genuine))
        status, out, error = release(folder, "--check", file, limit=300)
        print(f"{name}: exited {status}\n{out}{error}", end="")
        if not (status == expected_status and
                re.fullmatch(f"{re.escape(str(file))} {expected}.*{BUILT_WITH}", out, re.S)):
            problems.append(f"{name}: exited {status}, said {out + error!r}")
    expect(not problems, "\n".join(problems))


def main():
    test = globals().get(f"test_{sys.argv[1]}") if len(sys.argv) == 3 else None
    if test is None:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    with tempfile.TemporaryDirectory(prefix="flashgate-release-") as temp:
        try:
            test(Path(temp))
        except AssertionError as failure:
            print(f"FAIL: {failure}")
            return 1
    print(f"ok: {sys.argv[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
