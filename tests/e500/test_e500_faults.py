"""Storage faults from outside the switch, on the emulated PowerPC board:
power cuts (the emulator stopped, the guest's page cache lost), a stick
pulled or failing to read in the middle of an install, /tmp and /user
with little room, a filesystem damaged before the start. The engine's own
side first, then what the launcher makes of each. (The operator's stories
run on this board as the console tier's scenarios, --engine e500.)"""

import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import sys

import images
from console_helpers import ROOT, at_menu, choose, signed, signed_bootloader
from test_fsmaint import ERASE_QUESTION
from test_stories import SLOT_QUESTION, tftp_download, user_files

sys.path.insert(0, str(ROOT / "sandbox" / "e500"))
import board as boardmap  # noqa: E402

START = 120
CUT = "[sandbox: the power was cut]"
BOOT_SLOT = 0x100


def flash_digests(switch):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest()
            for p in (switch.board / "mtd").glob("*.bin")}


def needs_recovery(image):
    """True when the ext3 filesystem's journal holds transactions not yet
    replayed (the state a cut leaves a mounted filesystem in)."""
    head = subprocess.run(["dumpe2fs", "-h", str(image)], capture_output=True, text=True,
                          check=True).stdout
    features = next(line for line in head.splitlines() if line.startswith("Filesystem features"))
    return "needs_recovery" in features.split()


def assert_cut(switch, text, flash_before):
    """The board as a cut leaves it: /user a raw ext3 image with its
    journal unreplayed, no files of it, an empty /tmp, the flash files as
    before the run."""
    assert CUT in text
    p1 = switch.board / "emmc" / "p1.img"
    assert boardmap.is_ext(p1) and needs_recovery(p1)
    assert not (switch.board / "emmc" / "p1").exists()
    assert list((switch.board / "tmp").iterdir()) == []
    assert not switch.rebooted
    assert flash_digests(switch) == flash_before


def test_small_tmp_and_user_and_a_cut_replayed_at_the_next_start(make_switch, tmp_path):
    probe = images.application("probe", extra="""
stat -f -c 'user free %f of %S' /user
stat -f -c 'tmp blocks %b of %S' /tmp
echo "kept $(cat /proc/uptime)" >> /user/kept.txt && sync /user/kept.txt && echo 'kept synced'
""")
    switch = make_switch(slots={1: images.component(images.APPLICATION, probe, "1.0.0.1")})
    switch.boot(timeout=START, options=["--tmp-size", "8M", "--user-free", "3M"])
    switch.expect("application up: probe")
    switch.expect("user free ")
    switch.expect(" of 4096")
    free = int(switch.console.before) * 4096
    switch.expect("tmp blocks 2048 of 4096")
    switch.expect("kept synced")
    switch.end(timeout=START)
    # The filler left 3 MiB, less what the launcher and the probe wrote.
    assert (3 << 20) - (64 << 10) <= free <= 3 << 20, free
    # The run was written back as any clean stop, without the filler.
    files = user_files(switch)
    assert files["kept.txt"].count(b"kept ") == 1
    assert not any(name.startswith(".sandbox-filler") for name in files)

    # The same program again, the power cut once the file is synced: what
    # the kernel was told is on the card stays, in the journal if need be.
    flash = flash_digests(switch)
    switch.boot(timeout=START, options=["--power-cut", "kept synced"])
    switch.expect("kept synced")
    assert_cut(switch, switch.end(timeout=START), flash)

    # The next start replays the journal as the switch's check and mount
    # do; the clean stop after it gives files again. A cut whose moment
    # never comes leaves the run as it would have ended.
    switch.boot(timeout=START, options=["--power-cut", "+3600"])
    switch.expect("application up: probe")
    switch.expect("kept synced")
    text = switch.end(timeout=START, status=3)
    assert "the power cut never came: the run ended before 3600 seconds after the start" in text
    assert (switch.board / "emmc" / "p1").is_dir()
    assert not needs_recovery(switch.board / "emmc" / "p1.img")
    # The line synced before the cut, and the one of this start.
    assert user_files(switch)["kept.txt"].count(b"kept ") == 3


def test_a_cut_a_second_after_image2_updated_keeps_the_new_slot_2(make_switch, tmp_path):
    app = signed(tmp_path, "application", images.application("new2"), "3.0.0.2", "app")
    served = tmp_path / "served"
    served.mkdir()
    (served / "update.img").write_bytes(app)
    switch = make_switch("--tftp", str(served),
                         slots={1: b"not a container", 2: b"not one either"})
    flash = flash_digests(switch)
    switch.boot(timeout=START, options=["--power-cut", "Image2 updated succeeded+1"])
    switch.expect("Entering Rescue Mode.")
    at_menu(switch)
    tftp_download(switch, "update.img")
    switch.expect(SLOT_QUESTION, timeout=START)
    switch.console.send("2\r")
    switch.expect("Image2 updated succeeded")
    # Before R: the power goes a second later.
    text = switch.end(timeout=START)
    assert_cut(switch, text, flash)
    assert switch.eeprom(BOOT_SLOT) == 2

    switch.boot(timeout=START)
    switch.expect("Booting image '2'")
    # Slot 2 whole boots; a slot 2 the cut took falls back to the rescue
    # menu (slot 1 is damaged).
    reached = switch.console.expect_exact(["application up: new2", "Entering Rescue Mode."])
    assert reached == 0, "slot 2 was not on the card after the cut:\n" + switch.console.before
    switch.end(timeout=START)
    assert user_files(switch)["images/image2"] == app


