#!/usr/bin/python3
"""./release as a user would run it, each time on copies of the source as it stands.

  release_test.py reproducible|sign_and_check|bad_input|corpus SOURCE_DIR
"""

import concurrent.futures
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

import pefile
from asn1crypto import cms

SOURCE = Path(sys.argv[2]).resolve() if len(sys.argv) == 3 else None
STATIC_CHECKS = "tests/static/check_shipped_pe.py"
# The tool's file name as the tests expect it (FLASHGATE_EXPECTED_TOOL in CMake).
TOOL = os.environ.get("FLASHGATE_EXPECTED_TOOL", "")
PASSWORD = "correct horse 41"
# A signature's line: its subject, then its signer's certificate by its SHA-256 fingerprint
# (filled in as openssl prints it), then the verdict.
SIGNATURE = "signature: {subject} \\(sha256 {fingerprint} of the signer's certificate\\): "
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


def openssl(*arguments):
    return subprocess.run(["openssl", *map(str, arguments)], capture_output=True,
                          check=True).stdout


# Keys for the certificates: P-256, which openssl makes at once, for the attacker's and the
# certificate authorities'; RSA, which may take it a second, for our own, as a vendor's.
EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
RSA_KEY = ["-newkey", "rsa:2048"]


def certificate(folder, name, subject, issuer=None, extensions=(), key=EC_KEY):
    """NAME.pem and NAME.key: a certificate for `subject`, self-signed or, with an issuer's
    name, signed by that issuer's NAME.pem and NAME.key; its fingerprint as openssl says."""
    pem, key_file = folder / f"{name}.pem", folder / f"{name}.key"
    extra = [a for extension in extensions for a in ("-addext", extension)]
    if issuer is None:
        openssl("req", "-x509", *key, "-nodes", "-days", "2", "-subj", subject,
                "-keyout", key_file, "-out", pem, *extra)
    else:
        (folder / f"{name}.ext").write_text("\n".join(extensions) + "\n")
        openssl("req", "-new", *key, "-nodes", "-subj", subject,
                "-keyout", key_file, "-out", folder / f"{name}.csr")
        openssl("x509", "-req", "-in", folder / f"{name}.csr", "-days", "2",
                "-CA", folder / f"{issuer}.pem", "-CAkey", folder / f"{issuer}.key",
                "-set_serial", "41", "-extfile", folder / f"{name}.ext", "-out", pem)
    said = openssl("x509", "-in", pem, "-noout", "-fingerprint", "-sha256").decode()
    return re.fullmatch(r"(?i)sha256 Fingerprint=([0-9A-F:]{95})\n", said).group(1)


def expired_certificate(folder):
    """expired.pem and expired.key: a self-signed code-signing certificate valid for two
    days of January 2020 (openssl ca alone sets past dates); its fingerprint."""
    (folder / "index.txt").write_text("")
    (folder / "serial").write_text("01\n")
    (folder / "ca.cnf").write_text(
        "[ca]\ndefault_ca = past\n[past]\ndatabase = index.txt\nnew_certs_dir = .\n"
        "serial = serial\ndefault_md = sha256\npolicy = any\nx509_extensions = signer\n"
        "[any]\ncommonName = supplied\n[signer]\nextendedKeyUsage = codeSigning\n")
    openssl("req", "-new", *EC_KEY, "-nodes", "-subj", "/CN=expired signer",
            "-keyout", folder / "expired.key", "-out", folder / "expired.csr")
    subprocess.run(["openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile",
                    "expired.key", "-in", "expired.csr", "-startdate", "20200101000000Z",
                    "-enddate", "20200103000000Z", "-out", "expired.pem"], cwd=folder,
                   capture_output=True, check=True)
    said = openssl("x509", "-in", folder / "expired.pem", "-noout", "-fingerprint", "-sha256")
    return re.fullmatch(r"(?i)sha256 Fingerprint=([0-9A-F:]{95})\n", said.decode()).group(1)


def make_certificate(folder):
    """A self-signed code-signing certificate as a vendor makes one, whose keyUsage allows
    no certificate signing, in FILE.p12; its password file, and its fingerprint."""
    fingerprint = certificate(folder, "cert", "/CN=FlashGate release test", key=RSA_KEY,
                              extensions=["keyUsage=critical,digitalSignature",
                                          "extendedKeyUsage=codeSigning"])
    (folder / "password").write_text(PASSWORD + "\n")
    openssl("pkcs12", "-export", "-inkey", folder / "cert.key", "-in", folder / "cert.pem",
            "-out", folder / "signer.p12", "-passout", f"file:{folder / 'password'}")
    return folder / "signer.p12", folder / "password", fingerprint


