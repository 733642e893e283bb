"""imgtool on the host: what it packs is checked independently of our own
code (Python's zlib for the CRC, the openssl command for signatures), and
verify is checked against damaged files, wrong keys and bad arguments."""

import os
import pathlib
import struct
import subprocess
import zlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
IMGTOOL = os.environ.get("IMGTOOL", str(ROOT / "build" / "host" / "imgtool"))
KEYS = ROOT / "keys" / "test"
PROD_KEY = KEYS / "production.key.pem"
PROD_PUB = KEYS / "production.pub.pem"
DEV_KEY = KEYS / "development.key.pem"
DEV_PUB = KEYS / "development.pub.pem"

APP = 0x014D4152
BOOT = 0x024D4152
KERNEL = 0x034D4152
ONIE = 0x094D4152
FLAG = 0x80000000


def imgtool(*args):
    return subprocess.run([IMGTOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def register(data):
    """The component CRC register: the ones' complement of the usual CRC-32."""
    return ~zlib.crc32(data) & 0xFFFFFFFF


def parse(blob):
    """Splits a container into components, by the format's own rules."""
    components = []
    offset = 0
    while len(blob) - offset >= 24:
        crc, length, magic, ident = struct.unpack_from(">IIII", blob, offset)
        if blob[offset + 16:offset + 20] == b"HDR3":
            header_len = struct.unpack_from(">H", blob, offset + 22)[0]
            size = length + 16
            fmt = 3
        elif magic & FLAG:
            header_len = struct.unpack_from(">H", blob, offset + 18)[0]
            size = header_len + length
            fmt = 2
        else:
            header_len, size, fmt = 16, length + 16, 1
        data = blob[offset:offset + size]
        components.append(dict(offset=offset, crc=crc, len=length, magic=magic, id=ident,
                               format=fmt, header=data[:header_len], payload=data[header_len:],
                               data=data))
        offset += size
    return components


def entries(header):
    found = []
    at = 24
    while at + 4 <= len(header):
        tag, length = struct.unpack_from(">HH", header, at)
        if length < 4:
            break
        found.append((tag, header[at + 4:at + length]))
        at += length
    return found


@pytest.fixture
def payloads(tmp_path):
    made = {}
    for name, size, salt in (("app", 5000, 1), ("boot", 300, 2), ("big", 300_000, 3)):
        path = tmp_path / name
        path.write_bytes(bytes((i * 31 + salt + (i >> 9)) & 0xFF for i in range(size)))
        made[name] = path
    return made


def pack(tmp_path, *args, name="image.img"):
    out = tmp_path / name
    result = imgtool("pack", "-o", out, *args)
    assert result.returncode == 0, result.stderr
    return out


# ---- help and usage ----

@pytest.mark.parametrize("command", [[], ["pack"], ["inspect"], ["verify"]])
def test_help_on_each_command(command):
    result = imgtool(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith("usage: imgtool " + (command[0] if command else "COMMAND"))


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["pack"],
    ["pack", "-o", "x.img"],
    ["pack", "-o", "x.img", "--type", "nonsense", "p"],
    ["pack", "-o", "x.img", "--format", "4", "--type", "kernel", "p"],
    ["pack", "-o", "x.img", "--type", "kernel", "--version", "1.2.3.256", "p"],
    ["pack", "-o", "x.img", "--type", "kernel", "--version", "1.2.3", "p"],
    ["inspect"],
    ["inspect", "a", "b"],
    ["verify", "file.img"],
    ["verify", "--key", str(PROD_PUB)],
    ["verify", "--key", str(PROD_PUB), "--bogus", "file.img"],
])
def test_usage_errors_exit_2(args):
    result = imgtool(*args)
    assert result.returncode == 2, result
    assert result.stderr


def test_pack_refuses_inconsistent_components(tmp_path, payloads):
    out = tmp_path / "x.img"
    for args in (["--format", "1", "--alias", "application", payloads["app"]],
                 ["--format", "2", "--sign", PROD_KEY, payloads["app"]],
                 ["--format", "1", "--flag", payloads["app"]],
                 [payloads["app"]],  # no type
                 ["--type", "kernel", payloads["app"], "--type", "kernel"],
                 ["--type", "kernel", tmp_path / "missing"],
                 ["--type", "kernel", "--sign", tmp_path / "missing", payloads["app"]],
                 ["--type", "kernel", "--sign", PROD_PUB, payloads["app"]]):  # not private
        result = imgtool("pack", "-o", out, *args)
        assert result.returncode == 2, (args, result.stderr)
        assert not out.exists()
        assert not list(tmp_path.glob("x.img.*")), "no temporary file is left behind"


# ---- pack, checked by the format's rules ----

def test_pack_three_formats(tmp_path, payloads):
    app = payloads["app"].read_bytes()
    out = pack(tmp_path,
               "--type", "bootloader", "--format", "1", "--version", "1.2.3.4", payloads["boot"],
               "--type", "kernel", "--format", "2", "--version", "255.0.0.1", payloads["app"],
               "--type", "application", "--format", "3", payloads["app"])
    parts = parse(out.read_bytes())
    assert [p["format"] for p in parts] == [1, 2, 3]
    boot, kernel, application = parts
    assert (boot["magic"], boot["id"], boot["len"]) == (BOOT, 0x01020304, 300)
    assert len(boot["header"]) == 16 and boot["payload"] == payloads["boot"].read_bytes()
    assert (kernel["magic"], kernel["id"], kernel["len"]) == (KERNEL | FLAG, 0xFF000001, 5000)
    assert len(kernel["header"]) == 24 and kernel["payload"] == app
    assert application["magic"] == APP and application["id"] == 0
    assert len(application["header"]) == 24 and application["payload"] == app
    assert application["len"] == 24 + 5000 - 16
    for part in parts:
        assert part["crc"] == register(part["data"][4:])
    assert out.stat().st_size == sum(len(p["data"]) for p in parts)


def test_pack_signature_entry_verifies_with_openssl(tmp_path, payloads):
    out = pack(tmp_path, "--type", "kernel", "--sign", PROD_KEY, "--version", "1.2.3.4",
               payloads["app"])
    (part,) = parse(out.read_bytes())
    assert len(part["header"]) == 24 + 262
    ((tag, value),) = entries(part["header"])
    assert tag == 3 and struct.unpack_from(">H", value)[0] == 256
    (tmp_path / "sig").write_bytes(value[2:])
    (tmp_path / "payload").write_bytes(part["payload"])
    check = subprocess.run(["openssl", "dgst", "-sha256", "-verify", PROD_PUB, "-signature",
                            tmp_path / "sig", tmp_path / "payload"],
                           capture_output=True, text=True)
    assert check.returncode == 0 and "Verified OK" in check.stdout


def test_pack_alias_and_flag(tmp_path, payloads):
    out = pack(tmp_path, "--type", "onie", "--flag", "--alias", "application",
               "--sign", DEV_KEY, payloads["app"])
    (part,) = parse(out.read_bytes())
    assert part["magic"] == ONIE | FLAG and part["format"] == 3
    tags = entries(part["header"])
    assert tags[0] == (6, struct.pack(">I", APP))
    assert tags[1][0] == 3
    out = pack(tmp_path, "--type", "kernel", "--alias", "0x014D0000", payloads["app"],
               name="raw.img")
    assert entries(parse(out.read_bytes())[0]["header"]) == [(6, struct.pack(">I", 0x014D0000))]


def test_pack_any_type_code(tmp_path, payloads):
    out = pack(tmp_path, "--type", "0x7f", "--format", "1", payloads["boot"],
               "--type", "7", payloads["boot"])
    assert [p["magic"] for p in parse(out.read_bytes())] == [0x7F4D4152, 0x074D4152]


def test_pack_warns_about_a_last_component_no_reader_sees(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    result = imgtool("pack", "-o", tmp_path / "e.img", "--type", "kernel", "--format", "1", empty)
    assert result.returncode == 0
    assert "will not see it" in result.stderr
    assert (tmp_path / "e.img").stat().st_size == 16


# ---- inspect ----

def test_inspect_lists_every_component(tmp_path, payloads):
    out = pack(tmp_path,
               "--type", "bootloader", "--format", "2", "--version", "1.0.0.7", payloads["boot"],
               "--type", "onie", "--alias", "application", "--sign", PROD_KEY,
               "--version", "2.1.0.3", payloads["app"])
    result = imgtool("inspect", out)
    assert result.returncode == 0, result.stderr
    text = result.stdout
    assert "component 1\n  offset:  0 (0x00000000)\n  type:    bootloader (magic 0x824D4152, " \
           "flag bit set)\n  format:  2 (long)\n  header:  24 bytes\n  payload: 300 bytes\n" \
           "  version: 1.0.0.7\n  crc:     0x" in text
    assert "component 2\n  offset:  324 (0x00000144)\n  type:    onie (magic 0x094D4152)\n" \
           "  format:  3 (HDR3)\n  header:  294 bytes\n  payload: 5000 bytes\n" \
           "  version: 2.1.0.3\n" in text
    assert text.count(" good\n") == 2
    assert "entry:   tag 6, 8 bytes at header offset 24: type alias 0x014D4152 (application)" in text
    assert "entry:   tag 3, 262 bytes at header offset 32: signature of 256 bytes" in text
    assert "bootable: application at offset 324 (magic 0x094D4152)" in text


def test_inspect_shows_bad_crc_truncation_and_refusals(tmp_path, payloads):
    out = pack(tmp_path, "--type", "kernel", "--format", "1", payloads["app"])
    blob = bytearray(out.read_bytes())
    blob[100] ^= 1
    (tmp_path / "bad.img").write_bytes(blob)
    text = imgtool("inspect", tmp_path / "bad.img").stdout
    assert "bad (computed 0x" in text and "bootable: none (last magic read 0x034D4152)" in text

    (tmp_path / "short.img").write_bytes(blob[:1000] )
    text = imgtool("inspect", tmp_path / "short.img").stdout
    assert "bad: the file ends 1000 bytes into the component of 5016 bytes" in text

    hdr3 = bytearray(24)
    struct.pack_into(">II", hdr3, 4, 84, APP)
    hdr3[16:20] = b"HDR3"
    struct.pack_into(">H", hdr3, 22, 101)
    (tmp_path / "malformed.img").write_bytes(bytes(hdr3) + bytes(76))
    result = imgtool("inspect", tmp_path / "malformed.img")
    assert result.returncode == 0
    assert "component 1 at offset 0 (magic 0x014D4152) refused: HDR3 header longer than the " \
           "component" in result.stdout


def test_inspect_unreadable_files_exit_2(tmp_path):
    assert imgtool("inspect", tmp_path / "missing").returncode == 2
    assert imgtool("inspect", tmp_path).returncode == 2


# ---- verify ----

def test_verify_good_container(tmp_path, payloads):
    out = pack(tmp_path,
               "--type", "bootloader", "--format", "1", payloads["boot"],
               "--type", "kernel", "--sign", PROD_KEY, payloads["big"],
               "--type", "application", "--sign", PROD_KEY, payloads["app"])
    result = imgtool("verify", "--key", PROD_PUB, out)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("signature verified") == 2
    assert "component 1 (bootloader, offset 0): CRC good; payload of 300 bytes within the limit " \
        "of 524288 for flash /dev/mtd-uboot (payload); no signature step for this type; " \
        "installed on every switch\n" in result.stdout
    assert result.stdout.endswith(f"{out}: verified\n")


def test_verify_wrong_key(tmp_path, payloads):
    out = pack(tmp_path, "--type", "application", "--sign", DEV_KEY, payloads["app"])
    result = imgtool("verify", "--key", PROD_PUB, out)
    assert result.returncode == 1
    assert f"component 1 (application, offset 0): CRC good; no size limit for image slot " \
        f"/user/images/image1 or image2; signature does not verify with {PROD_PUB}" \
        in result.stdout
    assert imgtool("verify", "--key", DEV_PUB, out).returncode == 0


def test_verify_tampered_byte(tmp_path, payloads):
    out = pack(tmp_path, "--type", "bootloader", "--format", "1", payloads["boot"],
               "--type", "application", "--sign", PROD_KEY, payloads["app"])
    blob = bytearray(out.read_bytes())
    second = parse(bytes(blob))[1]
    at = second["offset"] + len(second["header"]) + 1234
    blob[at] ^= 0x40
    (tmp_path / "t.img").write_bytes(blob)
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "t.img")
    assert result.returncode == 1
    assert "component 2 (application, offset 316): CRC bad: stored 0x" in result.stdout

    # The same byte with the CRC made right again: the signature catches it.
    struct.pack_into(">I", blob, second["offset"],
                     register(bytes(blob[second["offset"] + 4:])))
    (tmp_path / "t.img").write_bytes(blob)
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "t.img")
    assert result.returncode == 1
    assert "component 2 (application, offset 316): CRC good; " in result.stdout
    assert "; signature does not verify" in result.stdout
    assert "(status -7711)" in result.stdout


