#!/usr/bin/python3
"""Is a signed program our build plus one Authenticode signature and nothing else, and
does each signature in it hold? The bytes are compared here; osslsigncode judges the
signatures, each on a file of its own, and asn1crypto only reads who signed.

  compare.py copy FILE COPY      FILE read once into COPY: a regular file of at most
                                 64 MiB that begins as a PE program, or exit 2
  compare.py compare COPY BUILD NAME LABEL [CA.pem]
                                 "NAME matches LABEL" or "NAME does not match LABEL: why",
                                 then a line for each signature and for what in it
                                 osslsigncode did not verify

COPY matches BUILD when it holds BUILD's bytes over BUILD's whole length but for the
CheckSum and the certificate-table entry (their offsets are BUILD's), and either ends there
with a zero entry or goes on with exactly one WIN_CERTIFICATE that the entry points at:
revision 2.0, PKCS#7 signed data, one DER SEQUENCE of definite length, a dwLength from
its end to the table's, and at most 7 zero bytes after it. Exit status: 0 it matches and
no signature is broken (with CA.pem, each is trusted by it too); 1 otherwise; 2 bad input,
said in one line on stderr. At most NESTED_LIMIT nested signatures are judged, and each
signature is judged within TIME_LIMIT seconds of the start, or its line says it was not.
"""

import collections
import datetime
import hashlib
import os
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time

import pefile
from asn1crypto import cms, parser, pem, x509

SIZE_LIMIT = 64 << 20  # far above the program's size; nothing larger is read
LIMIT = 20  # seconds for one osslsigncode call, then its process group ends
# Seconds from the start of the comparison within which every signature is read and
# judged, or said to be late: with the reading of the files before, any file up to
# SIZE_LIMIT is compared within a minute.
TIME_LIMIT = 50
NESTED_LIMIT = 8  # nested signatures judged; a file that holds more is broken
WIN_CERT = (0x0200, 0x0002)  # WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA
NESTED = "1.3.6.1.4.1.311.2.4.1"
TIME_STAMPS = {"1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1"}  # counter-signature, RFC 3161
SHORT_NAMES = {"common_name": "CN", "organization_name": "O", "organizational_unit_name": "OU",
               "country_name": "C", "state_or_province_name": "ST", "locality_name": "L"}


class BadInput(Exception):
    """A file that cannot be read, or is not what it must be."""


class OutOfTime(Exception):
    """TIME_LIMIT ran out while a signature was read."""


def out_of_time(signal_number, frame):
    raise OutOfTime