def test_reproducible(temp):
    """Two folders, one with a space in its path, built one after the other: the same
    bytes, and nothing of either folder's path in them. The second is released over an
    earlier dist/, which is swapped whole, with nothing left beside it."""
    programs = []
    for name in ("rel a", "rel b"):
        folder = copy_of_source(temp / name)
        if programs:
            (folder / "dist").mkdir()
            (folder / "dist/stale").write_text("from before\n")
        programs.append(expect_released(folder, release(folder)))
        print(f"{folder}/dist/SHA256SUMS:", (folder / "dist/SHA256SUMS").read_text(), end="")
    expect(programs[0] == programs[1], "two builds of the same source differ")
    expect(sorted(p.name for p in (folder / "dist").iterdir()) ==
           ["BUILDINFO", "FlashGate.exe", "SHA256SUMS"], "dist/ was not replaced whole")
    expect(not list(folder.glob(".dist*")), "a staging folder is left")
    for leak in (str(temp), temp.name):
        for encoding in ("utf-8", "utf-16-le"):
            expect(leak.encode(encoding) not in programs[0], f"the program holds {leak!r}")


def test_sign_and_check(temp):
    """Signed without the network, accepted by osslsigncode; --check accepts the signed
    program, trusted by its CA, and the unsigned one; uncommitted edits are not checked."""
    p12, password, fingerprint = make_certificate(temp)
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

    expect_released(folder, release(folder, "--sign", p12, "--password-file", password,
                                    env=shimmed, prefix=offline))
    lines = log.read_text()
    expect(re.search(r"^sign -pkcs12 .* -readpass .* -h sha256 ", lines, re.M) and
           PASSWORD not in lines, f"command lines: {lines}")
    status, out, _ = run(["osslsigncode", "verify", "-CAfile", temp / "cert.pem",
                          "-in", folder / "dist/FlashGate.exe"], temp)
    expect(status == 0 and "Signature verification: ok" in out, f"verify: {out}")

    ours = SIGNATURE.format(subject="CN=FlashGate release test", fingerprint=fingerprint)
    status, out, error = release(folder, "--check", "dist/FlashGate.exe", "--ca",
                                 temp / "cert.pem", env=shimmed, prefix=offline)
    expect(status == 0 and re.fullmatch(
        f"dist/FlashGate.exe matches this source \\(commit {commit}\\)\n"
        f"{ours}holds, trusted by CA; it has no time stamp\n{BUILT_WITH}", out),
        f"--check exited {status}: {out}{error}")
    unsigned = temp / "unsigned.exe"
    run(["osslsigncode", "remove-signature", "-in", folder / "dist/FlashGate.exe",
         "-out", unsigned], temp)
    # An uncommitted change that alters the program: --check says so and builds the commit,
    # and the caller's git converting line ends, by its settings or by attributes of the
    # clone alone, does not reach the build.
    rc_file = folder / "res/flashgate.rc"
    rc_file.write_text(rc_file.read_text().replace('"ProductName", "FlashGate"',
                                                   '"ProductName", "FlashGate 9.99"'))
    (temp / "gitconfig").write_text("[core]\n\tautocrlf = true\n")
    (folder / ".git/info").mkdir(exist_ok=True)
    (folder / ".git/info/attributes").write_text("* text eol=crlf\n")
    status, out, error = release(folder, "--check", unsigned,
                                 env={"GIT_CONFIG_GLOBAL": temp / "gitconfig"})
    (folder / ".git/info/attributes").unlink()
    expect(status == 0 and re.fullmatch(
        f"note: uncommitted changes are not checked; the check builds commit {commit} as "
        f"committed\n{re.escape(str(unsigned))} matches this source \\(commit {commit}\\)\n"
        f"signature: none\n{BUILT_WITH}", out), f"--check exited {status}: {out}{error}")

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
    status, out, _ = release(folder, "--compare", unsigned, "build/release/src/FlashGate.exe")
    expect(status == 1 and " does not match build/release/src/FlashGate.exe: first at byte "
           in out, f"the edit did not change the program: {out}")
    expect("9.99".encode("utf-16-le") in (folder / "build/release/src/FlashGate.exe")
           .read_bytes(), "the failed signing did not build the edited tree")


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
    ("check: with --sign", ["--check", "{temp}/mz.exe", "--sign", "{p12}"], 2,
     "--check goes alone or with --ca"),
    ("check: not a clone", ["--check", "{folder}/dist/FlashGate.exe"], 2, "a git clone"),
    ("password file of two lines", ["--sign", "{p12}", "--password-file", "{temp}/two"], 2,
     "the password file .*/two must hold exactly one line"),
    ("check: a name that forges a line",
     ["--check", "{temp}/x\nx.exe matches this source (commit 0000)"], 2,
     r"cannot read \$'.*/x\\x0ax.exe matches this source \(commit 0000\)'"),
    ("check: /dev/zero", ["--check", "/dev/zero"], 2, "/dev/zero is not a regular file"),
    ("check: a FIFO", ["--check", "{temp}/fifo"], 2, "fifo is not a regular file"),
    ("check: larger than 64 MiB", ["--check", "{temp}/large.exe"], 2, "larger than 64 MiB"),
    ("compare: one file", ["--compare", "{folder}/dist/FlashGate.exe"], 2,
     "--compare needs two files"),
    ("compare: with --sign", ["--compare", "{pe}", "{pe}", "--sign", "{p12}"], 2,
     "--compare goes alone or with --ca"),
    ("compare: UNSIGNED not a PE program", ["--compare", "{pe}", "{password}"], 2,
     "password is not a PE program: it has no MZ header"),
    ("compare: UNSIGNED signed", ["--compare", "{pe}", "{temp}/entry.exe"], 2,
     "entry.exe is not an unsigned build"),
    ("compare: UNSIGNED of 4 data directories", ["--compare", "{pe}", "{temp}/four.exe"], 2,
     "four.exe has fewer than 5 data directories"),
    ("compare: UNSIGNED not a multiple of 8", ["--compare", "{pe}", "{temp}/odd.exe"], 2,
     "odd.exe is not an unsigned build"),
    ("ca: without --check", ["--ca", "{temp}/ca.pem"], 2, "--ca goes with --check or"),
    ("ca: not a certificate", ["--compare", "{pe}", "{pe}", "--ca", "{password}"], 2,
     "the CA file .*password holds no PEM certificate"),
    ("ca: missing", ["--check", "{pe}", "--ca", "{temp}/none.pem"], 2,
     "the CA file .*/none.pem does not exist"),
]


