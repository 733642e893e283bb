"""sandbox/mkboard: the board files a new virtual switch starts with."""

import struct
import subprocess

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
    # A released root filesystem, as in the field: a format-3 component that
    # the production key verifies, the rest of the partition erased.
    rfs = (board / "mtd" / "rfs.bin").read_bytes()
    size = struct.unpack(">I", rfs[4:8])[0] + 16
    assert rfs[16:20] == b"HDR3" and set(rfs[size:]) == {0xFF}
    (board / "rootfs.img").write_bytes(rfs[:size])
    verified = subprocess.run([str(BUILD / "imgtool"), "verify", "--key",
                               str(ROOT / "keys" / "test" / "production.pub.pem"),
                               str(board / "rootfs.img")], capture_output=True, text=True)
    assert verified.returncode == 0 and "signature verified with the production key" in \
        verified.stdout, verified.stdout


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