def one_line(text):
    """Text from a file with its control characters escaped: it cannot forge or break a
    line of output."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def shown(path):
    """A file name as it may stand in one line: escaped where it holds control characters."""
    text = os.fsdecode(path)
    if text.isprintable():
        return text
    return "$'" + "".join(c if c.isprintable() and c not in "\\'" else
                          "".join(f"\\x{b:02x}" for b in os.fsencode(c))
                          for c in text) + "'"


def read_once(path):
    """The bytes of a regular file of at most SIZE_LIMIT; BadInput saying why not."""
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
    return data


def read_program(path):
    """read_once, where the file begins as a PE program: MZ, and a PE signature where
    e_lfanew points. Nothing else of it is read before the comparison."""
    data = read_once(path)
    if data[:2] != b"MZ":
        raise BadInput(f"{shown(path)} is not a PE program: it has no MZ header")
    header = int.from_bytes(data[0x3C:0x40], "little")
    if len(data) < 0x40 or data[header:header + 4] != b"PE\0\0":
        raise BadInput(f"{shown(path)} is not a PE program: it has no PE signature")
    return data


def copy(path, destination):
    """FILE into a private COPY, the one read of it."""
    data = read_program(path)
    with open(os.open(destination, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
        out.write(data)


def reason(error):
    """What a reader's failure says, in one line: its first (asn1crypto adds a line for each
    structure it was inside), or its kind where it says nothing."""
    said = str(error).strip().splitlines()
    return one_line(said[0] if said else type(error).__name__)


def layout(path):
    """The build's bytes, the offsets of its CheckSum and certificate-table entry, and its
    sections as (start, end, name), all read through pefile."""
    data = read_program(path)
    try:
        image = pefile.PE(data=data, fast_load=True)
        header = image.OPTIONAL_HEADER
        directories = min(header.NumberOfRvaAndSizes, len(header.DATA_DIRECTORY))
        entry = header.DATA_DIRECTORY[4] if directories >= 5 else None
        sections = [(s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData,
                     s.Name.rstrip(b"\0").decode("ascii", "replace")) for s in image.sections]
        checksum = header.get_field_absolute_offset("CheckSum")
    except Exception as error:  # noqa: BLE001 -- pefile fails in many ways on what is no PE
        raise BadInput(f"{shown(path)} is not a PE program: {reason(error)}") from None
    if entry is None:
        raise BadInput(f"{shown(path)} has fewer than 5 data directories")
    if (entry.VirtualAddress, entry.Size) != (0, 0) or len(data) % 8:
        raise BadInput(f"{shown(path)} is not an unsigned build: its certificate-table entry "
                       f"must be zero and its length a multiple of 8")
    return data, checksum, entry.get_file_offset(), sections


def compare_bytes(signed, built, checksum, entry, sections):
    """(why SIGNED is not BUILD plus one signature or None, the signature's DER or None).
    The signature is read wherever the table is sound, so that a changed byte before it
    still gets its signature judged."""
    difference = None
    if len(signed) < len(built):
        return f"the build is {len(built)} bytes, the file {len(signed)}", None
    mine = bytearray(signed[:len(built)])
    mine[checksum:checksum + 4] = built[checksum:checksum + 4]
    mine[entry:entry + 8] = built[entry:entry + 8]
    if mine != built:
        at = next(i for i, (a, b) in enumerate(zip(mine, built)) if a != b)
        place = next((f"section {one_line(name)}" for start, end, name in sections
                      if start <= at < end), "the headers")
        difference = (f"first at byte {at} ({at:#x}) in {place}: {mine[at]:#04x} in the file, "
                      f"{built[at]:#04x} in the build")
    start, size = struct.unpack_from("<II", signed, entry)
    table = signed[len(built):]
    if not table:
        if (start, size) != (0, 0):
            return difference or (f"its certificate-table entry is ({start:#x}, {size}), and "
                                  f"no table follows the build"), None
        return difference, None
    if (start, size) != (len(built), len(table)):
        return difference or (f"{len(table)} bytes follow the build, and its certificate-table "
                              f"entry is ({start:#x}, {size}), not ({len(built):#x}, "
                              f"{len(table)})"), None
    why, der = certificate(table)
    return difference or why, der


def certificate(table):
    """(why the table is not one WIN_CERTIFICATE as a signer writes it, or None; its DER,
    or what stands where its DER should, to be read as a signature)."""
    if len(table) % 8:
        return f"its certificate table is {len(table)} bytes, not a multiple of 8", None
    length, revision, kind = struct.unpack_from("<IHH", table)
    if (revision, kind) != WIN_CERT:
        return (f"its certificate entry is not a PKCS#7 signature (revision {revision:#x}, "
                f"type {kind:#x})"), None
    not_one = "its certificate entry does not hold one DER SEQUENCE of definite length"
    try:
        tag_class, method, tag, header, contents, trailer = parser.parse(table[8:], strict=False)
    except ValueError:
        # Not even a DER object's header can be read: that is a signature no one can read,
        # and the reader says why on its line.
        return not_one, table[8:]
    if (tag_class, method, tag, trailer) != (0, 1, 16, b""):
        return not_one, None
    end = 8 + len(header) + len(contents)
    if not end <= length <= len(table):
        return (f"its certificate entry's dwLength is {length}, its DER object ends at "
                f"{end} and the table at {len(table)}"), None
    if len(table) - end > 7 or any(table[end:]):
        return (f"its certificate entry holds {len(table) - end} bytes after its DER object, "
                f"not up to 7 zero bytes of padding"), None
    return None, table[8:end]


def name_text(name):
    """A certificate's name as RFC 4514 writes it, its parentheses escaped so that the
    fingerprint that follows on the line cannot be forged by it."""
    parts = ["+".join(f"{SHORT_NAMES.get(a['type'].native, a['type'].dotted)}="
                      f"{a['value'].native}" for a in rdn) for rdn in reversed(name.chosen)]
    return one_line(",".join(parts).replace("\\", "\\\\").replace("(", "\\x28")
                    .replace(")", "\\x29"))


# What the lines need of one signature, read to the end: `head` begins its line; `anchor`
# is the self-issued certificate that ends its chain (DER), or None where the chain ends at
# an issuer it does not carry, named then by `chain_end`, and `ca_holds_end` says whether
# the CA's certificates include one of that name; `when` is the time to judge it at (Unix
# time), or None for the present; `notes` end its line; `kinds` are the types of its
# unsigned data that nothing verifies; `nested` the DER of the signatures nested in it, as
# the file holds them.
Signature = collections.namedtuple(
    "Signature", "head fingerprint anchor chain_end ca_holds_end when notes kinds nested")


def read_signature(der, ca_names):
    """The Signature of one PKCS#7 signed-data object with one signer, whose certificate it
    carries. asn1crypto reads lazily, so everything is read here, where any failure of
    the reading can be caught, and nothing read is left to fail later."""
    content = cms.ContentInfo.load(der, strict=True)
    if content["content_type"].native != "signed_data":
        raise ValueError("it is not PKCS#7 signed data")
    signed_data = content["content"]
    certificates = [c.chosen for c in signed_data["certificates"] if c.name == "certificate"]
    signers = list(signed_data["signer_infos"])
    if len(signers) != 1:
        raise ValueError(f"it has {len(signers)} signers, not one")
    sid = signers[0]["sid"]
    if sid.name == "issuer_and_serial_number":
        serial, issuer = sid.chosen["serial_number"].native, sid.chosen["issuer"]
        found = [c for c in certificates if c.serial_number == serial and c.issuer == issuer]
    else:
        found = [c for c in certificates if c.key_identifier == sid.chosen.native]
    if not found:
        raise ValueError("the signer's certificate is not in it")
    signer = found[0]
    # Up by names to a self-issued certificate or to a missing issuer, each certificate
    # taken once in the file's order: linear in the number of certificates.
    unused = collections.defaultdict(collections.deque)
    for c in certificates:
        if c is not signer:
            unused[c.subject.hashable].append(c)
    chain = [signer]
    while not chain[-1].self_issued and unused[chain[-1].issuer.hashable]:
        chain.append(unused[chain[-1].issuer.hashable].popleft())
    top = chain[-1]
    fingerprint = hashlib.sha256(signer.dump()).hexdigest()
    head = (f"signature: {name_text(signer.subject)} (sha256 "
            f"{':'.join(fingerprint[i:i + 2] for i in range(0, 64, 2)).upper()} "
            f"of the signer's certificate): ")
    unsigned = {}
    for attribute in signers[0]["unsigned_attrs"]:  # a Void, empty, where there are none
        unsigned.setdefault(attribute["type"].dotted, []).extend(attribute["values"])
    notes, when = ["its time stamp is not verified" if set(unsigned) & TIME_STAMPS
                   else "it has no time stamp"], None
    validity = [(c["tbs_certificate"]["validity"]["not_before"].native,
                 c["tbs_certificate"]["validity"]["not_after"].native) for c in chain]
    if not validity[0][0] <= datetime.datetime.now(datetime.timezone.utc) <= validity[0][1]:
        # osslsigncode judges at the present time, where an expired signer fails.
        earliest, latest = max(v[0] for v in validity), min(v[1] for v in validity)
        middle = earliest + (latest - earliest) / 2 if latest > earliest else earliest
        when = int(middle.timestamp())
        notes.append(f"judged at {middle:%Y-%m-%d %H:%M:%S} UTC, as its certificate is valid "
                     f"only from {validity[0][0]:%Y-%m-%d %H:%M:%S} to "
                     f"{validity[0][1]:%Y-%m-%d %H:%M:%S} UTC")
    return Signature(
        head, fingerprint, top.dump() if top.self_issued else None, name_text(top.issuer),
        top.issuer.hashable in ca_names, when, notes,
        sorted(set(unsigned) - TIME_STAMPS - {NESTED}),
        [nested.dump() for nested in unsigned.get(NESTED, [])])


def run(command, seconds):
    """True if the command exits 0, False if not, None if it ran past `seconds` (its whole
    process group is then ended). Its output is never read."""
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return child.wait(timeout=seconds) == 0
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        return None


def ran_out():
    """The verdict on a signature that TIME_LIMIT left unjudged."""
    return f"BROKEN (not checked: the comparison ran past its {TIME_LIMIT} s)"


class Judge:
    """osslsigncode verify, offline, on a private file for each signature."""

    def __init__(self, program, entry, ca_path, ca_names, folder, deadline):
        self.program, self.entry, self.ca, self.ca_names, self.folder, self.deadline = \
            program, entry, ca_path, ca_names, folder, deadline

    def read(self, der):
        """read_signature, stopped where TIME_LIMIT runs out: reading a signature that
        carries a great many certificates takes asn1crypto minutes."""
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise OutOfTime
        signal.setitimer(signal.ITIMER_REAL, left)
        try:
            return read_signature(der, self.ca_names)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)

    def alone(self, der):
        """The file's program, as it stands before its certificate table, with the
        signature `der` alone in a table of our own: osslsigncode reads no table of the
        file's, and its signature 0 is this one (it numbers the nested ones in an order of
        its own and skips those it cannot read, so no other number could be trusted to
        name one of ours). The CheckSum stays the file's: osslsigncode only warns of it."""
        padding = -len(der) % 8
        table = struct.pack("<IHH", 8 + len(der) + padding, *WIN_CERT) + der + bytes(padding)
        program = bytearray(self.program)
        struct.pack_into("<II", program, self.entry, len(program), len(table))
        path = os.path.join(self.folder, "signed.exe")
        with open(path, "wb") as out:
            out.write(program + table)
        return path

    def anchors(self, anchor):
        """A file of the anchors: the certificate that ends the signer's chain, and the
        CA's with --ca."""
        path = os.path.join(self.folder, "anchors.pem")
        with open(path, "wb") as out:
            out.write(pem.armor("CERTIFICATE", anchor))
            if self.ca:
                with open(self.ca, "rb") as file:
                    out.write(file.read())
        return path

    def verify(self, path, fingerprint, anchors, when):
        """"holds", "broken", "late" (past LIMIT) or "out of time" (past the deadline).
        osslsigncode's exit status does not tell whether a time stamp held (it passes a
        signature whose time stamp's chain fails), so time stamps are left out and the line
        says so. -index 0 leaves out the signatures nested in this one: without it,
        osslsigncode exits 0 where any one of them holds."""
        left = self.deadline - time.monotonic()
        if left <= 0:
            return "out of time"
        command = ["osslsigncode", "verify", "-in", path, "-index", "0", "-ignore-crl",
                   "-ignore-cdp", "-ignore-timestamp", "-CAfile", anchors,
                   "-require-leaf-hash", f"sha256:{fingerprint}"]
        if when is not None:
            command += ["-time", str(when)]
        done = run(command, min(LIMIT, left))
        return ({True: "holds", False: "broken"}[done] if done is not None else
                "late" if left >= LIMIT else "out of time")

    def line(self, der, signature):
        """The signature's line, whether it is broken, and whether the CA trusts it (None
        without --ca)."""
        path, fingerprint, when = self.alone(der), signature.fingerprint, signature.when
        state = trusted = None
        if self.ca:
            state = self.verify(path, fingerprint, self.ca, when)
            trusted = state == "holds"
        if state in (None, "broken"):
            # The self-issued certificate that ends the chain is an anchor because the
            # signature carries it, whatever its keyUsage says, and its own signature is not
            # checked: path validation never checks an anchor's own signature (RFC 5280,
            # 6.1), and that would prove nothing here, as anyone can make a self-signed
            # certificate whose signature verifies. Who signed is told by the fingerprint,
            # or by --ca.
            if signature.anchor is not None:
                state = self.verify(path, fingerprint, self.anchors(signature.anchor), when)
            elif not signature.ca_holds_end:
                state = (f"not checked (its chain ends at {signature.chain_end}, which it "
                         f"does not carry{' and CA does not hold' if self.ca else '; give --ca'})")
            # else only the CA holds the chain's end, and it was asked above
        state = {"holds": "holds", "broken": "BROKEN (osslsigncode verify rejects it)",
                 "late": f"BROKEN (not checked: osslsigncode verify ran past {LIMIT} s)",
                 "out of time": ran_out()}.get(state, state)
        if trusted is not None:
            state += ", trusted by CA" if trusted else ", not trusted by CA"
        return signature.head + "; ".join([state, *signature.notes]), \
            state.startswith("BROKEN"), trusted

    def lines(self, der):
        """Lines for the signature and those nested in it, and for what in them osslsigncode
        did not verify; whether one is broken; whether one is not trusted by the CA."""
        out, broken, untrusted = [], False, False
        values = [der]
        for index, value in enumerate(values):
            try:
                signature = self.read(value)
            except OutOfTime:
                out.append(f"signature: {ran_out()}")
                broken = True
                continue
            except Exception as error:  # noqa: BLE001
                # The one place where a reader's failure, of whatever kind, becomes a verdict:
                # a signature that no one can read is broken.
                out.append(f"signature: BROKEN (it cannot be read: {reason(error)})")
                broken = True
                continue
            line, failed, trusted = self.line(value, signature)
            out.append(line)
            broken, untrusted = broken or failed, untrusted or trusted is False
            if index == 0:
                values += signature.nested[:NESTED_LIMIT]
                if len(signature.nested) > NESTED_LIMIT:
                    out.append(f"unverified: signature 0 holds {len(signature.nested)} nested "
                               f"signatures; the {len(signature.nested) - NESTED_LIMIT} after "
                               f"the first {NESTED_LIMIT} are not judged here")
                    broken = True
            elif signature.nested:
                out.append(f"unverified: signature {index} holds signatures nested in it, "
                           f"which are not judged here")
            for kind in signature.kinds:
                out.append(f"unverified: signature {index} carries unsigned data of type "
                           f"{one_line(kind)}, which no signature covers")
        return out, broken, untrusted