def smallest_pe(directories=16, entry=(0, 0), extra=0):
    """Headers alone: a PE32 program as far as --check and --compare look before they
    compare."""
    data = bytearray(0x200 + extra)
    data[:2], data[0x3C:0x40], data[0x40:0x44] = b"MZ", (0x40).to_bytes(4, "little"), b"PE\0\0"
    struct.pack_into("<HH12xHH", data, 0x44, 0x14C, 0, 0xE0, 0x102)
    struct.pack_into("<H90xI", data, 0x58, 0x10B, directories)
    struct.pack_into("<II", data, 0xB8 + 8 * 4, *entry)
    return data


def test_bad_input(temp):
    """Each bad input: its one line, exit status 2, dist/ untouched, nothing built."""
    p12, password, _ = make_certificate(temp)
    (temp / "wrong").write_text("not the password\n")
    (temp / "two").write_text(PASSWORD + "\nand a second line\n")
    os.mkfifo(temp / "fifo")
    (temp / "mz.exe").write_bytes(b"MZ" + bytes(0x3A) + (0x1000).to_bytes(4, "little"))
    (temp / "pe.exe").write_bytes(smallest_pe())
    (temp / "entry.exe").write_bytes(smallest_pe(entry=(0x200, 8)))
    (temp / "four.exe").write_bytes(smallest_pe(directories=4))
    (temp / "odd.exe").write_bytes(smallest_pe(extra=3))
    with open(temp / "large.exe", "wb") as large:
        large.write(smallest_pe())
        large.truncate((64 << 20) + 1)
    shutil.copy(temp / "cert.pem", temp / "ca.pem")
    folder = copy_of_source(temp / "source")
    (folder / "dist").mkdir()
    # A PE program as an earlier release, so that only the missing clone is wrong in the
    # last case.
    (folder / "dist/FlashGate.exe").write_bytes(smallest_pe())
    (folder / "dist/SHA256SUMS").write_text("from an earlier release\n")
    before = dist_state(folder)
    problems = []
    for name, arguments, expected_status, expected_line in BAD_INPUTS:
        filled = [a.format(p12=p12, password=password, folder=folder, temp=temp,
                           pe=temp / "pe.exe") for a in arguments]
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


