"""imgtool keyfile against the openssl command: the key files it writes
decrypt with `openssl enc -d -aes-128-cbc -nopad` to the key's PEM text,
its zero byte and zero padding, and key files openssl makes are read back.
The cipher's fixed parts are stated here on their own, not taken from the
code under test."""

import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
IMGTOOL = os.environ.get("IMGTOOL", str(ROOT / "build" / "host" / "imgtool"))
KEYS = ROOT / "keys" / "test"
PRODUCTION = (KEYS / "production.pub.pem").read_bytes()
DEVELOPMENT = (KEYS / "development.pub.pem").read_bytes()
OTHER_KEY = ROOT / "auth" / "crypto" / "testdata" / "rsa2048.pub.pem"

# The AES key is the 12 serial number bytes and this filler; the IV is fixed.
FILLER = "3ca55e91"
IV = "6b21d4089f73e2154ac637b0580df982"
SERIAL = "VKT3390A0001"


def aes_key(serial):
    return serial.encode().ljust(12, b"\0").hex() + FILLER


def openssl(direction, serial, data):
    result = subprocess.run(["openssl", "enc", direction, "-aes-128-cbc", "-nopad",
                             "-K", aes_key(serial), "-iv", IV],
                            input=data, capture_output=True, check=True)
    return result.stdout


def padded(text):
    plain = text + b"\0"
    return plain + b"\0" * (-len(plain) % 16)


def keyfile(*args):
    return subprocess.run([IMGTOOL, "keyfile", *map(str, args)], capture_output=True, text=True,
                          timeout=60)


def test_written_key_files_decrypt_with_openssl(tmp_path):
    for key, text, name in ((KEYS / "production.pub.pem", PRODUCTION, "production"),
                            (KEYS / "development.pub.pem", DEVELOPMENT, "development")):
        out = tmp_path / f"{name}.pem"
        result = keyfile("--serial", SERIAL, "--key", key, "-o", out)
        assert result.returncode == 0, result.stderr
        assert f"the built-in {name} key for serial number {SERIAL}" in result.stdout
        data = out.read_bytes()
        assert len(data) == 464
        assert openssl("-d", SERIAL, data) == text + b"\0" * 13
    # The serial number is the key: a short one is padded with zero bytes.
    out = tmp_path / "short.pem"
    assert keyfile("--serial", "A1", "--key", OTHER_KEY, "-o", out).returncode == 0
    assert openssl("-d", "A1", out.read_bytes()) == padded(OTHER_KEY.read_bytes())


def test_show_tells_what_an_openssl_made_key_file_holds(tmp_path):
    def show(name, data, serial=SERIAL):
        path = tmp_path / name
        path.write_bytes(data)
        result = keyfile("--serial", serial, "--show", path)
        return result.returncode, result.stdout

    code, text = show("dev.pem", openssl("-e", SERIAL, padded(DEVELOPMENT)))
    assert (code, text) == (0, f"{tmp_path}/dev.pem: the built-in development key\n")
    code, text = show("prod.pem", openssl("-e", SERIAL, padded(PRODUCTION)))
    assert code == 0 and "the built-in production key" in text
    code, text = show("moved.pem", openssl("-e", "VKT3390A0002", padded(PRODUCTION)))
    assert code == 1 and f"garbage for serial number {SERIAL}" in text
    code, text = show("other.pem", openssl("-e", SERIAL, padded(OTHER_KEY.read_bytes())))
    assert code == 1 and "another RSA public key (2048 bits)" in text
    assert OTHER_KEY.read_text() in text
    rewritten = ": the switch rewrites it from its built-in key\n"
    code, text = show("part.pem", openssl("-e", SERIAL, padded(PRODUCTION[:100])))
    assert (code, text) == (1, f"{tmp_path}/part.pem: the first 100 bytes of the built-in "
                               f"production key{rewritten}")
    code, text = show("long.pem", openssl("-e", SERIAL, padded(DEVELOPMENT + b"x" * 40)))
    assert code == 1 and f"the built-in development key followed by 40 more bytes{rewritten}" in text
    code, text = show("odd.pem", b"x" * 500)
    assert code == 1 and "500 bytes, not a multiple of 16" in text
    code, text = show("empty.pem", b"")
    assert (code, text) == (1, f"{tmp_path}/empty.pem: an empty key{rewritten}")
    assert show("big.pem", b"x" * 501)[0] == 2


@pytest.mark.parametrize("args, message", [
    (["--key", KEYS / "production.pub.pem", "-o", "x"], "--serial"),
    (["--serial", "VKT3390A00011", "--show", "x"], "1 to 12 characters"),
    (["--serial", SERIAL], "either --key and -o, or --show"),
    (["--serial", SERIAL, "--key", KEYS / "production.pub.pem"], "either --key and -o"),
    (["--serial", SERIAL, "--show", "x", "--key", "y", "-o", "z"], "either"),
    (["--serial", SERIAL, "--key", ROOT / "auth" / "crypto" / "testdata" / "message.txt", "-o", "x"],
     "not an RSA public key"),
    (["--serial", SERIAL, "--key", KEYS / "production.key.pem", "-o", "x"], "larger than 495 bytes"),
    (["--serial", SERIAL, "--show", "/nonexistent/key.pem"], "/nonexistent/key.pem"),
])
def test_usage_errors(tmp_path, args, message):
    result = subprocess.run([IMGTOOL, "keyfile", *map(str, args)], capture_output=True, text=True,
                            cwd=tmp_path, timeout=60)
    assert result.returncode == 2
    assert message in result.stderr
    assert not (tmp_path / "x").exists()