def ca_names(ca_path):
    """The subjects of the certificates in a PEM file, as asn1crypto compares names."""
    try:
        with open(ca_path, "rb") as file:
            return {x509.Certificate.load(der).subject.hashable for kind, _, der in
                    pem.unarmor(file.read(), multiple=True) if kind == "CERTIFICATE"}
    except Exception as error:  # noqa: BLE001 -- asn1crypto fails in many ways
        raise BadInput(f"the CA file cannot be read: {reason(error)}") from None


def compare(copy_path, build_path, name, label, ca_path):
    deadline = time.monotonic() + TIME_LIMIT
    signal.signal(signal.SIGALRM, out_of_time)
    with open(copy_path, "rb") as file:
        signed = file.read()
    built, checksum, entry, sections = layout(build_path)
    names = ca_names(ca_path) if ca_path else set()
    difference, der = compare_bytes(signed, built, checksum, entry, sections)
    print(f"{name} matches {label}" if difference is None else
          f"{name} does not match {label}: {difference}")
    broken = untrusted = False
    if der is None:
        unsigned = len(signed) <= len(built) and not any(signed[entry:entry + 8])
        print("signature: none" if unsigned else
              "signature: not checked (its certificate table is not one a signer writes)")
    else:
        with tempfile.TemporaryDirectory(prefix="flashgate-compare-") as folder:
            judge = Judge(signed[:len(built)], entry, ca_path, names, folder, deadline)
            lines, broken, untrusted = judge.lines(der)
        print("\n".join(lines))
    return 1 if difference or broken or untrusted else 0


def main(argv):
    try:
        if len(argv) == 4 and argv[1] == "copy":
            copy(argv[2], argv[3])
            return 0
        if len(argv) in (6, 7) and argv[1] == "compare":
            return compare(*argv[2:6], argv[6] if len(argv) == 7 else None)
    except BadInput as error:
        print(error, file=sys.stderr)
        return 2
    print("usage: compare.py copy FILE COPY | compare COPY BUILD NAME LABEL [CA.pem]",
          file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
