"""The operator's stories on the emulated PowerPC board: the shipped launcher
on a real Linux kernel with the real drivers and the real outside programs,
booted by sandbox/boot-e500, checked through the board files it writes back
(and the I2C log QEMU's trace gives), as the console tests check the
namespace engine."""

import hashlib
import random
import struct
import subprocess

import images
from console_helpers import KEYS, at_menu, choose, establish_presence, signed
from test_stories import (SLOT_QUESTION, outdated_layout, tftp_download, user_files,
                          xmodem_download)

BOOT_SLOT, BOOTED_IMAGE = 0x100, 0x13A
# A start on the emulated board takes seconds of real time, not counted ones.
START = 120


def clock_app(name):
    """An application that shows the system clock the launcher set."""
    return images.application(name, extra="date '+clock %Y-%m-%d %H:%M'")


def i2c_messages(switch):
    return (switch.board / "i2c.log").read_text().splitlines()


def test_slot_falls_back_and_the_board_is_read_and_written_over_i2c(make_switch, tmp_path):
    slot1 = images.component(images.APPLICATION, images.application("one"), crc_ok=False)
    slot2 = signed(tmp_path, "application", clock_app("two"), "2.0.0.2", "two")
    switch = make_switch("--rtc", "2026-12-06 13:45:59", slots={1: slot1, 2: slot2})
    switch.boot(timeout=START)
    switch.expect("Booting image '1'")
    switch.expect("Image1 CRC failed, trying Image2 now.")
    switch.expect("Booting image '2'")
    switch.expect("application up: two")
    # The date the launcher gave busybox's date came from the RTC registers.
    switch.expect("clock 2026-12-06 13:4")
    switch.end(timeout=START)
    assert not switch.rebooted
    messages = i2c_messages(switch)
    # The clock's seven registers in one read from register 0; the booted
    # image byte written to the EEPROM (behind multiplexer channel 2), and
    # now in the board's EEPROM file.
    assert "0 0x68 w 00" in messages
    assert any(m.startswith("0 0x68 r ") and len(m.split()) == 10 for m in messages)
    write = messages.index("0 0x56 w 01 3a 02")
    assert messages[write - 1] == "0 0x70 w 04" and messages[write + 1] == "0 0x70 w 00"
    assert switch.eeprom(BOOTED_IMAGE) == 2


def test_tftp_rescue_of_a_switch_whose_slots_are_both_damaged(make_switch, tmp_path):
    app = signed(tmp_path, "application", images.application("rescued"), "3.0.0.1", "app")
    served = tmp_path / "served"
    served.mkdir()
    (served / "rescue.img").write_bytes(app)
    switch = make_switch("--tftp", str(served),
                         slots={1: b"not a container", 2: b"not one either"})
    switch.boot(timeout=START)
    switch.expect("Entering Rescue Mode.")
    at_menu(switch)
    # QEMU's own TFTP server at 192.0.2.1, reached through virtio-net, the
    # kernel's network stack and busybox tftp.
    tftp_download(switch, "rescue.img")
    switch.expect(SLOT_QUESTION, timeout=START)
    switch.console.send("2\r")
    text = at_menu(switch)
    assert "Image2 updated succeeded" in text
    choose(switch, "r")
    switch.end(timeout=START)
    assert switch.rebooted
    assert user_files(switch)["images/image2"] == app
    assert user_files(switch)["install.log"].decode().startswith(
        "File rescue.img installed from 192.0.2.1 at ")
    assert switch.eeprom(BOOT_SLOT) == 2

    switch.boot(timeout=START)
    switch.expect("Booting image '2'")
    switch.expect("application up: rescued")
    switch.end(timeout=START)


def test_xmodem_from_sx_over_the_console_line(make_switch, tmp_path):
    app = signed(tmp_path, "application", images.application("by-line"), "3.0.0.2", "app")
    update = tmp_path / "update.img"
    update.write_bytes(app)
    switch = make_switch("--env", "diagnostics=rescue", slots={1: b"damaged"})
    switch.boot_on_line(tmp_path / "line", timeout=START)
    at_menu(switch)
    # The real UART's termios; QEMU's 16550 carries the bytes at any speed.
    xmodem_download(switch, update)
    switch.expect(SLOT_QUESTION, timeout=START)
    switch.console.send("1\r")
    assert "Image1 updated succeeded" in at_menu(switch)
    choose(switch, "r")
    switch.end(timeout=START)
    assert user_files(switch)["images/image1"] == app