def layout(data):
    """(the certificate-table entry's offset, the CheckSum's, the end of the headers, the
    section table's) of a program, as pefile reads them."""
    image = pefile.PE(data=bytes(data), fast_load=True)
    return (image.OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset(),
            image.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"),
            min(s.PointerToRawData for s in image.sections), image.sections[0].get_file_offset())


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
    entry, _, headers, _ = layout(data)
    copy = evil(data)[headers:]
    struct.pack_into("<II", data, entry, headers, len(copy))
    return data[:headers] + copy + data[headers:]


def program_in_front(genuine):
    """A whole changed program first, its entry over itself; the genuine program after."""
    front, back = evil(genuine["unsigned"]), bytearray(genuine["unsigned"])
    struct.pack_into("<II", front, layout(front)[0], 0, len(front))
    u32(back, layout(back)[1], 0)
    return front + back


def grown_table(extra, entry_too):
    """The signed program with `extra` bytes at the end of its certificate table, counted
    by the table's size and, with entry_too, by its one entry's dwLength too."""
    def make(genuine):
        data = bytearray(genuine["signed"])
        entry = layout(data)[0]
        u32(data, entry + 4, u32(data, entry + 4) + len(extra))
        if entry_too:
            u32(data, u32(data, entry), u32(data, u32(data, entry)) + len(extra))
        return data + extra
    return make


def off_boundary(genuine):
    """The signed program's table moved 4 bytes on, the entry pointing at it there."""
    data, table = bytearray(genuine["unsigned"]), genuine["signed"][len(genuine["unsigned"]):]
    struct.pack_into("<II", data, layout(data)[0], len(data) + 4, len(table))
    return data + bytes(4) + table


def renamed_section(genuine):
    """The unsigned program with its first section named with a newline."""
    data = bytearray(genuine["unsigned"])
    table = layout(data)[3]
    data[table:table + 8] = b".te\nxt\0\0"
    return data


def second_entry(genuine):
    """Our signed program with the attacker's whole entry after ours in the table."""
    data, theirs = bytearray(genuine["signed"]), genuine["resigned"][len(genuine["unsigned"]):]
    entry = layout(data)[0]
    u32(data, entry + 4, u32(data, entry + 4) + len(theirs))
    return data + theirs


def fake_entry(genuine):
    """A payload appended to the unsigned program, dressed as a certificate entry."""
    data = bytearray(genuine["unsigned"])
    der = b"\x30\x42\x04\x40" + b"payload!" * 8  # a SEQUENCE holding an OCTET STRING
    table = struct.pack("<IHH", 80, 0x0200, 2) + der + bytes(80 - 8 - len(der))
    struct.pack_into("<II", data, layout(data)[0], len(data), len(table))
    return data + table


def with_length(length):
    """The signed program with its entry's dwLength changed."""
    def make(genuine):
        data = bytearray(genuine["signed"])
        u32(data, u32(data, layout(data)[0]), length)
        return data
    return make


def corrupted(name):
    """One bit changed near the end of the PKCS#7 object: its signer's signature value."""
    def make(genuine):
        data = bytearray(genuine[name])
        start = u32(data, layout(data)[0])
        expect(data[start + 8:start + 10] == b"\x30\x82", "an unexpected PKCS#7 header")
        data[start + 12 + int.from_bytes(data[start + 10:start + 12], "big") - 5] ^= 0x01
        return data
    return make


def length_of_length(genuine):
    """The signed program with its PKCS#7 object's length said in 3 bytes, not 2: far more
    than the file holds."""
    data = bytearray(genuine["signed"])
    start = u32(data, layout(data)[0])
    expect(data[start + 8:start + 10] == b"\x30\x82", "an unexpected PKCS#7 header")
    data[start + 9] = 0x83
    return data


