"""USB boot and replacement images at start-up, as an operator sees them."""

import os

import pytest

import images
from console_helpers import EEPROM_PROTECTED, NOT_ON_FAT, signed
from test_install import bootloader

ANNOUNCE = "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n"
GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
GOOD2 = images.component(images.APPLICATION, images.application("slot2"), "2.0.0.1")


def stick(tmp_path, files):
    path = tmp_path / "stick"
    path.mkdir()
    for name, data in files.items():
        (path / name).write_bytes(data)
    return str(path)


def test_stick_never_mounted_is_given_up_after_10_seconds_and_an_empty_one_holds_nothing(
        make_switch, tmp_path, engine):
    # The configured slot is 2: a stick that gives nothing leaves it so.
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {"VKT3390_OS.img": GOOD2}),
                         "--usb-mount-after", "never", "--boot-slot", "2",
                         slots={1: GOOD1, 2: GOOD2})
    switch.boot()
    switch.expect(ANNOUNCE + ".........." + "USB mount timed out\r\nBooting image '2'\r\n")
    switch.expect("application up: slot2")
    switch.end()
    assert not any("md5sum" in c for c in switch.commands())

    (switch.board / "usb-mount-after").write_text("0\n")
    (switch.board / "usb" / "VKT3390_OS.img").unlink()
    switch.boot()
    switch.expect(ANNOUNCE + "USB mounted and ready!\r\n"
                  "No boot image found on USB.\r\n"
                  "No valid image found on USB\r\n"
                  "Booting image '2'\r\n")
    switch.expect("application up: slot2")
    switch.end()
    if engine == "e500":
        return  # the guest's /tmp is its own while it runs
    # Each dot is on the console while the wait goes on, not at its end: a
    # stick the system mounts once the first dot has come is found at the
    # next look, a counted second later.
    (switch.board / "usb-mount-after").write_text("never\n")
    switch.boot(speed=2)
    switch.expect(ANNOUNCE + ".")
    (switch.board / "tmp" / "usb").touch()
    switch.expect("USB mounted and ready!\r\nNo boot image found on USB.\r\n")
    switch.end()


@pytest.mark.namespace_only(EEPROM_PROTECTED)
def test_replaced_slot_boots_where_the_eeprom_keeps_no_writes(make_switch, tmp_path):
    # The boot slot byte cannot be changed (the EEPROM is write-protected):
    # the slot the stick replaced boots all the same, that once.
    new2 = signed(tmp_path, "application", images.application("new2"), "2.5.0.0", "new2")
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {"VKT3390_replace2_OS.img": new2}),
                         slots={1: GOOD1})
    (switch.board / "eeprom-write-protected").write_text("")
    switch.boot()
    switch.expect("Image2 has been successfully replaced\r\n"
                  "USB replacement image: board will boot with image2.\r\nBooting image '2'")
    switch.expect("application up: new2")
    switch.end()
    assert switch.eeprom(0x100) == 1


def test_boot_image_installed_once_even_where_its_header_file_cannot_go(make_switch, tmp_path):
    boot = bootloader("3.1.0.0")
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {"VKT3390_Boot.img": boot}),
                         slots={1: GOOD1})
    # /user cannot take the boot loader's header file: a directory is there.
    (switch.board / "emmc" / "p1" / "images" / "uboot-hdr").mkdir(parents=True)
    no_header = "WARNING: Unable to open /user/images/uboot-hdr for writing\r\n"
    switch.boot()
    switch.expect("USB mounted and ready!\r\nBoot image found on USB.\r\n")
    switch.expect(no_header)
    text = switch.end()
    assert switch.rebooted and switch.commands()[-1] == "reboot"
    assert "Booting image" not in text
    uboot = (switch.board / "mtd" / "uboot.bin").read_bytes()
    assert uboot.startswith(boot[16:])
    log = (switch.board / "emmc" / "p1" / "install.log").read_text()
    assert "VKT3390_Boot.img" in log and "USB" in log

    # The next start finds the boot loader in the flash, by its version
    # block and its bytes, and skips it: no erase, no write, no reboot.
    requests = (switch.board / "mtd" / "requests").read_text()
    switch.boot()
    switch.expect("Boot image found on USB.\r\n")
    switch.expect("Image has same version as existing image. Skipping update...\r\n" + no_header)
    switch.expect("ERROR: No valid image found\r\n")
    switch.expect("application up: slot1")
    switch.end()
    assert not switch.rebooted
    assert (switch.board / "mtd" / "requests").read_text() == requests
    assert (switch.board / "emmc" / "p1" / "install.log").read_text() == log

    # An application in the boot image goes to the slot the operator names.
    app = signed(tmp_path, "application", images.application("boot2"), "2.6.0.0", "boot2")
    (switch.board / "usb" / "VKT3390_Boot.img").write_bytes(boot + app)
    switch.boot()
    switch.expect("Image has same version as existing image. Skipping update...\r\n")
    switch.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("2\r")
    switch.expect("Image2 updated succeeded")
    switch.end()
    assert switch.rebooted
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == app
    assert (switch.board / "emmc" / "p1" / "images" / "image1").read_bytes() == GOOD1


