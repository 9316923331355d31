#!/usr/bin/env python3
"""./release as a person would run it, each time on copies of the source as it stands.

  release_test.py reproducible|sign_and_check|bad_input SOURCE_DIR
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(sys.argv[2]).resolve() if len(sys.argv) == 3 else None
STATIC_CHECKS = "tests/static/check_shipped_pe.py"
PASSWORD = "correct horse 41"
# A throwaway repository's one commit: the same however and wherever the test runs.
GIT_ENV = {"GIT_AUTHOR_NAME": "Release Test", "GIT_AUTHOR_EMAIL": "test@flashgate.invalid",
           "GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z", "GIT_CONFIG_GLOBAL": "/dev/null",
           "GIT_COMMITTER_NAME": "Release Test", "GIT_COMMITTER_EMAIL": "test@flashgate.invalid",
           "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z", "GIT_CONFIG_NOSYSTEM": "1"}


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def run(command, cwd, env=None, prefix=()):
    """(exit status, stdout, stderr) of a command, with environment additions."""
    done = subprocess.run([*prefix, *map(str, command)], cwd=cwd, capture_output=True,
                          text=True, env={**os.environ, **(env or {})}, check=False)
    return done.returncode, done.stdout, done.stderr


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


def release(folder, *arguments, env=None, prefix=()):
    return run([folder / "release", *arguments], folder, env, prefix)


def expect_released(folder, outcome):
    """dist/ holds a program whose sums check and that passes the static checks."""
    status, out, error = outcome
    expect(status == 0, f"./release in {folder} exited {status}: {out}{error}")
    status, out, _ = run(["sha256sum", "-c", "SHA256SUMS"], folder / "dist")
    expect(status == 0 and out == "FlashGate.exe: OK\n", f"sha256sum -c: {out}")
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
                                   f"\\(commit {commit}\\)\n$")
    unsigned = temp / "unsigned.exe"
    run(["osslsigncode", "remove-signature", "-in", folder / "dist/FlashGate.exe",
         "-out", unsigned], temp)
    check(unsigned, 0, "matches this source")
    tampered = bytearray(signed)
    tampered[0x500] ^= 0x01  # code: .text starts at 0x400
    (temp / "tampered.exe").write_bytes(tampered)
    check(temp / "tampered.exe", 1, r"does not match this source \(commit [0-9a-f]{40}\): "
                                    r"first at byte 1280 \(0x500\) in section \.text")

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
        status, out, error = release(folder, *filled)
        if not (status == expected_status and out == "" and error.count("\n") == 1 and
                re.match(f"release: .*{expected_line}", error)):
            problems.append(f"{name}: exited {status}, said {out + error!r}")
    expect(dist_state(folder) == before, "dist/ changed")
    expect(not (folder / "build/release").exists(), "something was built")
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