def test_a_cut_a_second_after_the_recovery_image_is_set_keeps_it_in_slot_2(make_switch, tmp_path):
    recovery = images.component(images.APPLICATION, images.application("recovery"), "7.0.0.0")
    rescue = tmp_path / "rescue.bin"
    rescue.write_bytes(recovery)
    switch = make_switch("--env", "diagnostics=diags", "--rfs", "development", "--mtd-file",
                         f"rescue={rescue}", slots={1: b"not a container"})
    flash = flash_digests(switch)
    switch.boot(timeout=START, options=["--power-cut", "Setting boot image to 2+1"])
    switch.expect(ERASE_QUESTION, timeout=START)
    switch.console.send("n")
    switch.expect("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("2\r")
    switch.expect("Setting boot image to 2")
    text = switch.end(timeout=START)
    assert_cut(switch, text, flash)
    assert switch.eeprom(BOOT_SLOT) == 2

    # The copy was on the card before the boot-slot byte named it.
    subprocess.run([ROOT / "sandbox" / "setenv", switch.board, "diagnostics="], check=True)
    switch.boot(timeout=START)
    switch.expect("Booting image '2'")
    reached = switch.console.expect_exact(["application up: recovery", "Entering Rescue Mode."])
    assert reached == 0, "slot 2 was not on the card after the cut:\n" + switch.console.before
    switch.end(timeout=START)
    assert user_files(switch)["images/image2"] == recovery


def loader_and_kernel(tmp_path):
    """A container of a boot loader and a kernel of 1 MiB (more than the
    kernel reads ahead), signed with the test production key. The boot
    loader ends on a 4 KiB boundary of the file, so the kernel's header
    starts a page of the page cache of its own: a read error there fails
    that header's read, not the boot loader's."""
    noise = random.Random(23).randbytes

    def loader(length):
        return signed_bootloader(tmp_path, noise(length), "2.0.0.9", "uboot")

    uboot = loader(0x3000)
    uboot = loader(0x3000 + (-len(uboot) % 4096))
    assert len(uboot) % 4096 == 0
    kernel = signed(tmp_path, "kernel", noise(1 << 20), "2.2.0.9", "kernel")
    return uboot, kernel


def boot_loader_on_flash(switch, uboot):
    """The boot loader partition starts with the boot loader's own bytes."""
    return (switch.board / "mtd" / "uboot.bin").read_bytes()[:4096] in uboot


def stick_offset(switch, data):
    """Where bytes of a file lie on the stick image the engine makes."""
    board = boardmap.read_board(str(switch.board))
    run = boardmap.Run(board, str(switch.board.parent / "stick-layout"))
    os.makedirs(run.dir)
    run.make_stick()
    image = pathlib.Path(run.path("usb.img")).read_bytes()
    offset = image.find(data)
    assert offset > 0 and image.find(data, offset + 1) < 0
    return offset


def stick_switch(make_switch, tmp_path):
    uboot, kernel = loader_and_kernel(tmp_path)
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "update.img").write_bytes(uboot + kernel)
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.0.0.1")
    switch = make_switch("--env", "diagnostics=rescue", "--usb", str(stick), slots={1: slot1})
    return switch, uboot, kernel


def install_from_stick_fails_and_the_switch_boots_on(switch):
    at_menu(switch)
    choose(switch, "u")
    switch.expect("\t1: update.img\r\nChoose file number to install (q to quit): ")
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Installing Boot Loader: " in text
    assert "Updating install log" not in text
    choose(switch, "e")
    switch.expect("application up: slot1")
    return text


def test_read_errors_in_a_stick_install_fail_it(make_switch, tmp_path):
    # Inside the kernel's bytes, then on its header: the boot loader before
    # it is installed, the install as a whole fails, nothing is logged.
    switch, uboot, kernel = stick_switch(make_switch, tmp_path)
    kernel_at = stick_offset(switch, uboot + kernel[:4096]) + len(uboot)
    for offset in (kernel_at + (600 << 10), kernel_at + 8):
        switch.boot(timeout=START, options=["--read-error", f"stick:{offset}"])
        text = install_from_stick_fails_and_the_switch_boots_on(switch)
        switch.end(timeout=START)
        assert "I/O error, dev sda" in text
        assert "Bad crc for UBOOT" not in text
        if offset > kernel_at + 8:
            assert "Installing Kernel: Bad crc for KERNEL: " in text
        assert not switch.rebooted
        assert "install.log" not in user_files(switch)
        assert boot_loader_on_flash(switch, uboot)