def signature(data, unsigned):
    """A signed program's signature as asn1crypto reads it."""
    return cms.ContentInfo.load(bytes(data[len(unsigned) + 8:]))


def nesting(signatures):
    """Our signed program with the signatures that signatures(genuine) gives nested in its
    signature, in that order, and its certificate table written anew around it."""
    def make(genuine):
        ours, nested = signature(genuine["signed"], genuine["unsigned"]), signatures(genuine)
        ours["content"]["signer_infos"][0]["unsigned_attrs"] = [
            {"type": "1.3.6.1.4.1.311.2.4.1", "values": nested}]
        # asn1crypto writes a SET OF sorted, as DER has it; putting the signatures back in
        # the order given leaves every length as it is.
        given = [n.dump() for n in nested]
        der = ours.dump()
        expect(der.count(b"".join(sorted(given))) == 1, "the nested signatures are not found")
        der = der.replace(b"".join(sorted(given)), b"".join(given))
        data, padding = bytearray(genuine["unsigned"]), -len(der) % 8
        table = struct.pack("<IHH", 8 + len(der) + padding, 0x0200, 2) + der + bytes(padding)
        struct.pack_into("<II", data, layout(data)[0], len(data), len(table))
        return data + table
    return make


def flipped_code(genuine):
    data = bytearray(genuine["signed"])
    data[0x500] ^= 0x01  # code: .text starts at 0x400
    return data


# What --compare says after the file's name: <U> is the unsigned build's name; <OURS>,
# <ATTACKER>, <FORGED>, <FORGER>, <LEAF> and <EXPIRED> begin a signature line by each signer.
MATCHES, DIFFERS = "matches <U>\n", "does not match <U>: "
HOLDS = "holds; it has no time stamp\n"
REJECTED = r"BROKEN \(osslsigncode verify rejects it\); it has no time stamp" + "\n"
NOT_READ = r"signature: not checked \(its certificate table is not one a signer writes\)" + "\n"
FOLLOW = (r"\d+ bytes follow the build, and its certificate-table entry is \(0x[0-9a-f]+, "
          r"\d+\), not \(0x[0-9a-f]+, \d+\)" + "\n" + NOT_READ)
AFTER_DER = (r"its certificate entry holds {} bytes after its DER object, not up to 7 zero "
             r"bytes of padding" + "\n" + NOT_READ)
DW_LENGTH = (r"its certificate entry's dwLength is {}, its DER object ends at \d+ and the "
             r"table at \d+" + "\n" + NOT_READ)
