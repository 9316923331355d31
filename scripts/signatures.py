#!/usr/bin/env python3
"""Who signed a PE program, and whether each signature still holds.

  signatures.py FILE   one line for each Authenticode signature, nested ones included:
                         signature: none
                         signature: SUBJECT, its digest matches the file[; NOTE]...
                         signature: BROKEN (WHY)
                       exit 0 if none is broken, 1 if one is, 2 if FILE is not a PE program,
                       3 if this script cannot run (the cryptography package is missing)

A signature holds when it is one Authenticode signed-data object as signers write it
(version 1, one signer of version 1, whose digest algorithm the object names alone, and
nothing after the signer's signature value but unsigned attributes), the digest it names
is the file's, its signed attributes name that digest, the signer's certificate in it
verifies the signature over them, and each certificate on the way from it to a root
verifies where its issuer is in the signature too. A note on the line says what is left
unchecked: a time stamp, an issuer that is not in the signature, unsigned data that no
signature covers. Whether the certificate is one to trust is left to the reader: nothing
here looks at roots or revocation.
"""

import hashlib
import sys
import warnings

import pe

try:
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
except ImportError:
    print("signatures.py needs Python's cryptography package (Debian: python3-cryptography)",
          file=sys.stderr)
    sys.exit(3)

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
CONTENT_TYPE = "1.2.840.113549.1.9.3"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
# A counter-signature and an RFC 3161 token: time stamps, which nothing here verifies.
TIME_STAMPS = {"1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1"}
DIGESTS = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256",
           "2.16.840.1.101.3.4.2.2": "sha384", "2.16.840.1.101.3.4.2.3": "sha512"}
NOT_AUTHENTICODE = "it is not an Authenticode PKCS#7 signed-data object"


class Broken(Exception):
    """Why a signature does not hold."""


def parts(data, start, end, *tags):
    """The DER objects that fill data[start:end] as (tag, whole start, contents start, end);
    with tags given, exactly those."""
    found = []
    while start < end:
        obj = pe.der_object(data, start, end)
        if obj is None:
            raise Broken("its PKCS#7 data is not well-formed DER")
        found.append((obj[0], start, obj[1], obj[2]))
        start = obj[2]
    if tags and [tag for tag, *_ in found] != list(tags):
        raise Broken(NOT_AUTHENTICODE)
    return found