def test_verify_every_component_is_judged(tmp_path, payloads):
    out = pack(tmp_path, "--type", "kernel", "--format", "3", payloads["boot"],
               "--type", "rootfs", "--sign", PROD_KEY, payloads["app"])
    result = imgtool("verify", "--key", PROD_PUB, out)
    assert result.returncode == 1
    assert "component 1 (kernel, offset 0): CRC good; component of 324 bytes within the limit " \
        "of 3145728 for flash /dev/mtd-kernel; no signature entry; refused as unsigned" \
        in result.stdout
    assert "component 2 (rootfs, offset 324): CRC good; " in result.stdout
    assert "signature verified with the production key; installed on every switch" \
        in result.stdout


def test_verify_malformed_and_truncated(tmp_path, payloads):
    out = pack(tmp_path, "--type", "application", "--sign", PROD_KEY, payloads["app"])
    blob = out.read_bytes()
    (tmp_path / "cut.img").write_bytes(blob[:-1])
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "cut.img")
    assert result.returncode == 1 and "truncated" in result.stdout

    # A signature length past its entry.
    bad = bytearray(blob)
    struct.pack_into(">H", bad, 28, 257)
    struct.pack_into(">I", bad, 0, register(bytes(bad[4:])))
    (tmp_path / "sig.img").write_bytes(bad)
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "sig.img")
    assert result.returncode == 1 and "malformed signature entry" in result.stdout

    # A long header of length 0 (it would never move a reader on).
    stuck = bytearray(24)
    struct.pack_into(">I", stuck, 8, KERNEL | FLAG)
    (tmp_path / "stuck.img").write_bytes(blob + stuck)
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "stuck.img")
    assert result.returncode == 1
    assert f"component 2 (offset {len(blob)}, magic 0x834D4152): refused: long header " \
           "shorter than 16 bytes" in result.stdout