IN_SECTION = r"first at byte \d+ \(0x[0-9a-f]+\) in section \.[a-z]+: 0x[0-9a-f]+ in the file"
CA = ["--ca", "{temp}/cert.pem"]
# (name, how the file is made from the genuine ones, more arguments, exit status, what
# --compare must say after the file's name).
CORPUS = [
    ("genuine, signed", lambda g: g["signed"], [], 0, f"{MATCHES}<OURS>{HOLDS}"),
    ("genuine, unsigned", lambda g: g["unsigned"], [], 0, f"{MATCHES}signature: none\n"),
    ("genuine, trusted by its CA", lambda g: g["signed"], CA, 0,
     f"{MATCHES}<OURS>holds, trusted by CA; it has no time stamp\n"),
    ("re-signed by another certificate", lambda g: g["resigned"], [], 0,
     f"{MATCHES}<ATTACKER>{HOLDS}"),
    ("a second signature nested in ours", lambda g: g["nested"], [], 0,
     f"{MATCHES}<OURS>{HOLDS}<ATTACKER>{HOLDS}"),
    ("a nested signature that our CA does not trust", lambda g: g["nested"], CA, 1,
     f"{MATCHES}<OURS>holds, trusted by CA; it has no time stamp\n"
     f"<ATTACKER>holds, not trusted by CA; it has no time stamp\n"),
    ("a corrupted signature", corrupted("signed"), [], 1, f"{MATCHES}<OURS>{REJECTED}"),
    # osslsigncode prints the program description raw; only its exit status is read.
    ("a description forging osslsigncode's verdict, on a corrupted signature",
     corrupted("described"), [], 1, f"{MATCHES}<OURS>{REJECTED}"),
    ("a self-signed certificate with our subject", lambda g: g["forged"], [], 0,
     f"{MATCHES}<FORGED>{HOLDS}"),
    ("a self-signed certificate with our subject, against our CA", lambda g: g["forged"],
     CA, 1, f"{MATCHES}<FORGED>holds, not trusted by CA; it has no time stamp\n"),
    # A subject is escaped: it can neither end the line nor stand in for the fingerprint.
    ("a subject that forges a fingerprint and a line", lambda g: g["forger"], [], 0,
     f"{MATCHES}<FORGER>{HOLDS}"),
    ("a CA's chain without its root", lambda g: g["chain"], [], 0,
     rf"{MATCHES}<LEAF>not checked \(its chain ends at CN=FlashGate test root, which it does "
     rf"not carry; give --ca\); it has no time stamp" + "\n"),
    ("a CA's chain without its root, the root given", lambda g: g["chain"],
     ["--ca", "{temp}/root.pem"], 0,
     f"{MATCHES}<LEAF>holds, trusted by CA; it has no time stamp\n"),
    # osslsigncode fails an expired signer at the present time.
    ("an expired signer", lambda g: g["expired"], [], 0,
     f"{MATCHES}<EXPIRED>holds; it has no time stamp; judged at 2020-01-02 00:00:00 UTC, as "
     f"its certificate is valid only from 2020-01-01 00:00:00 to 2020-01-03 00:00:00 UTC\n"),
    ("a time stamp", lambda g: g["timestamped"], [], 0,
     f"{MATCHES}<OURS>holds; its time stamp is not verified\n"),
    # osslsigncode's own unsigned blob: Windows ignores unsigned attributes it does not know.
    ("a payload in an unsigned attribute", lambda g: g["blob"], [], 0,
     rf"{MATCHES}<OURS>{HOLDS}unverified: signature 0 carries unsigned data of type "
     r"1\.3\.6\.1\.4\.1\.42921\.1\.2\.1, which no signature covers" + "\n"),
    ("a made-up entry on the unsigned program", fake_entry, [], 1,
     rf"{MATCHES}signature: BROKEN \(it cannot be read: [^\n]+\)" + "\n"),
    ("a length of its PKCS#7 object past the file's end", length_of_length, [], 1,
     DIFFERS + r"its certificate entry does not hold one DER SEQUENCE of definite length\n"
     r"signature: BROKEN \(it cannot be read: [^\n]+\)" + "\n"),
    # osslsigncode numbers nested signatures by their signing times: the later one, over
    # another program, would be its second, the one over ours its first.
    ("one signer's two nested signatures, the first over another program",
     nesting(lambda g: [signature(g[name], g["unsigned"]) for name in ("other", "resigned")]),
     [], 1, f"{MATCHES}<OURS>{HOLDS}<ATTACKER>{REJECTED}<ATTACKER>{HOLDS}"),
    ("400 nested signatures", nesting(lambda g: [signature(g["resigned"], g["unsigned"])] * 400),
     [], 1, f"{MATCHES}<OURS>{HOLDS}unverified: signature 0 holds 400 nested signatures; the "
            f"392 after the first 8 are not judged here\n" + f"<ATTACKER>{HOLDS}" * 8),
    ("a flipped code byte", flipped_code, [], 1, DIFFERS + r"first at byte 1280 \(0x500\) in "
     r"section \.text: 0x[0-9a-f]+ in the file, 0x[0-9a-f]+ in the build" + "\n<OURS>" +
     REJECTED),
    # The name comes from the build, and the byte is shown in hex: the file writes no text.
    ("a section renamed with a newline", renamed_section, [], 1, DIFFERS + r"first at byte \d+ "
     r"\(0x[0-9a-f]+\) in the headers: 0x0a in the file, 0x78 in the build" + "\n"
     "signature: none\n"),
    ("inserted sections, the entry pointing at them", inserted_sections, [], 1,
     DIFFERS + IN_SECTION + ".*\n" + NOT_READ),
    ("a changed program in front, the entry at offset 0", program_in_front, [], 1,
     DIFFERS + IN_SECTION + ".*\n" + NOT_READ),
    ("an overlay after the signature", lambda g: g["signed"] + b"overlay!" * 4, [], 1,
     DIFFERS + FOLLOW),
    ("an overlay on the unsigned program", lambda g: g["unsigned"] + b"overlay!" * 4, [], 1,
     DIFFERS + FOLLOW),
    ("the table off its boundary", off_boundary, [], 1, DIFFERS + FOLLOW),
    ("cut short", lambda g: g["unsigned"][:-8], [], 1,
     DIFFERS + r"the build is (\d+) bytes, the file (?!\1)\d+" + "\nsignature: none\n"),
    ("CVE-2013-3900: a payload inside the entry", grown_table(b"payload!" * 4, True), [], 1,
     DIFFERS + AFTER_DER.format("3[2-9]")),
    ("junk after the PKCS#7 entry", grown_table(b"junk" * 4, False), [], 1,
     DIFFERS + AFTER_DER.format("(1[6-9]|2[0-3])")),
    ("a second entry, the attacker's, after ours", second_entry, [], 1,
     DIFFERS + AFTER_DER.format(r"\d+")),
    ("a dwLength of 0x7fffffff", with_length(0x7FFFFFFF), [], 1,
     DIFFERS + DW_LENGTH.format(2147483647)),
    # osslsigncode 2.9 spins forever on this one; it is never asked.
    ("a dwLength of 0", with_length(0), [], 1, DIFFERS + DW_LENGTH.format(0)),
]


