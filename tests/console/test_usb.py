"""USB boot and replacement images at start-up, as an operator sees them."""

import os

import images
from console_helpers import signed

ANNOUNCE = "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n"
GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
GOOD2 = images.component(images.APPLICATION, images.application("slot2"), "2.0.0.1")


def stick(tmp_path, files):
    path = tmp_path / "stick"
    path.mkdir()
    for name, data in files.items():
        (path / name).write_bytes(data)
    return str(path)


def test_stick_never_mounted_is_given_up_after_10_seconds(make_switch, tmp_path):
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {"VKT3390_OS.img": GOOD2}),
                         "--usb-mount-after", "never", slots={1: GOOD1})
    switch.boot()
    switch.expect(ANNOUNCE + ".........." + "USB mount timed out\r\nBooting image '1'\r\n")
    switch.expect("application up: slot1")
    switch.end()
    assert not any("md5sum" in c for c in switch.commands())


def test_marker_without_a_stick_finds_nothing(make_switch):
    switch = make_switch("--usb-enabled", "--usb-mount-after", "0", slots={1: GOOD1})
    switch.boot()
    switch.expect(ANNOUNCE + "USB mounted and ready!\r\n"
                  "No boot image found on USB.\r\n"
                  "No valid image found on USB\r\n"
                  "Booting image '1'\r\n")
    switch.expect("application up: slot1")
    switch.end()


def test_boot_image_installed_logged_and_rebooted(make_switch, tmp_path):
    payload = bytes(range(256)) * 64
    boot = signed(tmp_path, "bootloader", payload, "3.1.0.0", "boot")
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {"VKT3390_Boot.img": boot}),
                         slots={1: GOOD1})
    switch.boot()
    switch.expect("USB mounted and ready!\r\nBoot image found on USB.\r\n")
    text = switch.end()
    assert switch.rebooted and switch.commands()[-1] == "reboot"
    assert "Booting image" not in text
    uboot = (switch.board / "mtd" / "uboot.bin").read_bytes()
    assert payload in uboot
    log = (switch.board / "emmc" / "p1" / "install.log").read_text()
    assert "VKT3390_Boot.img" in log and "USB" in log


def unusable_stick(make_switch, tmp_path, files):
    """A stick whose files are made in place: a directory, a FIFO, an empty
    file or a sparse 2 GiB file of zeros, by name."""
    switch = make_switch("--usb-enabled", "--usb", stick(tmp_path, {}), slots={1: GOOD1, 2: GOOD2})
    usb = switch.board / "usb"
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
    return switch


def assert_slots_untouched(switch):
    images_dir = switch.board / "emmc" / "p1" / "images"
    assert (images_dir / "image1").read_bytes() == GOOD1
    assert (images_dir / "image2").read_bytes() == GOOD2
    assert not (switch.board / "emmc" / "p1" / "install.log").exists()


def test_directories_and_empty_files_on_the_stick_fall_back_to_the_slot(make_switch, tmp_path):
    # A FIFO as the boot image is no container: the installer does not wait
    # for a writer that never comes.
    switch = unusable_stick(make_switch, tmp_path, {
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
    assert_slots_untouched(switch)


def test_sparse_2_gib_stick_files_are_refused(make_switch, tmp_path):
    switch = unusable_stick(make_switch, tmp_path, {"VKT3390_replace1_OS.img": "sparse",
                                                    "VKT3390_OS.img": "sparse"})
    switch.boot()
    # The replacement's digest is computed over the whole 2 GiB first.
    switch.expect("replacement for image1 found\r\n", timeout=120)
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n", timeout=60)
    switch.expect("USB Boot failed. Trying flash images.\r\nBooting image '1'", timeout=120)
    switch.expect("application up: slot1")
    switch.end()
    assert_slots_untouched(switch)