def test_verify_tells_what_the_installer_does(tmp_path, payloads):
    """Per component: the size limit, whether the type needs a signature,
    and the verdict with the production and the development key."""
    diags = tmp_path / "diags"
    diags.write_bytes(b"d" * (0x700000 - 15))
    out = pack(tmp_path,
               "--type", "kernel", "--format", "1", payloads["boot"],
               "--type", "diagnostics", "--format", "1", payloads["big"],
               "--type", "rootfs", "--sign", DEV_KEY, payloads["app"],
               "--type", "orvex", "--format", "1", payloads["app"],
               "--type", 7, "--format", "1", payloads["app"],
               "--type", "diagnostics", "--format", "1", diags)
    result = imgtool("verify", "--key", PROD_PUB, "--dev-key", DEV_PUB, out)
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert lines[0].endswith("; format 1: no signature; refused as unsigned on a production "
                             "switch (a developer switch in low security mode asks the operator)")
    assert lines[1].endswith("component of 300016 bytes within the limit of 7340032 for flash "
                             "/dev/mtd-rescue; no signature step for this type; installed on "
                             "every switch")
    assert f"but verifies with the development key {DEV_PUB}; installed only on a switch " \
        "running developer images or in low security mode, refused on a production switch" \
        in lines[2]
    assert lines[3].endswith("no size limit for eMMC partition 2 or 3 (payload, gunzip); "
                             "no signature step for this type; installed on every switch")
    assert lines[4].endswith("no type the switch knows; the installer passes over it")
    assert lines[5].endswith("component of 7340033 bytes is over the limit of 7340032 for "
                             "flash /dev/mtd-rescue; refused")
    assert lines[6] == f"{out}: FAILED"
    assert imgtool("verify", "--key", PROD_PUB, "--dev-key", tmp_path / "no.pem",
                   out).returncode == 2


