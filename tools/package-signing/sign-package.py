#!/usr/bin/env python3
"""Signs a korvel package in place for the hosts that set PackageKeys.

    sign-package.py --key KEY.pem PACKAGE.zip

KEY.pem is an EC P-256 private key in PEM (openssl genpkey -algorithm EC
-pkeyopt ec_paramgen_curve:P-256 -out KEY.pem). The signature goes into the
ZIP archive comment, replacing any comment there, and covers every byte before
it: the package stays an ordinary ZIP. On success the script prints the
PackageKeys value of the key (the base64 of its SubjectPublicKeyInfo). Needs
Python's standard library and the openssl command only.
"""

import argparse
import base64
import os
import struct
import subprocess
import sys
import tempfile

MARKER = b"KORVEL-SIGNATURE"
FORMAT_VERSION = 1
COMMENT_BYTES = 90
MAX_SIGNATURE_BYTES = COMMENT_BYTES - len(MARKER) - 2
END_RECORD = b"PK\x05\x06"
END_RECORD_BYTES = 22
# The DER of an EC public key's algorithm and curve P-256, as SubjectPublicKeyInfo starts.
P256_KEY_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
# The order of P-256. Of the two values of s that verify with the same r,
# hosts take only the one not above half of it.
P256_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def fail(message):
    sys.exit(f"sign-package.py: {message}")


def openssl(arguments, data=None):
    try:
        result = subprocess.run(["openssl"] + arguments, input=data, capture_output=True)
    except FileNotFoundError:
        fail("the openssl command is not installed")
    if result.returncode != 0:
        fail(f"openssl {arguments[0]} failed: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def public_key(key):
    der = openssl(["pkey", "-in", key, "-pubout", "-outform", "DER"])
    if not der.startswith(P256_KEY_PREFIX) or len(der) != len(P256_KEY_PREFIX) + 65:
        fail(f"{key} is not an EC P-256 key")
    return base64.b64encode(der).decode()


def end_record_offset(data):
    """The offset of the end of central directory record whose comment runs
    exactly to the end of the file."""
    at = data.rfind(END_RECORD)
    while at >= 0:
        if at + END_RECORD_BYTES <= len(data):
            (comment_bytes,) = struct.unpack_from("<H", data, at + END_RECORD_BYTES - 2)
            if at + END_RECORD_BYTES + comment_bytes == len(data):
                return at
        at = data.rfind(END_RECORD, 0, at)
    fail("the package is not a ZIP archive (no end of central directory record)")


def der_integer(value):
    body = value.to_bytes((value.bit_length() + 8) // 8, "big")
    return bytes([0x02, len(body)]) + body


def low_s_signature(der):
    """The signature openssl wrote, as SEQUENCE { INTEGER r, INTEGER s }, with
    s replaced by n - s when it is the higher of the two."""
    if len(der) < 8 or der[0] != 0x30 or der[1] != len(der) - 2 or der[2] != 0x02:
        fail("openssl wrote a signature that is not a DER ECDSA signature")
    r_end = 4 + der[3]
    r = int.from_bytes(der[4:r_end], "big")
    s = int.from_bytes(der[r_end + 2:r_end + 2 + der[r_end + 1]], "big")
    s = min(s, P256_ORDER - s)
    body = der_integer(r) + der_integer(s)
    return bytes([0x30, len(body)]) + body


def signed_package(data, key):
    end = end_record_offset(data)
    signed = data[:end + END_RECORD_BYTES - 2] + struct.pack("<H", COMMENT_BYTES)
    with tempfile.NamedTemporaryFile() as unsigned:
        unsigned.write(signed)
        unsigned.flush()
        signature = low_s_signature(openssl(["dgst", "-sha256", "-sign", key, unsigned.name]))
    if not 0 < len(signature) <= MAX_SIGNATURE_BYTES:
        fail(f"openssl wrote a signature of {len(signature)} bytes; is {key} a P-256 key?")
    comment = MARKER + bytes([FORMAT_VERSION, len(signature)]) + signature
    return signed + comment.ljust(COMMENT_BYTES, b"\0")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--key", required=True, help="EC P-256 private key, PEM")
    parser.add_argument("package", help="the package, signed in place")
    args = parser.parse_args(argv)
    value = public_key(args.key)
    with open(args.package, "rb") as f:
        data = f.read()
    signed = signed_package(data, args.key)
    folder = os.path.dirname(os.path.abspath(args.package))
    with tempfile.NamedTemporaryFile(dir=folder, delete=False) as out:
        out.write(signed)
    os.chmod(out.name, os.stat(args.package).st_mode & 0o7777)
    os.replace(out.name, args.package)
    print(f"signed {args.package}; PackageKeys value of its key:\n{value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