def test_a_stick_pulled_after_the_boot_loader_fails_the_install(make_switch, tmp_path):
    switch, uboot, kernel = stick_switch(make_switch, tmp_path)
    # The boot loader is loaded and checked; the stick goes while it is
    # written to flash, and the kernel after it cannot be read: its header
    # or, when the kernel's read-ahead had already cached that, its body.
    switch.boot(timeout=START, options=["--pull-stick", "Installing Boot Loader: "])
    text = install_from_stick_fails_and_the_switch_boots_on(switch)
    switch.end(timeout=START)
    assert (f"Image component at offset {len(uboot)} could not be read." in text
            or "Installing Kernel: Bad crc for KERNEL: " in text)
    assert not switch.rebooted
    assert "install.log" not in user_files(switch)
    # The stick is out of the switch; the boot loader was written.
    assert not (switch.board / "usb").exists()
    assert boot_loader_on_flash(switch, uboot)


def test_a_tmp_too_small_for_slot_1s_archive_falls_back_to_slot_2(make_switch, tmp_path):
    # Slot 1's archive holds 3 MiB that do not compress; /tmp takes 2 MiB.
    bulk = random.Random(3).randbytes(3 << 20)
    one = images.application("one", files={"home/bulk.bin": (bulk, 0o644)})
    two = images.application("two")
    switch = make_switch(slots={1: images.component(images.APPLICATION, one, "1.0.0.1"),
                                2: images.component(images.APPLICATION, two, "1.0.0.2")})
    switch.boot(timeout=START, options=["--tmp-size", "2M", "--power-cut", "no such text"])
    switch.expect("Booting image '1'")
    switch.expect("Booting image '2'")
    assert "application up: one" not in switch.console.before
    switch.expect("application up: two")
    text = switch.end(timeout=START, status=3)
    assert "the power cut never came: the run ended before the console showed 'no such text'" \
        in text


# A filesystem damaged before the start: the real e2fsck repairs it.
def test_damaged_ext3_repaired_by_e2fsck_at_start_up(make_switch, tmp_path):
    files = tmp_path / "user"
    (files / "images").mkdir(parents=True)
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    (files / "images" / "image1").write_bytes(slot1)
    (files / "notes.txt").write_text("kept\n")
    # An ext3 filesystem made on the host, not cleanly unmounted, with a
    # link count that does not match its directory entries.
    p1 = tmp_path / "p1.img"
    p1.write_bytes(b"")
    p1.touch()
    subprocess.run(["truncate", "-s", "256M", str(p1)], check=True)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext3", "-b", "4096", "-d", str(files), str(p1)],
                   check=True)
    subprocess.run(["debugfs", "-w", "-R", "set_inode_field /notes.txt links_count 3", str(p1)],
                   check=True, capture_output=True)
    subprocess.run(["debugfs", "-w", "-R", "ssv state 0", str(p1)], check=True,
                   capture_output=True)
    switch = make_switch()
    (switch.board / "emmc" / "p1.img").write_bytes(p1.read_bytes())
    switch.boot(timeout=START)
    switch.expect("*** Your filesystem has errors. Attempting to recover but data may be lost.***")
    switch.expect("Pass 4: Checking reference counts")
    switch.expect("Booting image '1'", timeout=START)
    assert "corrupted beyond automated repair" not in switch.console.before
    switch.expect("application up: slot1")
    switch.end(timeout=START)
    assert (switch.board / "emmc" / "p1" / "notes.txt").read_text() == "kept\n"
    check = subprocess.run(["e2fsck", "-fn", str(switch.board / "emmc" / "p1.img")],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout


def test_unrepairable_filesystem_is_recreated_by_the_real_mkfs_on_y(make_switch):
    # Partition 1 holds no filesystem at all: e2fsck gives up on it three
    # times, the operator agrees to lose the data.
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    switch = make_switch(slots={1: slot1})
    shutil.rmtree(switch.board / "emmc" / "p1")
    (switch.board / "emmc" / "p1.img").write_bytes(random.Random(9).randbytes(1 << 20))
    switch.boot(timeout=START)
    switch.expect("*** Your filesystem has errors. Attempting to recover but data may be lost.***")
    switch.expect("****** ERROR: Your filesystem is corrupted beyond automated repair ******\r\n"
                  "Confirm: Recreate filesystem. Any data will be lost y/N: ")
    switch.console.send("y")
    switch.expect("\tCreating new filesystem partitions\r\n\tReformatting main partition\r\n"
                  "\tVerifying main partition\r\n\tReformatting config partition\r\n"
                  "\tMounting main filesystem\r\n", timeout=START)
    # The slot went with the data: the operator leaves the rescue menu.
    switch.expect("Option? : ", timeout=START)
    switch.console.send("e")
    switch.end(timeout=START)
    assert (switch.board / "emmc" / "p1").is_dir() and (switch.board / "emmc" / "p4").is_dir()
    assert not (switch.board / "emmc" / "p1" / "images").exists()