def test_pack_refuses_a_format_1_payload_read_as_hdr3(tmp_path):
    payload = tmp_path / "hdr3"
    payload.write_bytes(b"HDR3" + bytes(100))
    result = imgtool("pack", "-o", tmp_path / "x.img", "--type", "kernel", "--format", "1",
                     payload)
    assert result.returncode == 1 and "read by the switch as a format-3 header" in result.stderr
    assert not (tmp_path / "x.img").exists()
    result = imgtool("pack", "-o", tmp_path / "x.img", "--allow-hdr3-payload", "--type",
                     "kernel", "--format", "1", payload)
    assert result.returncode == 0 and "warning" in result.stderr
    # Formats 2 and 3 keep bytes 16-23 in the header: nothing to refuse.
    assert imgtool("pack", "-o", tmp_path / "y.img", "--type", "kernel", "--format", "2",
                   payload).returncode == 0


def test_verify_empty_and_foreign_files(tmp_path):
    (tmp_path / "empty.img").write_bytes(b"")
    result = imgtool("verify", "--key", PROD_PUB, tmp_path / "empty.img")
    assert result.returncode == 1 and "no component" in result.stdout
    (tmp_path / "text.img").write_bytes(b"this is not an image container at all\n" * 3)
    assert imgtool("verify", "--key", PROD_PUB, tmp_path / "text.img").returncode == 1


def test_verify_unreadable_inputs_exit_2(tmp_path, payloads):
    out = pack(tmp_path, "--type", "application", "--sign", PROD_KEY, payloads["app"])
    assert imgtool("verify", "--key", PROD_PUB, tmp_path / "missing").returncode == 2
    assert imgtool("verify", "--key", PROD_PUB, tmp_path).returncode == 2
    assert imgtool("verify", "--key", tmp_path / "missing.pem", out).returncode == 2
    result = imgtool("verify", "--key", PROD_KEY, out)  # a private key is no public key
    assert result.returncode == 2 and "not an RSA public key" in result.stderr