def oid(data, part):
    tag, _, start, end = part
    if tag != 0x06 or start == end:
        raise Broken(NOT_AUTHENTICODE)
    numbers, value = [], 0
    for byte in data[start:end]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    if value or not numbers:
        raise Broken("its PKCS#7 data is not well-formed DER")
    first = min(numbers[0] // 40, 2)
    return ".".join(map(str, [first, numbers[0] - 40 * first, *numbers[1:]]))


def algorithm(data, part):
    """The OID an AlgorithmIdentifier names, its parameters absent or NULL."""
    fields = parts(data, part[2], part[3])
    if part[0] != 0x30 or len(fields) not in (1, 2) or \
            any(data[f[1]:f[3]] != b"\x05\x00" for f in fields[1:]):
        raise Broken("it names an algorithm with parameters other than NULL")
    return oid(data, fields[0])


def digest_name(data, part):
    """hashlib's name for the digest an AlgorithmIdentifier names."""
    name = DIGESTS.get(algorithm(data, part))
    if name is None:
        raise Broken("it uses an unknown digest algorithm")
    return name


def attributes(data, part):
    """{type: [values]} of a SET OF Attribute."""
    found = {}
    for attribute in parts(data, part[2], part[3]):
        if attribute[0] != 0x30:
            raise Broken(NOT_AUTHENTICODE)
        kind, values = parts(data, attribute[2], attribute[3], 0x06, 0x31)
        found.setdefault(oid(data, kind), []).extend(parts(data, values[2], values[3]))
    return found


def check_signer(data, signer, certificates, content):
    """The signer's subject, its digest algorithm and its unsigned attributes, if its
    signature over its signed attributes holds; and notes on what is left unchecked."""
    fields = parts(data, signer[2], signer[3])
    if signer[0] != 0x30 or [f[0] for f in fields] not in (
            [0x02, 0x30, 0x30, 0xA0, 0x30, 0x04], [0x02, 0x30, 0x30, 0xA0, 0x30, 0x04, 0xA1]):
        raise Broken("its signer is not version, issuer and serial, digest, signed "
                     "attributes, signature and unsigned attributes alone")
    if data[fields[0][2]:fields[0][3]] != b"\x01":
        raise Broken("its signer's version is not 1")
    # The signature algorithm's form alone: the key says how the signature verifies.
    algorithm(data, fields[4])
    issuer, serial = parts(data, fields[1][2], fields[1][3], 0x30, 0x02)
    signed = attributes(data, fields[3])
    digest_kind = digest_name(data, fields[2])
    if [oid(data, v) for v in signed.get(CONTENT_TYPE, [])] != [SPC_INDIRECT_DATA]:
        raise Broken("its signed attributes do not name Authenticode content")
    digest = [data[v[2]:v[3]] for v in signed.get(MESSAGE_DIGEST, []) if v[0] == 0x04]
    if digest != [hashlib.new(digest_kind, content).digest()]:
        raise Broken("its signed attributes do not match its content")
    number = int.from_bytes(data[serial[2]:serial[3]], "big", signed=True)
    for certificate in certificates:
        if (certificate.serial_number == number and
                certificate.issuer.public_bytes() == data[issuer[1]:issuer[3]]):
            break
    else:
        raise Broken("the signer's certificate is not in it")
    # The signature is over the attributes encoded as a SET, not as the [0] they stand in.
    if not verifies(certificate.public_key(), data[fields[5][2]:fields[5][3]],
                    b"\x31" + data[fields[3][1] + 1:fields[3][3]],
                    getattr(hashes, digest_kind.upper())()):
        raise Broken("its signer's signature does not verify")
    unchecked = check_chain(certificate, certificates)
    notes = [f"its certificate's issuer {unchecked} is not in it, so nothing here checks "
             f"that certificate"] if unchecked else []
    unsigned = attributes(data, fields[6]) if len(fields) == 7 else {}
    for kind in unsigned:
        if kind in TIME_STAMPS:
            notes.append("its time stamp is not verified")
        elif kind != NESTED_SIGNATURE:
            notes.append(f"it carries unsigned data of type {kind}, which no signature covers")
    return certificate.subject.rfc4514_string(), digest_kind, unsigned, notes


def verifies(key, value, signed, hashed):
    """Whether key's signature `value` over `signed` holds."""
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(value, signed, padding.PKCS1v15(), hashed)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(value, signed, ec.ECDSA(hashed))
        else:
            raise Broken("a key in it is of an unknown kind")
    except InvalidSignature:
        return False
    return True


def check_chain(certificate, certificates):
    """Each certificate from the signer's up verifies by its issuer's key, as long as that
    issuer is in the signature; a self-issued one by its own. The name of the issuer that
    is not in it, if the way up ends there."""
    seen = []
    while certificate not in seen:
        seen.append(certificate)
        issuer = next((c for c in certificates if c.subject == certificate.issuer), None)
        if issuer is None:
            return certificate.issuer.rfc4514_string()
        if not verifies(issuer.public_key(), certificate.signature,
                        certificate.tbs_certificate_bytes, certificate.signature_hash_algorithm):
            raise Broken(f"its certificate for {certificate.subject.rfc4514_string()} "
                         f"does not verify")
        certificate = issuer


def read_signature(data, start, end, file_digests):
    """Lines for the signature in data[start:end] and those nested in it."""
    try:
        content_info = parts(data, start, end, 0x30)[0]
        kind, body = parts(data, content_info[2], content_info[3], 0x06, 0xA0)
        if oid(data, kind) != SIGNED_DATA:
            raise Broken("it is not a PKCS#7 signed-data object")
        signed_data = parts(data, body[2], body[3], 0x30)[0]
        fields = parts(data, signed_data[2], signed_data[3])
        tags = [f[0] for f in fields]
        # version, digestAlgorithms, content, [0] certificates, [1] CRLs, signerInfos
        if (tags[:3] != [0x02, 0x31, 0x30] or tags[-1] != 0x31 or
                tags[3:-1] not in ([], [0xA0], [0xA1], [0xA0, 0xA1])):
            raise Broken(NOT_AUTHENTICODE)
        if data[fields[0][2]:fields[0][3]] != b"\x01":
            raise Broken("its signed-data version is not 1")
        certificates = [x509.load_der_x509_certificate(data[c[1]:c[3]])
                        for f in fields if f[0] == 0xA0 for c in parts(data, f[2], f[3])]
        signers = parts(data, fields[-1][2], fields[-1][3])
        if len(signers) != 1:
            raise Broken(f"it has {len(signers)} signers, not one")
        kind, wrapped = parts(data, fields[2][2], fields[2][3], 0x06, 0xA0)
        indirect = parts(data, wrapped[2], wrapped[3], 0x30)[0]
        if oid(data, kind) != SPC_INDIRECT_DATA:
            raise Broken("it does not sign Authenticode content")
        image, digest_info = parts(data, indirect[2], indirect[3], 0x30, 0x30)
        if oid(data, parts(data, image[2], image[3])[0]) != SPC_PE_IMAGE_DATA:
            raise Broken("it does not sign a PE image")
        file_algorithm, named = parts(data, digest_info[2], digest_info[3], 0x30, 0x04)
        if data[named[2]:named[3]] != file_digests(digest_name(data, file_algorithm)):
            raise Broken("its digest does not match the file")
        # The signed attributes' digest is over the content's contents, without its header.
        subject, signer_digest, unsigned, notes = check_signer(
            data, signers[0], certificates, data[indirect[2]:indirect[3]])
        # One signer, one digest: the object names it alone, and the file's digest is the
        # signer's too.
        if ([digest_name(data, a) for a in parts(data, fields[1][2], fields[1][3])] !=
                [signer_digest] or digest_name(data, file_algorithm) != signer_digest):
            raise Broken("its digest algorithms are not its signer's alone")
    except Exception as why:  # whatever cannot be read as a sound signature is broken
        reason = why if isinstance(why, Broken) else f"it cannot be read: {type(why).__name__}"
        return [pe.one_line(f"signature: BROKEN ({reason})")]
    lines = [pe.one_line("; ".join([f"signature: {subject}, its digest matches the file",
                                    *notes]))]
    for part in unsigned.get(NESTED_SIGNATURE, []):
        lines += read_signature(data, part[1], part[3], file_digests)
    return lines


def main(argv):
    warnings.simplefilter("ignore")  # the library's advice is no part of the output
    if len(argv) != 2:
        print("usage: signatures.py FILE", file=sys.stderr)
        return 2
    try:
        image = pe.load(argv[1])
    except pe.BadInput as error:
        print(error, file=sys.stderr)
        return 2
    if image.problem:
        lines = [pe.one_line(f"signature: BROKEN ({image.problem})")]
    elif image.signature:
        digested = image.digested()
        lines = read_signature(image.data, *image.signature,
                               lambda name: hashlib.new(name, digested).digest())
    else:
        lines = []
    print("\n".join(lines or ["signature: none"]))
    return 1 if any(line.startswith("signature: BROKEN") for line in lines) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