def make_files(usb, files):
    """Files made in place on a stick: a directory, a FIFO, an empty file or
    a sparse 2 GiB file of zeros, by name."""
    for entry in usb.iterdir():
        entry.rmdir() if entry.is_dir() else entry.unlink()
    for name, kind in files.items():
        if kind == "directory":
            (usb / name).mkdir()
        elif kind == "fifo":
            os.mkfifo(usb / name)
        elif kind == "empty":
            (usb / name).write_bytes(b"")
        else:
            with open(usb / name, "wb") as sparse:
                sparse.truncate(2 << 30)


@pytest.mark.namespace_only(NOT_ON_FAT)
def test_unusable_stick_files_fall_back_to_the_slot(make_switch, tmp_path):
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {}), slots={1: GOOD1, 2: GOOD2})
    images_dir = switch.board / "emmc" / "p1" / "images"
    # A FIFO as the boot image is no container: the installer does not wait
    # for a writer that never comes.
    make_files(switch.board / "usb", {
        "VKT3390_Boot.img": "fifo", "VKT3390_replace2_OS.img": "empty",
        "VKT3390_replace1_OS.img": "directory", "VKT3390_OS.img": "empty"})
    switch.boot()
    switch.expect("Boot image found on USB.\r\n")
    switch.expect("replacement for image2 found\r\n")
    switch.expect("replacement for image1 found\r\n")
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n")
    switch.expect("USB Boot failed. Trying flash images.\r\nBooting image '1'")
    switch.expect("application up: slot1")
    text = switch.end()
    assert "successfully replaced" not in text and not switch.rebooted

    # Sparse 2 GiB files are refused; the replacement's digest is computed
    # over the whole 2 GiB first.
    make_files(switch.board / "usb", {"VKT3390_replace1_OS.img": "sparse",
                                      "VKT3390_OS.img": "sparse"})
    switch.boot()
    switch.expect("replacement for image1 found\r\n", timeout=120)
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n", timeout=60)
    switch.expect("USB Boot failed. Trying flash images.\r\nBooting image '1'", timeout=120)
    switch.expect("application up: slot1")
    switch.end()

    # FIFOs as the replacement and the OS image: neither their digest nor
    # the boot waits for a writer.
    make_files(switch.board / "usb", {"VKT3390_replace2_OS.img": "fifo",
                                      "VKT3390_OS.img": "fifo"})
    switch.boot()
    switch.expect("replacement for image2 found\r\n"
                  "Warning: Cannot determine if image is in rejected list!\r\n")
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n"
                  "Failed to open application image from USB.\r\n"
                  "USB Boot failed. Trying flash images.\r\nBooting image '1'")
    switch.expect("application up: slot1")
    switch.end()

    # Links that lead off the stick: slot 2's own file as the replacement
    # of slot 1 (it would copy one slot over the other), /proc/kmsg as the
    # OS image (its read waits for kernel messages). Neither is the stick's
    # file: both are refused as the FIFOs are, and nothing is digested.
    usb = switch.board / "usb"
    make_files(usb, {})
    (usb / "VKT3390_replace1_OS.img").symlink_to("/user/images/image2")
    (usb / "VKT3390_OS.img").symlink_to("/proc/kmsg")
    start = len(switch.commands())
    switch.boot()
    switch.expect("replacement for image1 found\r\n"
                  "Warning: Cannot determine if image is in rejected list!\r\n")
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n"
                  "Failed to open application image from USB.\r\n"
                  "USB Boot failed. Trying flash images.\r\nBooting image '1'")
    switch.expect("application up: slot1")
    text = switch.end()
    assert "successfully replaced" not in text
    assert not any("md5sum" in c for c in switch.commands()[start:])
    assert (images_dir / "image1").read_bytes() == GOOD1
    assert (images_dir / "image2").read_bytes() == GOOD2
    assert not (switch.board / "emmc" / "p1" / "install.log").exists()
