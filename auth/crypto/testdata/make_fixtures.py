#!/usr/bin/env python3
"""Makes the RSA test fixtures of the crypto unit tests with the openssl
command-line tool.

Run from anywhere: python3 auth/crypto/testdata/make_fixtures.py
It writes, beside itself, the message and its SHA-1 digest, public keys
(PEM, and one DER), signatures made by openssl over message.txt, and raw-RSA signatures of hand-built blocks for
the strictness tests. The private keys live in a temporary folder only:
every run makes new keys and rewrites every file consistently.
"""

import hashlib
import os
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGE = b"Boot launcher test image payload\n"

SHA256_OID = bytes.fromhex("608648016503040201")
SHA1_OID = bytes.fromhex("2b0e03021a")


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True, capture_output=True).stdout


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def tlv(tag, value):
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82, n >> 8, n & 0xFF])
    return bytes([tag]) + length + value


def digest_info(oid, digest, params=b"\x05\x00"):
    return tlv(0x30, tlv(0x30, tlv(0x06, oid) + params) + tlv(0x04, digest))


def frame(k, t, padding=None):
    """00 01 FF..FF 00 T filling k bytes."""
    if padding is None:
        padding = b"\xff" * (k - 3 - len(t))
    block = b"\x00\x01" + padding + b"\x00" + t
    assert len(block) == k, (len(block), k)
    return block


def genkey(tmp, name, bits, exponent=65537):
    key = os.path.join(tmp, name + ".key")
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}",
            "-pkeyopt", f"rsa_keygen_pubexp:{exponent}", "-out", key)
    write(name + ".pub.pem", openssl("pkey", "-in", key, "-pubout"))
    modulus = openssl("rsa", "-in", key, "-noout", "-modulus").decode().strip()
    return key, int(modulus.split("=", 1)[1], 16)


def sign(tmp, key, name, digest_name):
    msg = os.path.join(tmp, "message.txt")
    write(name, openssl("dgst", "-" + digest_name, "-sign", key, msg))


def sign_raw(tmp, key, name, block):
    raw = os.path.join(tmp, "block.bin")
    with open(raw, "wb") as f:
        f.write(block)
    # The raw private-key operation: block^d mod n, no padding added.
    write(name, openssl("pkeyutl", "-decrypt", "-inkey", key, "-pkeyopt",
                        "rsa_padding_mode:none", "-in", raw))


def icbrt_ceil(x):
    lo, hi = 0, 1 << ((x.bit_length() + 2) // 3 + 1)
    while lo < hi:
        mid = (lo + hi) // 2
        if mid ** 3 < x:
            lo = mid + 1
        else:
            hi = mid
    return lo


def forge_e3(prefix, k, n):
    """A signature whose cube (no reduction needed) starts with prefix and
    ends in garbage: no private key involved."""
    garbage_bits = 8 * (k - len(prefix))
    target = int.from_bytes(prefix, "big") << garbage_bits
    s = icbrt_ceil(target)
    cube = s ** 3
    assert cube < n and cube >> garbage_bits == int.from_bytes(prefix, "big")
    return s.to_bytes(k, "big")


def crafted_frames(digest):
    di = digest_info(SHA256_OID, digest)
    k = 256
    long_outer = b"\x30\x81" + di[1:]
    inner = tlv(0x30, tlv(0x06, SHA256_OID) + b"\x05\x00")
    long_octet = tlv(0x30, inner + b"\x04\x81\x20" + digest)
    return {
        "frame_padding7.sig": b"\x00\x01" + b"\xff" * 7 + b"\x00" + b"\x00" * (k - 61) + di,
        "frame_padding_fe.sig": frame(k, di, b"\xff" * 100 + b"\xfe" + b"\xff" * (k - 3 - 51 - 101)),
        "frame_no_separator.sig": b"\x00\x01" + b"\xff" * (k - 2),
        "frame_type2.sig": b"\x00\x02" + frame(k, di)[2:],
        "di_trailing.sig": frame(k, di + b"\x00"),
        "di_long_length.sig": frame(k, long_outer),
        "di_octet_long_length.sig": frame(k, long_octet),
        "di_sha1_32.sig": frame(k, digest_info(SHA1_OID, digest)),
        "di_extra_field.sig": frame(k, tlv(0x30, inner + tlv(0x04, digest) + b"\x05\x00")),
        "di_unknown_oid.sig": frame(k, digest_info(bytes.fromhex("608648016503040263"), digest)),
        "di_params_int.sig": frame(k, digest_info(SHA256_OID, digest, b"\x02\x01\x00")),
        "di_no_params.sig": frame(k, digest_info(SHA256_OID, digest, b"")),
    }


def e3_forgeries(digest, k, n):
    di = digest_info(SHA256_OID, digest)
    trailing = b"\x00\x01" + b"\xff" * 8 + b"\x00" + di
    # A DigestInfo whose lengths cover the garbage: 224 "digest" bytes.
    t_len = k - 11
    inner = tlv(0x30, tlv(0x06, SHA256_OID) + b"\x05\x00")
    octet_len = t_len - 3 - len(inner) - 3
    long_digest = (b"\x00\x01" + b"\xff" * 8 + b"\x00" + b"\x30\x81" + bytes([t_len - 3]) +
                   inner + b"\x04\x81" + bytes([octet_len]) + digest)
    # The padding must start at once: a byte other than FF before it.
    padding_late = b"\x00\x01\x00" + b"\xff" * 8 + b"\x00" + di
    return {
        "e3_forged_trailing.sig": forge_e3(trailing, k, n),
        "e3_forged_long_digest.sig": forge_e3(long_digest, k, n),
        "e3_forged_padding_late.sig": forge_e3(padding_late, k, n),
    }


def main():
    write("message.txt", MESSAGE)
    # A SHA-1 digest of the message, for the SHA-1 DigestInfo signature.
    write("message.sha1", hashlib.sha1(MESSAGE).digest())
    digest = hashlib.sha256(MESSAGE).digest()
    with tempfile.TemporaryDirectory() as tmp:
        write_tmp = os.path.join(tmp, "message.txt")
        with open(write_tmp, "wb") as f:
            f.write(MESSAGE)
        key2048, _ = genkey(tmp, "rsa2048", 2048)
        write("rsa2048.pub.der", openssl("pkey", "-in", key2048, "-pubout", "-outform", "DER"))
        sign(tmp, key2048, "rsa2048.sig", "sha256")
        sign(tmp, key2048, "rsa2048_sha1.sig", "sha1")
        for bits in (3072, 4096):
            key, _ = genkey(tmp, f"rsa{bits}", bits)
            sign(tmp, key, f"rsa{bits}.sig", "sha256")
        key_e3, n_e3 = genkey(tmp, "rsa2048e3", 2048, 3)
        sign(tmp, key_e3, "rsa2048e3.sig", "sha256")
        for name, block in crafted_frames(digest).items():
            sign_raw(tmp, key2048, name, block)
        for name, sig in e3_forgeries(digest, 256, n_e3).items():
            write(name, sig)


if __name__ == "__main__":
    main()
