"""The image installer on a virtual switch, driven as its callers drive it.

Each scenario runs install_driver (the installer set up as start-up leaves
the board) inside the sandbox with the operator's answers on standard
input, then reads the board from outside: flash partition files, slot and
header files, the ORVEX partitions, version records, EEPROM and logs.
Signed components come from imgtool with the test production key; the
unsigned ones from the independent writer in images.py.
"""

import gzip
import os
import re
import struct
import subprocess

import pytest

from console_helpers import BUILD, ROOT
from images import APPLICATION, BOOTLOADER, DIAGNOSTICS, application, component, version_word

DRIVER = BUILD / "install_driver"
IMGTOOL = BUILD / "imgtool"
KEY = ROOT / "keys" / "test" / "production.key.pem"
KERNEL, ROOTFS, DEVICETREE, ORVEX, ONIE = (0x034D4152, 0x044D4152, 0x054D4152, 0x084D4152,
                                          0x094D4152)
TYPE7 = 0x074D4152
OS_KIND, BOOT_SLOT, ORVEX_SLOT, STAMP2 = 0x138, 0x100, 0x139, 0x110
ERASE = 0x10000


def pattern(count, salt):
    """Bytes that repeat only every 4093 (a prime), so that no two erase
    blocks or pieces look alike."""
    unit = bytes(((i * 131 + salt) ^ (i >> 5)) & 0xFF for i in range(4093))
    return (unit * (count // len(unit) + 1))[:count]


def signed(tmp_path, kind, payload, version, name):
    source = tmp_path / f"{name}.payload"
    source.write_bytes(payload)
    out = tmp_path / f"{name}.img"
    subprocess.run([str(IMGTOOL), "pack", "-o", str(out), "--type", kind, "--version", version,
                    "--sign", str(KEY), str(source)], check=True, capture_output=True)
    return out.read_bytes()


def bootloader(version):
    """A format-1 boot loader whose payload carries its version block at
    0xF0, as the installed-version test reads it from flash."""
    payload = bytearray(pattern(0x2345, 7))
    payload[0xF4:0x100] = struct.pack(">III", len(payload), BOOTLOADER, version_word(version))
    return component(BOOTLOADER, bytes(payload), version)


def header_len(comp):
    if comp[16:20] == b"HDR3":
        return struct.unpack(">H", comp[22:24])[0]
    return 16


class Board:
    def __init__(self, tmp_path, *options, name="board"):
        if not DRIVER.exists() or not IMGTOOL.exists():
            pytest.fail(f"build install_driver and imgtool in {BUILD} first")
        self.tmp = tmp_path
        self.path = tmp_path / name
        # Every partition starts with a pattern, so that the bytes a write
        # must keep are told apart from erased ones.
        self.before = {}
        files = []
        for part, size in (("uboot", 0x80000), ("kernel", 0x300000), ("rfs", 0x500000),
                           ("devicetree", 0x20000), ("rescue", 0x700000), ("onie", 0x3E0000)):
            self.before[part] = pattern(size, len(part))
            (tmp_path / f"{name}-{part}.bin").write_bytes(self.before[part])
            files += ["--mtd-file", f"{part}={tmp_path / f'{name}-{part}.bin'}"]
        subprocess.run([str(ROOT / "sandbox" / "mkboard"), str(self.path), *files, *options],
                       check=True, capture_output=True)
        self.runs = 0

    def install(self, data, same=0, slot=0, answers="", log=(), shell=None):
        self.runs += 1
        image = self.tmp / f"run{self.runs}.img"
        image.write_bytes(data)
        command = ["/opt/tests/install_driver", "/opt/image", str(same), str(slot), *log]
        if shell:
            command = ["/bin/busybox", "sh", "-c", shell + "; exec " + " ".join(command)]
        result = subprocess.run(
            [str(ROOT / "sandbox" / "enter"), "--put", f"{DRIVER}=/opt/tests/install_driver",
             "--put", f"{image}=/opt/image", str(self.path), "--", *command],
            input=answers.encode(), capture_output=True, timeout=300,
            env=dict(os.environ, SANDBOX_SPEED="1000"))
        self.out = result.stdout.decode(errors="replace")
        self.err = result.stderr.decode(errors="replace")
        match = re.search(r"image_install: (\d)", self.out)
        return int(match.group(1)) if match else None

    def file(self, rel):
        return (self.path / rel).read_bytes()

    def flash(self, part):
        return self.file(f"mtd/{part}.bin")

    def eeprom(self, offset):
        return self.file("eeprom.bin")[offset]

    def assert_flash(self, part, data):
        """The data at offset 0; every other byte of the partition, in the
        touched erase blocks and beyond, as it was."""
        assert self.flash(part) == data + self.before[part][len(data):]


def test_flash_components_go_to_their_partitions(tmp_path):
    board = Board(tmp_path, "--os-kind", "C", "--boot-slot", "2")
    boot = bootloader("2.0.0.4")
    kernel = signed(tmp_path, "kernel", pattern(0x12345, 1), "2.0.0.4", "kernel")
    rfs = signed(tmp_path, "rootfs", pattern(3 * ERASE + 17, 2), "2.0.0.4", "rfs")
    dtb = signed(tmp_path, "devicetree", pattern(999, 3), "2.0.0.4", "dtb")
    onie = signed(tmp_path, "onie", pattern(ERASE, 4), "0.10.1.2", "onie")
    diags = component(DIAGNOSTICS, pattern(0x700000 - 16, 5), "3.0.0.0")
    skip7 = component(TYPE7, b"passed over", "1.1.1.1")
    assert board.install(boot + kernel + skip7 + rfs + dtb + diags + onie) == 1
    out = board.out
    for text in ("Installing Boot Loader: ", "Installing Kernel: ", "Installing Root Filesystem: ",
                 "Installing Device Tree: ", "Installing Diagnostics: ", "Installing ONIE: "):
        assert out.count(text) == 1, text
    assert out.count(" Image signature verified. ") == 4
    assert "100%\ndone\n" in out
    assert "Updating install logs\n" in out
    # Payload only for the boot loader and ONIE, whole for the rest.
    board.assert_flash("uboot", boot[16:])
    board.assert_flash("kernel", kernel)
    board.assert_flash("rfs", rfs)
    board.assert_flash("devicetree", dtb)
    board.assert_flash("rescue", diags)
    board.assert_flash("onie", onie[header_len(onie):])
    assert board.file("emmc/p1/images/uboot-hdr") == boot[:16]
    assert board.file("emmc/p1/images/onie-hdr") == onie[:header_len(onie)]
    assert board.file("emmc/p4/onie-version") == bytes([0, 10, 1, 2])
    assert board.file("emmc/p4/onie-crc") == onie[:4]
    assert board.file("emmc/p4/onie-timestamp").endswith(b"\n")
    # The type-7 component printed nothing: nothing stands between the
    # kernel's progress line and the root filesystem.
    assert re.search(r"100%\nInstalling Root Filesystem", out)
    # Nothing of the ORVEX application was installed: the OS kind is "E".
    assert board.eeprom(OS_KIND) == ord("E")

    # The same boot loader, kernel and root filesystem again, with the
    # same-version switch on, and a type-7 component: three skips and no
    # image, the flash not touched.
    requests = board.file("mtd/requests")
    assert board.install(boot + skip7 + kernel + rfs, same=1) == 0
    assert board.out.count("Image has same version as existing image. Skipping update...\n") == 3
    assert "ERROR: No valid image found\n" in board.out
    assert board.file("mtd/requests") == requests

    # ONIE has no same-version test: installed again. A partition 4 that
    # cannot be mounted leaves only the first line of the records.
    (board.path / "answers").mkdir(exist_ok=True)
    (board.path / "answers" / "mount").write_text("1\n")
    os.remove(board.path / "emmc/p4/onie-version")
    assert board.install(onie, same=1) == 1
    assert board.out.endswith("100%\nUpdating install logs\n\nimage_install: 1\n")
    assert not (board.path / "emmc/p4/onie-version").exists()

    # An unsigned kernel equal to the installed one: the signature step
    # comes first, so it is rejected, not skipped.
    plain = component(KERNEL, pattern(5000, 9), "2.0.0.5")
    data = bytearray(board.flash("kernel"))
    data[:len(plain)] = plain
    (board.path / "mtd/kernel.bin").write_bytes(bytes(data))
    assert board.install(plain, same=1) == 0
    assert "Installing Kernel:  Image rejected as it has no signature" in board.out
    assert "Skipping" not in board.out


def test_size_limits_and_truncation(tmp_path):
    board = Board(tmp_path)
    too_big = component(DIAGNOSTICS, pattern(0x700000 - 15, 5), "3.0.0.0")
    assert board.install(too_big) == 0
    assert "DIAGS image is too big for flash (7340033 > 7340032)\n" in board.out
    board.assert_flash("rescue", b"")

    # A file that ends inside a component: its CRC fails, nothing written.
    kernel = signed(tmp_path, "kernel", pattern(70000, 1), "2.0.0.4", "kernel")
    assert board.install(kernel[:-1]) == 0
    assert re.search(r"Installing Kernel: Bad crc for KERNEL: 0x[0-9a-f]{8}, voiding download\n",
                     board.out)
    # A kernel whose header claims 2 GiB at the end of the file: the bytes
    # present are read, and only they.
    claim = bytearray(component(KERNEL, pattern(100, 1), "2.0.0.4"))
    claim[4:8] = struct.pack(">I", 0x7FFFFFF0)
    assert board.install(bytes(claim)) == 0
    assert "Bad crc for KERNEL" in board.out and "Failed to allocate" not in board.out
    board.assert_flash("kernel", b"")

    # XMODEM pads the last 1024-byte block with 0x1A: the installation
    # succeeds as without it, the padding "component" passed over.
    padded = kernel + b"\x1a" * (1024 - len(kernel) % 1024)
    assert board.install(padded) == 1
    board.assert_flash("kernel", kernel)
    assert "Failed to allocate" not in board.out and "refused" not in board.err
    assert board.install(kernel + b"\x1a" * 100) == 1


def test_bad_files_give_result_0(tmp_path):
    board = Board(tmp_path)
    for data in (b"", b"\x00" * 23):
        assert board.install(data) == 0
        assert board.out == ("\nExtracting images ... Do *NOT* power cycle the switch.\n"
                             "ERROR: No valid image found\n\nimage_install: 0\n")
    # Thousands of components of no known type.
    assert board.install(component(TYPE7, b"", "1.0.0.0") * 5000) == 0
    assert "ERROR: No valid image found" in board.out
    # A kernel header whose size wraps past 32 bits is refused.
    wraps = bytearray(component(KERNEL, pattern(8, 1)))
    wraps[4:8] = b"\xff\xff\xff\xf8"
    assert board.install(bytes(wraps)) == 0
    assert "refused: component size past 4 GiB" in board.err
    # An ORVEX payload that is not gzip: nothing reaches the partition.
    assert board.install(component(ORVEX, b"not gzip at all" * 10, "1.0.0.0"), slot=1) == 0
    assert "WARNING: writing image file failed" in board.out
    assert board.file("emmc/p2.img") == b""
    # The ORVEX slot question at the end of input counts as quitting.
    assert board.install(component(ORVEX, gzip.compress(b"x"), "1.0.0.0")) == 0
    assert board.out.count("Install image as image 1 or 2 (q to quit): ") == 1
    # A slot file that cannot be created.
    os.makedirs(board.path / "emmc/p1/images/image1")
    app = signed(tmp_path, "application", application("bad"), "1.0.0.0", "app")
    assert board.install(app, slot=1) == 0
    assert "Installing image as image1: Image1 update failed (err 21)\n" in board.out
    # A full /user.
    big = signed(tmp_path, "application", pattern(400000, 3), "1.0.0.0", "big")
    assert board.install(big, slot=2, shell="/bin/busybox mount -t tmpfs -o size=128k tmpfs "
                         "/user && mkdir /user/images") == 0
    assert "Image2 update failed (err 28)\n" in board.out
    assert board.eeprom(BOOT_SLOT) == 1


def test_application_then_orvex_asks_once(tmp_path):
    board = Board(tmp_path, "--rtc", "2026-12-05 23:59:45")
    app = signed(tmp_path, "application", application("two"), "1.2.3.4", "app")
    raw = pattern(300000, 11)
    orvex = component(ORVEX, gzip.compress(raw), "10.0.1.2")
    log = ("/mnt/usb/VKT3390_Boot.img", "USB")
    assert board.install(app + orvex, answers="2\n", log=log) == 1
    out = board.out
    assert out.count("Install image as image 1 or 2") == 1
    assert "Installing image as image2: " in out and "\nImage2 updated succeeded\n" in out
    assert "decompressing image...\nInstalling image:     " in out
    assert "Cleaning up partition......\nImage2 updated succeeded\n" in out
    assert board.file("emmc/p1/images/image2") == app
    assert board.file("emmc/p3.img") == raw
    assert board.file("emmc/p2.img") == b""
    calls = board.file("calls.log").decode()
    assert "e2fsck -fp /dev/mmcblk0p3" in calls and "resize2fs /dev/mmcblk0p3" in calls
    commands = board.file("commands.log").decode()
    assert "gunzip /tmp/orv-image.gz" in commands and "rm /tmp/orv-image" in commands
    assert not (board.path / "tmp/orv-image").exists()
    # The application's slot went to 0x100 (OS kind "E" then), the ORVEX
    # application's to 0x139 once it had made the OS kind "C".
    assert board.eeprom(OS_KIND) == ord("C")
    assert board.eeprom(BOOT_SLOT) == 2 and board.eeprom(ORVEX_SLOT) == 2
    assert board.file("eeprom.bin")[STAMP2 + 1:STAMP2 + 3] == bytes([0x59, 0x23])
    for name in ("image2", "uboot"):
        assert board.file(f"emmc/p4/{name}-version") == bytes([0x0A, 0x00, 0x01, 0x02])
        assert board.file(f"emmc/p4/{name}-crc") == orvex[:4]
    assert out.count("Updating install logs\n") == 2
    # The log line: the clock advanced by the sleeps counted so far.
    line = re.search(r"Updating install log\. (File /mnt/usb/VKT3390_Boot\.img installed from USB "
                     r"at \d\d:\d\d:\d\d on 5-12-2026\n)", out)
    assert line and board.file("emmc/p1/install.log").decode() == line.group(1)


def test_log_line_shows_the_clock_as_read(tmp_path):
    # A kernel alone on an "E" switch writes no EEPROM byte, so the clock
    # has not moved when the log line is written.
    board = Board(tmp_path, "--rtc", "2026-12-05 23:59:45")
    kernel = signed(tmp_path, "kernel", pattern(100, 1), "2.0.0.4", "kernel")
    assert board.install(kernel, log=("image", "xmodem")) == 1
    line = "File image installed from xmodem at 23:59:45 on 5-12-2026\n"
    assert "Updating install log. " + line in board.out
    assert board.file("emmc/p1/install.log").decode() == line


def test_application_on_an_orvex_switch_and_boot_without_storing(tmp_path):
    board = Board(tmp_path, "--os-kind", "C", "--boot-slot", "2")
    app = signed(tmp_path, "application", application("one"), "1.0.0.1", "app")
    boot_slot = board.eeprom(BOOT_SLOT)
    assert board.install(app, slot=1) == 1
    assert board.file("emmc/p1/images/image1") == app
    # Stored at 0x139 while the OS kind is still "C"; corrected at the end.
    assert board.eeprom(ORVEX_SLOT) == 1 and board.eeprom(BOOT_SLOT) == boot_slot
    assert board.eeprom(OS_KIND) == ord("E")

    # Slot 0 and an empty answer: booted at once, nothing stored.
    other = signed(tmp_path, "application", application("booted"), "9.9.9.9", "other")
    eeprom = board.file("eeprom.bin")
    assert board.install(other, answers="\n") is None
    assert "Booting downloaded image\nImage ready to boot...\n" in board.out
    assert "application up: booted" in board.out
    assert board.file("emmc/p1/images/image1") == app
    assert not (board.path / "emmc/p1/images/image2").exists()
    assert board.file("eeprom.bin")[:0x13A] == eeprom[:0x13A]