# SCRIPTS SLEEP SIGNED UNSIGNED: compare.py on SIGNED and UNSIGNED, named S and U, with its
# bound on the whole comparison cut to 1 s, each signature's reading after SLEEP seconds.
CUT_TO_1_S = """
import sys, time
sys.path.insert(0, sys.argv[1])
import compare
compare.TIME_LIMIT = 1
read = compare.read_signature
def slow(der, names):
    time.sleep(int(sys.argv[2]))
    return read(der, names)
compare.read_signature = slow
sys.exit(compare.main(["compare.py", "compare", *sys.argv[3:], "S", "U"]))
"""


def test_corpus(temp):
    """An attacker's files, made from one fresh signed build: each gets its verdict from
    --compare against that build, and a line for each signature in it."""
    _, password, ours = make_certificate(temp)
    folder = copy_of_source(temp / "source")
    status, out, error = release(folder, "--sign", temp / "signer.p12", "--password-file",
                                 password)
    expect(status == 0, f"./release --sign exited {status}: {out}{error}")
    unsigned = folder / "build/release/src/FlashGate.exe"
    files = {"signed": folder / "dist/FlashGate.exe", "unsigned": unsigned}
    ca = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign"]
    fingerprints = {
        "OURS": ours, "ATTACKER": certificate(temp, "attacker", "/CN=attacker"),
        # Our subject on a certificate of the attacker's own: only the fingerprint differs.
        "FORGED": certificate(temp, "forged", "/CN=FlashGate release test"),
        "FORGER": certificate(temp, "forger",
                              "/CN=x (sha256 AB of the signer's certificate): holds\nsignature: y")}
    certificate(temp, "root", "/CN=FlashGate test root", extensions=ca)
    certificate(temp, "intermediate", "/CN=FlashGate test intermediate", "root", ca)
    fingerprints["EXPIRED"] = expired_certificate(temp)
    fingerprints["LEAF"] = certificate(temp, "leaf", "/CN=FlashGate chain signer",
                                       "intermediate", ["extendedKeyUsage=codeSigning"])
    (temp / "chain.pem").write_bytes((temp / "leaf.pem").read_bytes() +
                                     (temp / "intermediate.pem").read_bytes())
    certificate(temp, "tsa", "/CN=FlashGate test TSA",
                extensions=["extendedKeyUsage=critical,timeStamping"])
    by = {name: ["-certs", temp / f"{name}.pem", "-key", temp / f"{name}.key"]
          for name in ("cert", "attacker", "forged", "forger", "expired")}
    by["chain"] = ["-certs", temp / "chain.pem", "-key", temp / "leaf.key"]
    (temp / "evil.exe").write_bytes(evil(unsigned.read_bytes()))
    for name, command in (
            ("resigned", ["sign", *by["attacker"], "-in", unsigned]),
            ("other", ["sign", *by["attacker"], "-time", int(time.time()) + 3600,
                       "-in", temp / "evil.exe"]),
            ("nested", ["sign", *by["attacker"], "-nest", "-in", files["signed"]]),
            ("blob", ["add", "-addUnauthenticatedBlob", "-in", files["signed"]]),
            ("forged", ["sign", *by["forged"], "-in", unsigned]),
            ("forger", ["sign", *by["forger"], "-in", unsigned]),
            ("chain", ["sign", *by["chain"], "-in", unsigned]),
            ("expired", ["sign", *by["expired"], "-in", unsigned]),
            ("described", ["sign", *by["cert"], "-n", "FlashGate\nSignature verification: ok",
                           "-in", unsigned]),
            ("timestamped", ["sign", *by["cert"], "-TSA-certs", temp / "tsa.pem",
                             "-TSA-key", temp / "tsa.key", "-in", unsigned])):
        files[name] = temp / f"{name}.exe"
        status, out, error = run(["osslsigncode", *command, "-h", "sha256", "-out",
                                  files[name]], temp)
        expect(status == 0, f"osslsigncode {command[0]}: {out}{error}")
    genuine = {name: file.read_bytes() for name, file in files.items()}
    filled = {"<U>": re.escape(str(unsigned)), **{
        f"<{who}>": SIGNATURE.format(subject=re.escape(subject), fingerprint=fingerprints[who])
        for who, subject in (("OURS", "CN=FlashGate release test"), ("ATTACKER", "CN=attacker"),
                             ("FORGED", "CN=FlashGate release test"),
                             ("FORGER", "CN=x \\x28sha256 AB of the signer's "
                                        "certificate\\x29: holds\\nsignature: y"),
                             ("LEAF", "CN=FlashGate chain signer"),
                             ("EXPIRED", "CN=expired signer"))}}

    def judged(number):
        _, make, more, _, _ = CORPUS[number]
        file = temp / f"row{number}.exe"
        file.write_bytes(make(genuine))
        return file, release(folder, "--compare", file, unsigned,
                             *[a.format(temp=temp) for a in more], limit=120)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:  # two rows at a time
        outcomes = list(pool.map(judged, range(len(CORPUS))))
    problems = []
    for (name, _, _, expected_status, expected), (file, (status, out, error)) in \
            zip(CORPUS, outcomes):
        print(f"{name}: exited {status}\n{out}{error}", end="")
        for token, text in filled.items():
            expected = expected.replace(token, text)
        if not (status == expected_status and
                re.fullmatch(f"{re.escape(str(file))} {expected}", out)):
            problems.append(f"{name}: exited {status}, said {out + error!r}")
    # The bound on the whole comparison, cut to 1 s: an osslsigncode that never answers, or
    # a reading that would take a minute, ends where it runs out, and the line says so.
    never = temp / "never"
    never.mkdir()
    (never / "osslsigncode").write_text("#!/bin/sh\nexec sleep 60\n")
    (never / "osslsigncode").chmod(0o755)
    ran_out = r"BROKEN \(not checked: the comparison ran past its 1 s\)"
    for name, sleep, env, said in (
            ("an osslsigncode that never answers", 0, {"PATH": f"{never}:{os.environ['PATH']}"},
             f"{filled['<OURS>']}{ran_out}; it has no time stamp"),
            ("a reading that takes a minute", 60, {}, f"signature: {ran_out}")):
        began = time.monotonic()
        status, out, error = run([sys.executable, "-c", CUT_TO_1_S, folder / "scripts", sleep,
                                  files["signed"], unsigned], temp, env, limit=30)
        took = time.monotonic() - began
        print(f"{name}: exited {status} after {took:.1f} s\n{out}{error}", end="")
        if not (status == 1 and took < 10 and re.fullmatch(f"S matches U\n{said}\n", out)):
            problems.append(f"{name}: exited {status} after {took:.1f} s, said {out + error!r}")
    # The static checks read what Windows maps, not the signature after it: bytes in a
    # signature that look like a function's name (as "\0NyB\0" once did) are no lookup.
    named = bytearray(files["signed"].read_bytes())
    entry, checksum, _, _ = layout(named)
    named[u32(named, entry) + 16:u32(named, entry) + 21] = b"\0NyB\0"
    u32(named, checksum, pefile.PE(data=bytes(named)).generate_checksum())
    (temp / "named.exe").write_bytes(named)
    status, out, _ = run([sys.executable, folder / STATIC_CHECKS, temp / "named.exe"], temp)
    if status != 0:
        problems.append(f"a signature's bytes read as a lookup:\n{out}")
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
