"""sandbox/mkboard: the board files a new virtual switch starts with."""

import struct
import subprocess
import zlib

import pytest

from sandbox_helpers import BUILD, ROOT, enter, mkboard


def eeprom(board):
    return (board / "eeprom.bin").read_bytes()


def test_defaults_model_a_production_switch(board):
    data = eeprom(board)
    assert len(data) == 8192
    serial = data[0x0D:0x0D + 12]
    assert len(serial.rstrip(b"\0")) == 12 and serial.isascii()
    assert data[0x100] == 1          # boot slot
    assert data[0x138] == ord("E")   # OS kind
    assert data[0x13B] != 213        # USB boot not enabled
    assert data[0x13A] == 0xFF and data[0x200:] == b"\xff" * (8192 - 0x200)
    assert (board / "rtc").read_text() == "host\n"
    assert (board / "link").read_text() == "up\n"
    assert not (board / "usb").exists()
    sizes = {p.name: p.stat().st_size for p in (board / "mtd").glob("*.bin")}
    assert sizes["kernel.bin"] == 0x300000 and sizes["uboot.bin"] == 0x80000
    assert set(sizes) == {f"{n}.bin" for n in
                          ("uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue", "onie", "user")}
    result = enter(board, "ls /sys/block/mmcblk0; ls /user")
    assert result.stdout.split() == ["mmcblk0p1", "mmcblk0p2", "mmcblk0p3", "mmcblk0p4", "images"]


def test_environment_is_a_real_uboot_block(tmp_path):
    board = tmp_path / "b"
    mkboard(board, "--env", "gdb=on", "--env", "bootargs=console=ttyS0,115200 shell=on")
    env = (board / "mtd" / "ubootenv.bin").read_bytes()
    crc, = struct.unpack(">I", env[:4])
    data = env[4:0x20000]
    assert crc == zlib.crc32(data)
    assert data.startswith(b"gdb=on\0bootargs=console=ttyS0,115200 shell=on\0\0")
    assert env[0x20000:] == b"\xff" * (len(env) - 0x20000)

    bad = tmp_path / "bad"
    mkboard(bad, "--env", "gdb=on", "--env-crc", "bad")
    assert struct.unpack(">I", (bad / "mtd" / "ubootenv.bin").read_bytes()[:4])[0] != crc


@pytest.mark.parametrize("options, message", [
    (["--bogus"], "unrecognized arguments"),
    (["--serial", "THIRTEENCHARS"], "longer than 12"),
    (["--eeprom", "0x100"], "NAME=VALUE"),
    (["--eeprom", "0x2000=1"], "outside"),
    (["--eeprom", "12=0x100"], "not a byte"),
    (["--eeprom", "x=1"], "not a number"),
    (["--rtc", "2026-13-01 00:00:00"], "--rtc"),
    (["--emmc-partitions", "1,5"], "--emmc-partitions"),
    (["--link", "sideways"], "invalid choice"),
    (["--usb", "/nonexistent-stick"], "not a directory"),
    (["--answer", "e2fsck=x"], "not a number"),
    (["--answer", "rm=1"], "not a fake program"),
    (["--erase-size", "1000"], "power of two"),
])
def test_malformed_options_are_refused(tmp_path, options, message):
    result = mkboard(tmp_path / "b", *options, check=False)
    assert result.returncode == 2
    assert message in result.stderr
    assert not (tmp_path / "b").exists()


def test_existing_directories_are_only_replaced_when_they_are_boards(tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    (other / "precious").write_text("keep")
    assert mkboard(other, "--force", check=False).returncode == 2
    assert (other / "precious").read_text() == "keep"
    board = tmp_path / "board"
    mkboard(board)
    assert mkboard(board, check=False).returncode == 2
    mkboard(board, "--force", "--boot-slot", "2")
    assert eeprom(board)[0x100] == 2


def test_root_filesystem_kinds(tmp_path):
    """--rfs: the component at the start of mtd/rfs, checked with the
    launcher's own readers and RSA code (imgtool)."""
    imgtool = BUILD / "imgtool"
    keys = ROOT / "keys" / "test"
    results = {}
    for kind in ("production", "development", "unsigned", "plain", "erased"):
        board = tmp_path / kind
        mkboard(board, "--rfs", kind)
        rfs = (board / "mtd" / "rfs.bin").read_bytes()
        assert len(rfs) == 0x500000
        if kind == "erased":
            assert rfs == b"\xff" * len(rfs)
            continue
        # Format 1 and 3 alike: len + 16 bytes.
        assert (rfs[16:20] == b"HDR3") == (kind != "plain")
        size = struct.unpack_from(">I", rfs, 4)[0] + 16
        assert rfs[size:] == b"\xff" * (len(rfs) - size)
        component = tmp_path / f"{kind}.img"
        component.write_bytes(rfs[:size])
        for key in ("production", "development"):
            verify = subprocess.run([str(imgtool), "verify", "--key", str(keys / f"{key}.pub.pem"),
                                     str(component)], capture_output=True, text=True)
            results[kind, key] = verify.returncode
    assert results == {
        ("production", "production"): 0, ("production", "development"): 1,
        ("development", "production"): 1, ("development", "development"): 0,
        ("unsigned", "production"): 1, ("unsigned", "development"): 1,
        # Format 1 carries no signature: a production switch refuses it.
        ("plain", "production"): 1, ("plain", "development"): 1,
    }
    both = mkboard(tmp_path / "both", "--rfs", "production", "--mtd-file",
                   f"rfs={tmp_path / 'plain.img'}", check=False)
    assert both.returncode == 2 and "--rfs and --mtd-file" in both.stderr
