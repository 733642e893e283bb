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
import zlib

import pytest

from console_helpers import BUILD, IMGTOOL, INSTALLER_ALONE, ROOT, signed
from images import BOOTLOADER, DIAGNOSTICS, application, component, version_word

pytestmark = pytest.mark.namespace_only(INSTALLER_ALONE)

DRIVER = BUILD / "install_driver"
KERNEL, ROOTFS, DEVICETREE, ORVEX, ONIE = (0x034D4152, 0x044D4152, 0x054D4152, 0x084D4152,
                                          0x094D4152)
TYPE7 = 0x074D4152
OS_KIND, BOOT_SLOT, ORVEX_SLOT, STAMP2 = 0x138, 0x100, 0x139, 0x110
ERASE = 0x10000
PARTITIONS = {"uboot": 0x80000, "kernel": 0x300000, "rfs": 0x500000, "devicetree": 0x20000,
              "rescue": 0x700000, "onie": 0x3E0000}


def pattern(count, salt):
    """Bytes that repeat only every 4093 (a prime), so that no two erase
    blocks or pieces look alike."""
    unit = bytes(((i * 131 + salt) ^ (i >> 5)) & 0xFF for i in range(4093))
    return (unit * (count // len(unit) + 1))[:count]


def bootloader(version, size=0x2345):
    """A format-1 boot loader whose payload carries its version block at
    0xF0, as the installed-version test reads it from flash."""
    payload = bytearray(pattern(size, 7))
    payload[0xF4:0x100] = struct.pack(">III", len(payload), BOOTLOADER, version_word(version))
    return component(BOOTLOADER, bytes(payload), version)


def crc_forged(data, at, register):
    """`data` with the 4 bytes at `at` chosen so that the component CRC
    register (over data[4:]) ends at `register`. The register is affine in
    those bits, so they are solved for one bit at a time over GF(2)."""
    def crc(word):
        return zlib.crc32(data[4:at] + struct.pack(">I", word) + data[at + 4:]) ^ 0xFFFFFFFF
    zero = crc(0)
    rows = [(crc(1 << i) ^ zero, 1 << i) for i in range(32)]
    word, want = 0, register ^ zero
    for bit in range(32):
        pivot = next(row for row in rows if row[0] >> bit & 1)
        rows.remove(pivot)
        rows = [(v ^ pivot[0], w ^ pivot[1]) if v >> bit & 1 else (v, w) for v, w in rows]
        if want >> bit & 1:
            want, word = want ^ pivot[0], word ^ pivot[1]
    return data[:at] + struct.pack(">I", word) + data[at + 4:]


def onie_reading_as_installed(tmp_path, version):
    """A signed ONIE component whose payload begins with the component's own
    16 header bytes: once written, the ONIE flash (which holds the payload)
    reads as this very version installed. The value of a type alias, which
    neither the signature nor the installer reads, makes the CRC match."""
    size, header, crc = ERASE, 24 + 8 + 262, 0x0E1E2E3E
    payload = struct.pack(">IIII", crc, header - 16 + size, ONIE, version_word(version)) + \
        pattern(size - 16, 4)
    packed = signed(tmp_path, "onie", payload, version, "onie", options=("--alias", "0x7F4D4152"))
    assert header_len(packed) == header and packed[4:16] == payload[4:16]
    onie = struct.pack(">I", crc) + crc_forged(packed, 28, crc)[4:]
    assert zlib.crc32(onie[4:]) ^ 0xFFFFFFFF == crc and onie[header:header + 16] == onie[:16]
    return onie


def header_len(comp):
    if comp[16:20] == b"HDR3":
        return struct.unpack(">H", comp[22:24])[0]
    return 16


class Board:
    def __init__(self, tmp_path, *options, name="board", sizes=PARTITIONS):
        if not DRIVER.exists() or not IMGTOOL.exists():
            pytest.fail(f"build install_driver and imgtool in {BUILD} first")
        self.tmp = tmp_path
        self.path = tmp_path / name
        # Every partition starts with a pattern, so that the bytes a write
        # must keep are told apart from erased ones.
        self.before = {}
        files = []
        for part, size in sizes.items():
            self.before[part] = pattern(size, len(part))
            (tmp_path / f"{name}-{part}.bin").write_bytes(self.before[part])
            files += ["--mtd-size", f"{part}={size}",
                      "--mtd-file", f"{part}={tmp_path / f'{name}-{part}.bin'}"]
        subprocess.run([str(ROOT / "sandbox" / "mkboard"), str(self.path), *files, *options],
                       check=True, capture_output=True)
        self.runs = 0

    def install(self, data, same=0, slot=0, answers="", log=(), before=""):
        """One run of the installer; its result (None when it did not
        return), with its output in self.out and self.err."""
        self.runs_at_once([dict(data=data, same=same, slot=slot, answers=answers, log=log,
                                before=before)])
        return self.results[0]

    def runs_at_once(self, runs):
        """Several runs in one start of the switch (starting one takes
        seconds): each after the shell commands of its `before`, with its
        answers on standard input. Results in self.results, the output of
        each run (error output included) in self.outs."""
        puts, script = [], []
        for i, run in enumerate(runs):
            image = self.tmp / f"run{i}.img"
            image.write_bytes(run["data"])
            answers = self.tmp / f"run{i}.answers"
            answers.write_text(run.get("answers", ""))
            puts += ["--put", f"{image}=/opt/run{i}.img", "--put", f"{answers}=/opt/run{i}.answers"]
            args = " ".join(["/opt/tests/install_driver", run.get("path", f"/opt/run{i}.img"),
                             str(run.get("same", 0)), str(run.get("slot", 0)),
                             *(f"'{word}'" for word in run.get("log", ()))])
            # A subshell each: a run's limits (ulimit) end with it.
            script.append(f"({run.get('before') or ':'}; {args} < /opt/run{i}.answers 2>&1);"
                          f" echo '@@ end of run {i}'")
        result = subprocess.run(
            [str(ROOT / "sandbox" / "enter"), "--put", f"{DRIVER}=/opt/tests/install_driver",
             *puts, str(self.path), "--", "/bin/busybox", "sh", "-c", "\n".join(script)],
            capture_output=True, timeout=600, env=dict(os.environ, SANDBOX_SPEED="1000"))
        text = result.stdout.decode(errors="replace")
        self.err = result.stderr.decode(errors="replace")
        self.outs = re.split(r"@@ end of run \d+\n", text)[:len(runs)]
        self.results = []
        for i, out in enumerate(self.outs):
            match = re.search(r"image_install: (\d)\n(kept: (-?\d+) arrays, (-?\d+) descriptors, "
                              r"(-?\d+) mappings\n)", out)
            self.results.append(int(match.group(1)) if match else None)
            if match:
                # The rescue menu installs many times in one process: each
                # install gives back every buffer, descriptor and mapping
                # it took.
                assert match.group(3) == match.group(4) == match.group(5) == "0", out
                self.outs[i] = out.replace(match.group(2), "", 1)
        self.out = self.outs[-1]

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
    onie = onie_reading_as_installed(tmp_path, "0.10.1.2")
    diags = component(DIAGNOSTICS, pattern(0x700000 - 16, 5), "3.0.0.0")
    skip7 = component(TYPE7, b"passed over", "1.1.1.1")
    assert board.install(boot + kernel + skip7 + rfs + dtb + diags + onie) == 1
    out = board.out
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

    # Three more runs on this switch. (1) The same boot loader, kernel and
    # root filesystem with the same-version switch on, and a type-7
    # component: three skips and no image, the flash not touched. (2) ONIE
    # has no same-version test: installed again, though its flash reads as
    # this version; a partition 4 that cannot be mounted leaves only the
    # first line of the records. (3) An unsigned
    # kernel equal to the installed one: the signature step comes first,
    # so it is rejected, not skipped. (4) The boot loader again, its
    # partition differing from it in the very first byte only: written.
    requests = board.file("mtd/requests")
    plain = component(KERNEL, pattern(5000, 9), "2.0.0.5")
    (tmp_path / "plain").write_bytes(plain)
    first_byte_changed = (f"printf '\\{boot[16] ^ 0xFF:03o}' | dd of=/sandbox/board/mtd/uboot.bin"
                          " bs=1 count=1 conv=notrunc 2>/dev/null")
    board.runs_at_once([
        dict(data=boot + skip7 + kernel + rfs, same=1, before="cp /sandbox/board/mtd/requests /tmp"),
        dict(data=onie, same=1, before="echo 1 > /sandbox/board/answers/mount;"
             " rm /sandbox/board/emmc/p4/onie-version"),
        dict(data=plain, same=1, before="dd if=/opt/run2.img of=/sandbox/board/mtd/kernel.bin"
             " conv=notrunc 2>/dev/null"),
        dict(data=boot, same=1, before=first_byte_changed),
        # (5) The boot loader once more on a /user with no room left: its
        # header file cannot be written, which warns and keeps the install.
        dict(data=boot, before="/bin/busybox mount -t tmpfs -o size=8k tmpfs /user && mkdir "
             "/user/images && dd if=/dev/zero of=/user/fill bs=1k 2>/dev/null"),
    ])
    skipped, again, unsigned, rewritten, no_room = board.outs
    assert board.results == [0, 1, 0, 1, 1]
    assert "Skipping" not in rewritten
    board.assert_flash("uboot", boot[16:])
    assert no_room.endswith("100%\nWARNING: Uboot header file updated failed (err 28)\n\n"
                            "image_install: 1\n")
    assert skipped.count("Image has same version as existing image. Skipping update...\n") == 3
    assert "ERROR: No valid image found\n" in skipped
    assert board.file("tmp/requests") == requests
    assert again.endswith("100%\nUpdating install logs\n\nimage_install: 1\n")
    assert not (board.path / "emmc/p4/onie-version").exists()
    assert "Installing Kernel:  Image rejected as it has no signature" in unsigned
    assert "Skipping" not in unsigned


# Each flash type's limit: what is measured (the payload alone for the boot
# loader and ONIE, the whole component otherwise), in the size message.
LIMITS = [(BOOTLOADER, "UBOOT", 0x80000, True), (KERNEL, "KERNEL", 0x300000, False),
          (ROOTFS, "RFS", 0x500000, False), (DEVICETREE, "DFT", 0x20000, False),
          (DIAGNOSTICS, "DIAGS", 0x700000, False), (ONIE, "ONIE", 0x3E0000, True)]


def test_size_limits_and_truncation(tmp_path):
    board = Board(tmp_path)
    # Every type at its limit and one byte over. At the limit the size
    # check lets the component on to the next step: the signature policy
    # (which refuses these unsigned ones), the write for the boot loader,
    # and for the diagnostics image, already in flash, the same-version skip.
    runs = []
    for magic, name, limit, payload_only in LIMITS:
        for size in (limit, limit + 1):
            data = component(magic, pattern(size - (0 if payload_only else 16), 6), "3.0.0.0")
            before = ""
            if magic == DIAGNOSTICS and size == limit:
                before = f"dd if=/opt/run{len(runs)}.img of=/sandbox/board/mtd/rescue.bin" \
                         " conv=notrunc 2>/dev/null"
            runs.append(dict(data=data, same=1, before=before))
    kernel = signed(tmp_path, "kernel", pattern(70000, 1), "2.0.0.4", "kernel")
    # A kernel whose header claims 2 GiB at the end of the file.
    claim = bytearray(component(KERNEL, pattern(100, 1), "2.0.0.4"))
    claim[4:8] = struct.pack(">I", 0x7FFFFFF0)
    board.runs_at_once(runs + [
        dict(data=kernel[:-1]),
        dict(data=bytes(claim)),
        # XMODEM pads the last 1024-byte block with 0x1A: the installation
        # succeeds as without it, the padding passed over unread.
        dict(data=kernel + b"\x1a" * (1024 - len(kernel) % 1024)),
        dict(data=kernel + b"\x1a" * 100),
    ])
    outs = iter(board.outs)
    for magic, name, limit, _ in LIMITS:
        at_limit, over = next(outs), next(outs)
        assert "too big" not in at_limit, name
        assert f"{name} image is too big for flash ({limit + 1} > {limit})\n" in over
        if magic == BOOTLOADER:
            assert at_limit.endswith("100%\n\nimage_install: 1\n")
        elif magic == DIAGNOSTICS:
            assert "Image has same version as existing image. Skipping update...\n" in at_limit
        else:
            assert at_limit.endswith(" Image rejected as it has no signature\n\nimage_install: 0\n")
    assert board.results[:12] == [1, 0] + [0] * 10
    # Nothing refused reached the flash.
    board.assert_flash("uboot", runs[0]["data"][16:])
    board.assert_flash("rescue", next(run["data"] for run in runs if run["before"]))
    for part in ("rfs", "devicetree", "onie"):
        board.assert_flash(part, b"")
    short, claims, padded, padded_100 = board.outs[12:]
    assert board.results[12:] == [0, 0, 1, 1]
    # A file that ends inside a component fails its CRC; only the bytes
    # present are read, whatever the header claims.
    assert re.search(r"Installing Kernel: Bad crc for KERNEL: 0x[0-9a-f]{8}, voiding download\n",
                     short)
    assert "Bad crc for KERNEL" in claims and "Failed to allocate" not in claims
    for out in (padded, padded_100):
        assert "Failed to allocate" not in out and "refused" not in out
        assert out.endswith("100%\n\nimage_install: 1\n")
    board.assert_flash("kernel", kernel)


def test_bad_files_give_result_0(tmp_path):
    board = Board(tmp_path)
    wraps = bytearray(component(KERNEL, pattern(8, 1)))
    wraps[4:8] = b"\xff\xff\xff\xf8"
    # Header lengths that do not fit: a long header of 8 bytes, HDR3
    # headers of 16 bytes and of more than the component.
    faults = [bytearray(component(KERNEL, pattern(8, 1), fmt=fmt)) for fmt in (2, 3, 3)]
    faults[0][18:20], faults[1][22:24], faults[2][22:24] = b"\0\x08", b"\0\x10", b"\x01\0"
    app = signed(tmp_path, "application", application("bad"), "1.0.0.0", "app")
    big = signed(tmp_path, "application", pattern(400000, 3), "1.0.0.0", "big")
    # Two write pieces that fill the 128 KiB left on /user exactly (after
    # the page of each key file written first), and 100 bytes more, which
    # stay in the stream's buffer until the close.
    probe = len(signed(tmp_path, "application", b"", "1.0.0.0", "probe"))
    over = signed(tmp_path, "application", pattern((128 << 10) + 100 - probe, 4), "1.0.0.0", "over")
    assert len(over) == (128 << 10) + 100
    kernel = signed(tmp_path, "kernel", pattern(100, 1), "2.0.0.4", "kernel")
    board.runs_at_once([
        dict(data=b""),
        dict(data=b"\x00" * 23),
        # Thousands of components of no known type.
        dict(data=component(TYPE7, b"", "1.0.0.0") * 5000),
        # A kernel header whose size wraps past 32 bits.
        dict(data=bytes(wraps)),
        *(dict(data=bytes(fault)) for fault in faults),
        # An ORVEX payload that is not gzip, with the unpacked file of an
        # earlier failed install still in /tmp: never taken for this one.
        dict(data=component(ORVEX, b"not gzip at all" * 10, "1.0.0.0"), slot=1,
             before="echo stale > /tmp/orv-image"),
        # The ORVEX slot question at the end of input: taken as quitting.
        dict(data=component(ORVEX, gzip.compress(b"x"), "1.0.0.0")),
        # Another answer asks again; q quits it, and Q does, at once.
        dict(data=component(ORVEX, gzip.compress(b"x"), "1.0.0.0"), answers="3\nq\n"),
        dict(data=component(ORVEX, gzip.compress(b"x"), "1.0.0.0"), answers="Q\n"),
        # A slot file that cannot be created: a directory in its place.
        dict(data=app, slot=1, before="mkdir /user/images/image1"),
        # A full /user.
        dict(data=big, slot=2, before="/bin/busybox mount -t tmpfs -o size=128k tmpfs /user"
             " && mkdir /user/images"),
        # A full /user found only when the slot file is closed.
        dict(data=over, slot=2, before="/bin/busybox mount -t tmpfs -o size=512k tmpfs /user"
             " && mkdir /user/images && dd if=/dev/zero of=/user/a bs=8k count=17 2>/dev/null"
             " && { dd if=/dev/zero of=/user/b bs=4k 2>/dev/null; rm /user/a; }"),
        # An ORVEX component whose CRC fails ends the install there too.
        dict(data=component(ORVEX, gzip.compress(b"x"), "1.0.0.0", crc_ok=False) + kernel,
             slot=1),
        # An ORVEX payload, for slot 1 as answered, that /tmp has no file
        # for (a directory in its place): the install ends there, the
        # kernel after it is not written.
        dict(data=component(ORVEX, gzip.compress(b"x"), "1.0.0.0") + kernel, answers="1\n",
             before="rm -f /tmp/orv-image.gz; mkdir /tmp/orv-image.gz"),
        # An application whose CRC fails (its last byte changed in the
        # download) is no slot's, and ends the install there.
        dict(data=bytes(app[:-1]) + bytes([app[-1] ^ 1]) + kernel, slot=1),
        # A kernel partition whose cells no longer program (last: the
        # fault stays for the runs after it).
        dict(data=kernel,
             before="rmdir /tmp/orv-image.gz; echo kernel > /sandbox/board/mtd/write-fails"),
    ])
    assert board.results == [0] * 18
    empty, short, many, wrap, long8, hdr16, hdr_past, not_gzip, eof, quit, quit_now, directory, \
        full, at_close, bad_crc, no_gz, bad_app, flash_fails = board.outs
    assert "Installing Kernel" not in bad_crc and "Preparing" not in bad_crc
    assert re.search(r"Installing Application: Bad crc for APPLICATION: 0x[0-9a-f]{8}, voiding "
                     r"download\n", bad_app)
    assert "Installing Kernel" not in bad_app and "Installing image as" not in bad_app
    assert "signature" not in bad_app and "rejected" not in bad_app, bad_app
    assert "(q to quit): Installing image as image1: Preparing" in no_gz
    assert ("Preparing image for installation: File /tmp/orv-image.gz write failed (err 21: "
            "bytes_written 0, len 21, wr_len 21)\nWARNING: writing image file failed (err 21)\n"
            in no_gz)
    assert "decompressing" not in no_gz and "Installing Kernel" not in no_gz
    assert "Flash Write mtd write failed.\n\nkernel image update failed\n" in flash_fails
    for out in (empty, short):
        assert out == ("\nExtracting images ... Do *NOT* power cycle the switch.\n"
                       "ERROR: No valid image found\n\nimage_install: 0\n")
    assert "ERROR: No valid image found" in many
    assert "refused: component size past 4 GiB" in wrap
    assert "Image component at offset 0 refused: long header shorter than 16 bytes." in long8
    assert "refused: HDR3 header shorter than 24 bytes." in hdr16
    assert "refused: HDR3 header longer than the component." in hdr_past
    assert "WARNING: writing image file failed" in not_gzip
    assert board.file("emmc/p2.img") == b""
    assert eof.count("Install image as image 1 or 2 (q to quit): ") == 1
    assert quit.count("Install image as image 1 or 2 (q to quit): ") == 2
    assert quit_now.count("Install image as image 1 or 2 (q to quit): ") == 1
    assert "Installing image as image1: Image1 update failed (err 21)\n" in directory
    assert "Image2 update failed (err 28)\n" in full
    assert "100%Image2 update failed (err 28)\n" in at_close
    assert "updated succeeded" not in full + at_close
    assert board.eeprom(BOOT_SLOT) == 1


def test_application_then_orvex_asks_once(tmp_path):
    # November: the month register (BCD 0x11) has its lowest bit set.
    board = Board(tmp_path, "--rtc", "2026-11-05 23:59:45")
    app = signed(tmp_path, "application", application("two"), "1.2.3.4", "app")
    raw = pattern(300000, 11)
    orvex = component(ORVEX, gzip.compress(raw), "10.0.1.2")
    # First a kernel alone on this "E" switch: it writes no EEPROM byte, so
    # the clock has not moved when its log line is written.
    kernel = signed(tmp_path, "kernel", pattern(100, 1), "2.0.0.4", "kernel")
    # An empty install log (a cut right after it was made) is appended to.
    # A link at slot 2's name is replaced by the slot, not written through.
    # The partition check and the resize say on the installer's output
    # when they start.
    # A link left at the archive's name is removed, never written through.
    marker = '#!/bin/sh\\necho "[${0##*/}]" > /proc/$PPID/fd/1\\nexec /bin/${0##*/} "$@"\\n'
    board.runs_at_once([dict(data=kernel, log=("image", "xmodem"), before=": > /user/install.log"),
                        dict(data=app + orvex, answers="2\n",
                             log=("/mnt/usb/VKT3390_Boot.img", "USB"),
                             before="echo kept > /user/kept; ln -s /user/kept /user/images/image2;"
                             f" mkdir -p /opt/bin && printf '{marker}' > /opt/bin/e2fsck &&"
                             " chmod +x /opt/bin/e2fsck && cp /opt/bin/e2fsck /opt/bin/resize2fs &&"
                             " export PATH=/opt/bin:$PATH;"
                             " ln -s /tmp/elsewhere /tmp/orv-image.gz")])
    assert board.results == [1, 1]
    assert board.file("emmc/p1/kept") == b"kept\n"
    assert not (board.path / "emmc/p1/images/image2").is_symlink()
    # The slot is the owner's to write, everyone's to read, and nothing more.
    assert (board.path / "emmc/p1/images/image2").stat().st_mode & 0o7777 == 0o644
    first = "File image installed from xmodem at 23:59:45 on 5-11-2026\n"
    assert "Updating install log. " + first in board.outs[0]
    out = board.out
    assert out.count("Install image as image 1 or 2") == 1
    assert "Installing image as image2: " in out
    assert "\b\b\b\b100%\n\nImage2 updated succeeded\n" in out
    assert out.count("Installing ORVEX application: ") == 1
    assert "decompressing image...\nInstalling image:     " in out
    # The operator sees the clean-up begin before its long check runs.
    assert "Cleaning up partition....[e2fsck]\n..[resize2fs]\n\nImage2 updated succeeded\n" in out, out
    assert board.file("emmc/p1/images/image2") == app
    assert board.file("emmc/p3.img") == raw
    assert board.file("emmc/p2.img") == b""
    calls = board.file("calls.log").decode()
    assert "e2fsck -fp /dev/mmcblk0p3" in calls and "resize2fs /dev/mmcblk0p3" in calls
    commands = board.file("commands.log").decode()
    assert "gunzip /tmp/orv-image.gz" in commands and "rm /tmp/orv-image" in commands
    # /user is checked before the archive is unpacked there.
    assert ("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null\n/bin/mount /dev/mmcblk0p1 /user\n"
            "gunzip /tmp/orv-image.gz") in commands
    assert not (board.path / "tmp/orv-image").exists()
    assert not (board.path / "tmp/elsewhere").exists()
    # The application's slot went to 0x100 (OS kind "E" then), the ORVEX
    # application's to 0x139 once it had made the OS kind "C".
    assert board.eeprom(OS_KIND) == ord("C")
    assert board.eeprom(BOOT_SLOT) == 2 and board.eeprom(ORVEX_SLOT) == 2
    assert board.file("eeprom.bin")[STAMP2 + 1:STAMP2 + 3] == bytes([0x59, 0x23])
    # Each EEPROM write costs time and wear: the OS kind is written once.
    assert board.file("i2c.log").decode().splitlines().count("0 0x56 w 01 38 43") == 1
    for name in ("image2", "uboot"):
        assert board.file(f"emmc/p4/{name}-version") == bytes([0x0A, 0x00, 0x01, 0x02])
        assert board.file(f"emmc/p4/{name}-crc") == orvex[:4]
    assert out.count("Updating install logs\n") == 2
    # The log line: the clock advanced by the sleeps counted so far.
    line = re.search(r"Updating install log\. (File /mnt/usb/VKT3390_Boot\.img installed from USB "
                     r"at \d\d:\d\d:\d\d on 5-11-2026\n)", out)
    assert line and board.file("emmc/p1/install.log").decode() == first + line.group(1)

    # A stick path is at most 4095 bytes: a line of up to 4223 bytes is
    # logged, a longer one is left out rather than cut.
    fixed = len("File  installed from USB at 00:00:00 on 5-11-2026\n")
    board.runs_at_once([dict(data=kernel, log=("/" + "a" * (4222 - fixed), "USB")),
                        dict(data=kernel, log=("/" + "b" * (4223 - fixed), "USB"))])
    assert board.results == [1, 1]
    logged = board.file("emmc/p1/install.log").decode().splitlines(keepends=True)
    assert len(logged) == 3 and len(logged[2]) == 4223 and "/aaa" in logged[2]


def test_application_on_an_orvex_switch_and_boot_without_storing(tmp_path):
    board = Board(tmp_path, "--os-kind", "C", "--boot-slot", "2")
    app = signed(tmp_path, "application", application("one"), "1.0.0.1", "app")
    boot_slot = board.eeprom(BOOT_SLOT)
    # A /user without its images folder (a new filesystem) gets one.
    assert board.install(app, slot=1, before="rm -rf /user/images") == 1
    assert board.file("emmc/p1/images/image1") == app
    # Stored at 0x139 while the OS kind is still "C"; at the end the kind is
    # corrected to "E" and the slot stored again where "E" reads it, so the
    # new image is the one that boots.
    assert boot_slot != 1
    assert board.eeprom(ORVEX_SLOT) == 1 and board.eeprom(BOOT_SLOT) == 1
    assert board.eeprom(OS_KIND) == ord("E")

    # A failure after a component was written still leaves the OS kind
    # matching what is in place: a kernel, then a root filesystem whose
    # CRC fails, or one of 96 MiB that the memory left cannot hold, each on
    # a switch whose OS kind is "C" again. Then slot 0 and an empty answer:
    # booted at once, nothing stored.
    kernel = signed(tmp_path, "kernel", pattern(100, 1), "2.0.0.4", "kernel")
    bad_rfs = component(ROOTFS, pattern(100, 2), "2.0.0.4", crc_ok=False)
    huge_rfs = component(ROOTFS, bytes(96 << 20), "2.0.0.4")
    # The container is closed before the application takes the process.
    open_image = ('ls -l /proc/$$/fd 2>/dev/null | grep -q "run[0-9]*\\.img" && '
                  'echo "image file left open"')
    other = signed(tmp_path, "application", application("booted", extra=open_image), "9.9.9.9",
                   "other")
    kind_c = f"printf C | dd of=/sandbox/board/eeprom.bin bs=1 seek={OS_KIND} conv=notrunc 2>/dev/null"
    board.runs_at_once([
        dict(data=kernel + bad_rfs, before=kind_c),
        dict(data=kernel + huge_rfs,
             before=f"cp /sandbox/board/eeprom.bin /tmp/eeprom; {kind_c}; ulimit -v 65536"),
        # The same file downloaded to /tmp is mapped, not copied: private
        # memory (ulimit -d) far below its size still holds the install.
        dict(data=b"", path="/tmp/run1.img", before="cp /opt/run1.img /tmp; ulimit -d 32768"),
        dict(data=other, answers="\n", before="cp /sandbox/board/eeprom.bin /tmp/eeprom-b"),
        # Booted at once with no archive to be made in /tmp: said, and the
        # install fails instead of starting what is not there.
        dict(data=other, answers="\n", before="mkdir /tmp/velmoimage.tar.gz"),
        # A file in /tmp that cannot be mapped (too little address space)
        # is read instead, and that fails the same way.
        dict(data=b"", path="/tmp/run1.img", before="ulimit -v 65536"),
        # A /tmp that is full when the archive is closed: its bytes are not
        # all there, so nothing starts (last: the small /tmp stays).
        dict(data=other, answers="\n", before="rm -rf /tmp/velmoimage.tar.gz; "
             "/bin/busybox mount -t tmpfs -o size=4k tmpfs /tmp && "
             "dd if=/dev/zero of=/tmp/fill bs=4k 2>/dev/null"),
    ])
    failed, no_memory, mapped, booted, unpack_failed, unmapped, full_tmp = board.outs
    assert board.results == [0, 0, 0, None, 0, 0, 0]
    assert f"Failed to allocate buffer for image ({len(huge_rfs)})\n" in unmapped
    assert "Booting downloaded image\nImage unpack failed (err 28)\n" in full_tmp
    assert "Booting downloaded image\nImage unpack failed (err 21)\n" in unpack_failed
    assert "Image ready to boot" not in unpack_failed
    assert "Bad crc for RFS" in failed
    assert f"Failed to allocate buffer for image ({len(huge_rfs)})\n" in no_memory
    assert "Failed to allocate" not in mapped
    assert f"RFS image is too big for flash ({len(huge_rfs)} > 5242880)" in mapped
    board.assert_flash("kernel", kernel)
    assert board.file("tmp/eeprom")[OS_KIND] == ord("E")
    assert board.file("tmp/eeprom-b")[OS_KIND] == ord("E")
    assert "Booting downloaded image\nImage ready to boot...\n" in booted
    assert "application up: booted" in booted and "install diags image" not in booted
    assert "image file left open" not in booted
    assert board.file("emmc/p1/images/image1") == app
    assert not (board.path / "emmc/p1/images/image2").exists()
    assert board.file("eeprom.bin")[:0x13A] == board.file("tmp/eeprom-b")[:0x13A]