def test_usb_replacement_and_an_os_image_rejected_at_the_next_start(make_switch, tmp_path):
    slot1 = signed(tmp_path, "application", images.application("slot1"), "1.0.0.1", "s1")
    new2 = signed(tmp_path, "application", images.application("new2"), "2.0.0.2", "r2")
    usb_os = images.component(images.APPLICATION, images.application("usb"), "3.0.0.0")
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "VKT3390_replace2_OS.img").write_bytes(new2)
    (stick / "VKT3390_OS.img").write_bytes(usb_os)
    switch = make_switch("--usb-enabled", "--usb", str(stick), slots={1: slot1})
    switch.boot(timeout=START)
    switch.expect("USB mounted and ready!")
    switch.expect("Image2 has been successfully replaced")
    switch.expect("Booting image '2'")
    switch.expect("application up: new2")
    switch.end(timeout=START)
    assert user_files(switch)["images/image2"] == new2

    switch.boot(timeout=START)
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.")
    switch.expect("application up: usb")
    switch.end(timeout=START)
    # Remembered by busybox md5sum's digest of the stick's file.
    rejected = switch.board / "emmc" / "p1" / "images" / "rejected"
    assert [p.name for p in rejected.iterdir()] == [hashlib.md5(usb_os).hexdigest()]

    switch.boot(timeout=START)
    switch.expect("USB image is in rejected list.\r\nWould you still like to load it? (y/n) ")
    switch.console.send("n")
    switch.expect("USB Boot failed. Trying flash images.")
    switch.expect("application up: new2")
    switch.end(timeout=START)


def test_kernel_and_device_tree_written_through_the_mtd_driver(make_switch, tmp_path):
    noise = random.Random(11).randbytes
    kernel = signed(tmp_path, "kernel", noise(200000), "2.2.0.6", "kernel")
    dtb = signed(tmp_path, "devicetree", noise(3000), "2.3.0.7", "dtb")
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "flash.img").write_bytes(kernel + dtb)
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.0.0.1")
    switch = make_switch("--env", "diagnostics=rescue", "--usb", str(stick), slots={1: slot1})
    switch.boot(timeout=START)
    at_menu(switch)
    choose(switch, "u")
    switch.expect("\t1: flash.img\r\nChoose file number to install (q to quit): ")
    switch.console.send("1\r")
    text = at_menu(switch)
    assert text.count(" Image signature verified. ") == 2
    choose(switch, "r")
    switch.end(timeout=START)
    assert switch.rebooted
    for part, data in (("kernel", kernel), ("devicetree", dtb)):
        flash = (switch.board / "mtd" / f"{part}.bin").read_bytes()
        assert flash[:len(data)] == data and set(flash[len(data):]) == {0xFF}, part

    switch.boot(timeout=START)
    at_menu(switch)
    choose(switch, "v")
    assert "\tKernel image: 2.2.0.6\r\n\tDFT image   : 2.3.0.7\r\n" in at_menu(switch)
    choose(switch, "e")
    switch.expect("application up: slot1")
    switch.end(timeout=START)


def test_emmc_rebuilt_by_sfdisk_and_mkfs_keeps_every_file(make_switch, tmp_path):
    switch = outdated_layout(make_switch, tmp_path)
    before = user_files(switch)
    switch.boot(timeout=START)
    switch.expect("Filesystem partitions need updating.")
    switch.expect("Confirm: update filesystem y/N: ")
    switch.console.send("y")
    switch.expect("\tRestoring filesystem with backup. This can take a few minutes\r\n",
                  timeout=START)
    switch.expect("application up: slot1", timeout=START)
    switch.end(timeout=START)
    assert (switch.board / "emmc" / "partitions").read_text().split() == ["1", "2", "3", "4"]
    assert (switch.board / "emmc" / "p4").is_dir()
    after = user_files(switch)
    assert {name: after[name] for name in before} == before


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


def test_physical_presence_blinks_reach_the_led_controller_over_i2c(make_switch, tmp_path):
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    switch = make_switch("--env", "diagnostics=rescue", slots={1: slot1})
    switch.boot(timeout=START)
    at_menu(switch)
    count, text = establish_presence(switch, timeout=START)
    assert count > 0 and "Correct. Physical presence established" in text
    # Every lit period was a write of register 2 of the controller at 0x47.
    led_writes = [m for m in i2c_messages(switch) if m.startswith("0 0x47 w 02 ")]
    assert sum(1 for m in led_writes if int(m.split()[-1], 16) & 0x03 == 0x01) == count
    choose(switch, "r")
    switch.end(timeout=START)
    assert (switch.board / "tmp" / "lowsec").exists()
