"""What an operator does in the field, start to finish, on one switch across
its reboots: each story boots the same board again after the launcher
rebooted it (or the application ended), and reads the board between the
starts."""

import datetime
import hashlib
import random
import re
import struct
import subprocess
import time

import pytest

import images
from console_helpers import (FAST_WAIT, KEYS, RESTORE_WAIT, ROOT, SERIAL, at_menu, choose,
                             establish_presence, openssl, signed, signed_bootloader,
                             tftp_download)

SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
BOOT_SLOT, BOOTED_IMAGE = 0x100, 0x13A


def user_files(switch):
    """Every file under /user (eMMC partition 1), path -> bytes."""
    top = switch.board / "emmc" / "p1"
    return {str(p.relative_to(top)): p.read_bytes() for p in top.rglob("*") if p.is_file()}


def full_update(tmp_path):
    """Boot loader, kernel, root filesystem, device tree, ONIE and
    application, each signed with the test production key; the components
    by name."""
    noise = random.Random(7).randbytes
    return {"uboot": signed_bootloader(tmp_path, noise(0x3000), "2.0.0.4", "uboot"),
            "onie": signed(tmp_path, "onie", noise(20000), "2.4.0.8", "onie"),
             "kernel": signed(tmp_path, "kernel", noise(40000), "2.2.0.6", "kernel"),
             "rfs": signed(tmp_path, "rootfs", noise(70000), "2.1.0.5", "rfs"),
             "devicetree": signed(tmp_path, "devicetree", noise(999), "2.3.0.7", "dtb"),
             "app": signed(tmp_path, "application", images.application("updated"), "3.2.0.1",
                           "app")}


def xmodem_download(switch, path):
    choose(switch, "x")
    switch.expect(FAST_WAIT)
    switch.console.send("\r")
    # The terminal program's send command: sx on the line, 1K blocks.
    # rx may flush the last ACK away as it exits, so sx can call the
    # transfer incomplete: what counts is the image as the switch stored it,
    # which the callers check.
    subprocess.run(["sx", "-k", str(path)], stdin=switch.console.child_fd,
                   stdout=switch.console.child_fd, stderr=subprocess.DEVNULL, timeout=120)
    switch.expect(RESTORE_WAIT)
    switch.console.send("\n")


def clock_set_from(command, board_time, engine):
    """Whether `command` is the date command the launcher makes of the
    board's clock (BCD digits, MMDDhhmmYYYY.ss): the board's time itself on
    the namespace engine, where the clock stands still; on the e500 board
    the clock runs from it in real time."""
    match = re.fullmatch(r"date (\d\d)(\d\d)(\d\d)(\d\d)(\d{4})\.(\d\d)\\n", command)
    if match is None:
        return False
    month, day, hour, minute, year, second = map(int, match.groups())
    shown = datetime.datetime(year, month, day, hour, minute, second)
    late = (shown - datetime.datetime.strptime(board_time, "%Y-%m-%d %H:%M:%S")).total_seconds()
    return late == 0 if engine == "namespace" else 0 <= late < 300


@pytest.mark.parametrize("method", ["tftp", "xmodem"])
def test_full_update_onto_a_switch_whose_slots_are_both_damaged(make_switch, tmp_path, method,
                                                               engine):
    parts = full_update(tmp_path)
    served = tmp_path / "served"
    name = "images/full_update-2.0+4.img"
    update = served / name
    update.parent.mkdir(parents=True)
    update.write_bytes(b"".join(parts[n] for n in ("uboot", "kernel", "rfs", "devicetree", "onie",
                                                   "app")))
    slot1 = images.component(images.APPLICATION, images.application("old"), crc_ok=False)
    # The device tree is installed already, the very same version: what the
    # operator downloads in the rescue menu is written all the same.
    tree = tmp_path / "devicetree-installed"
    tree.write_bytes(parts["devicetree"])
    switch = make_switch("--tftp", str(served), "--rtc", "2026-12-25 13:45:59",
                         "--mtd-file", f"devicetree={tree}",
                         slots={1: slot1, 2: b"not a container at all"})
    if method == "tftp":
        switch.boot()
    else:
        switch.boot_on_line(tmp_path / "line")
    switch.expect("Booting image '1'")
    switch.expect("Image1 CRC failed, trying Image2 now.")
    switch.expect("No valid application image found. Trying rescue image")
    switch.expect("Entering Rescue Mode.")
    at_menu(switch)
    if method == "tftp":
        tftp_download(switch, name)
        source = f"File {name} installed from 192.0.2.1 at "
    else:
        xmodem_download(switch, update)
        source = "File image installed from xmodem at "
    switch.expect(SLOT_QUESTION, timeout=60)
    installed = switch.console.before
    for text in ("Boot Loader", "Kernel", "Root Filesystem", "Device Tree", "ONIE", "Application"):
        assert installed.count(f"Installing {text}: ") == 1, text
    # The boot loader has no signature step; the five others verify.
    assert installed.count(" Image signature verified. ") == 5
    assert "same version" not in installed
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Image1 updated succeeded" in text and "Updating install log. " + source in text
    choose(switch, "r")
    switch.end()
    assert switch.rebooted
    if method == "xmodem":
        assert "/usr/bin/rx /tmp/image" in switch.commands()
    else:
        # One download: the first that arrives ends the attempts. No
        # gateway was given, so no route was set.
        assert "from TFTP server" not in installed
        assert [c for c in switch.commands() if c.startswith(("tftp ", "route", "ifconfig"))] == [
            "ifconfig eth0 192.0.2.2\\n", "ifconfig eth0 down\\n",
            "ifconfig eth0 netmask 255.255.255.0\\n", "ifconfig eth0 up\\n",
            f"tftp -g -r {name} -l /tmp/image 192.0.2.1\\n"]
    # The date came from the board's clock, read over I2C in one read of
    # its seven registers from register 0.
    assert clock_set_from(switch.commands()[0], "2026-12-25 13:45:59", engine)

    # The boot loader's payload alone behind its HDR3 header (the other
    # flash components byte for byte: test_install.py).
    loader_header = struct.unpack(">H", parts["uboot"][22:24])[0]
    assert (switch.board / "mtd" / "uboot.bin").read_bytes().startswith(
        parts["uboot"][loader_header:])
    user = user_files(switch)
    assert user["images/uboot-hdr"] == parts["uboot"][:loader_header]
    # ONIE likewise, with its records on the configuration partition.
    onie_header = struct.unpack(">H", parts["onie"][22:24])[0]
    assert (switch.board / "mtd" / "onie.bin").read_bytes().startswith(
        parts["onie"][onie_header:])
    assert user["images/onie-hdr"] == parts["onie"][:onie_header]
    assert (switch.board / "emmc" / "p4" / "onie-version").read_bytes() == bytes([2, 4, 0, 8])
    assert (switch.board / "emmc" / "p4" / "onie-crc").read_bytes() == parts["onie"][:4]
    # When it was installed, as the switch's clock and zone tell it.
    assert re.fullmatch(r"\d\d:\d\d:\d\d \S+ [A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d{4}\n",
                        (switch.board / "emmc" / "p4" / "onie-timestamp").read_text())
    assert user["images/image1"] == parts["app"]
    assert user["images/image2"] == b"not a container at all"
    assert user["install.log"].decode().startswith(source)
    assert user["install.log"].decode().endswith(" on 25-12-2026\n")
    assert switch.eeprom(BOOT_SLOT) == 1

    # The next start boots the new application; the booted-image byte goes
    # to the EEPROM behind multiplexer channel 2.
    (switch.board / "i2c.log").write_text("")
    switch.boot()
    switch.expect("Booting image '1'\r\nRunning install script")
    switch.expect("application up: updated")
    switch.end()
    assert not switch.rebooted and switch.eeprom(BOOTED_IMAGE) == 1
    messages = (switch.board / "i2c.log").read_text().splitlines()
    assert "0 0x68 w 00" in messages
    assert any(m.startswith("0 0x68 r ") and len(m.split()) == 10 for m in messages)
    write = messages.index("0 0x56 w 01 3a 01")
    assert messages[write - 1] == "0 0x70 w 04" and messages[write + 1] == "0 0x70 w 00"
    assert "cd /tmp \\ntar mxzf /tmp/velmoimage.tar.gz \\nrm /tmp/velmoimage.tar.gz\\n" in \
        switch.commands()
    assert switch.commands()[-1] == "/bin/backtrace"

    # A later start, asked for at the boot loader's prompt, shows what is in.
    subprocess.run([ROOT / "sandbox" / "setenv", switch.board, "diagnostics=rescue"], check=True)
    switch.boot()
    at_menu(switch)
    choose(switch, "v")
    assert at_menu(switch).endswith("Installed images versions: \r\n"
                                    "\tBoot image  : 2.0.0.4\r\n"
                                    "\tRFS image   : 2.1.0.5\r\n"
                                    "\tKernel image: 2.2.0.6\r\n"
                                    "\tDFT image   : 2.3.0.7\r\n"
                                    "\tOS image 1  : 3.2.0.1\r\n"
                                    # the damaged slot's bytes 12-15, as they are
                                    "\tOS image 2  : 110.101.114.32\r\n")
    choose(switch, "e")
    switch.expect("application up: updated")
    switch.end()


def test_usb_stick_replaces_slot_2_then_boots_its_os_image_once(make_switch, tmp_path, engine):
    slot1 = signed(tmp_path, "application", images.application("slot1"), "1.2.3.4", "s1")
    slot2 = images.component(images.APPLICATION, images.application("slot2"), "2.0.0.1")
    new2 = signed(tmp_path, "application", images.application("new2"), "2.0.0.2", "r2")
    usb_os = signed(tmp_path, "application", images.application("usb"), "3.0.0.0", "usb")
    stick = tmp_path / "stick"
    stick.mkdir()
    # The slot-1 replacement is the installed image, byte for byte.
    for name, data in (("VKT3390_replace2_OS.img", new2), ("VKT3390_replace1_OS.img", slot1),
                       ("VKT3390_OS.img", usb_os)):
        (stick / name).write_bytes(data)
    # The stick is mounted in the third second of the wait at every start
    # (3 seconds of the filesystem check, then 2.5).
    switch = make_switch("--usb-enabled", "--usb", str(stick), "--usb-mount-after", "5.5",
                         slots={1: slot1, 2: slot2})
    switch.boot()
    # A dot a second of the wait: counted on the namespace engine, real
    # seconds on the e500 board.
    dots = r"\.\." if engine == "namespace" else r"\.*"
    switch.console.expect(re.escape("Running filesystem check.....\r\nAttempting to mount file "
                                    "system on USB flash drive; this can take up to 10 seconds."
                                    "\r\n") + dots + re.escape(
        "USB mounted and ready!\r\nNo boot image found on USB.\r\n"
        "USB image (file 'VKT3390_replace2_OS.img') replacement for image2 found\r\n"))
    switch.expect("Image2 has been successfully replaced\r\n"
                  "USB image (file 'VKT3390_replace1_OS.img') replacement for image1 found\r\n")
    switch.expect("Image1 has same version as existing image. Skipping update...")
    switch.expect("USB replacement image: board will boot with image2.\r\nBooting image '2'")
    switch.expect("application up: new2")
    text = switch.end()
    assert "Image1 has been successfully replaced" not in text and "from USB stick" not in text
    images_dir = switch.board / "emmc" / "p1" / "images"
    assert (images_dir / "image1").read_bytes() == slot1
    assert (images_dir / "image2").read_bytes() == new2
    log = (switch.board / "emmc" / "p1" / "install.log").read_text().splitlines()
    assert len(log) == 1 and log[0].startswith("File /mnt/usb/VKT3390_replace2_OS.img installed "
                                               "from USB at ")
    assert switch.eeprom(BOOT_SLOT) == 2 and switch.eeprom(BOOTED_IMAGE) == 2

    # The stick stays plugged in: both replacements are installed already,
    # so the stick's OS image boots, and is remembered.
    switch.boot()
    switch.expect("Image2 has same version as existing image. Skipping update...")
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n")
    switch.expect("application up: usb")
    text = switch.end()
    assert "successfully replaced" not in text
    assert switch.eeprom(BOOTED_IMAGE) == 3
    # Only the booted image is listed, never a replacement.
    assert [p.name for p in (images_dir / "rejected").iterdir()] == \
        [hashlib.md5(usb_os).hexdigest()]

    # At the next start the operator turns the remembered image down: the
    # configured slot, the replaced slot 2, boots. The question reads the
    # console as it stands, a line at a time (the terminal echoes it): Y
    # and the line end are two answers that are neither y nor n, each asks
    # again; n is read at once, long before the time-out could answer.
    switch.boot()
    switch.expect("Booting image 'VKT3390_OS.img' from USB stick.\r\n"
                  "USB image is in rejected list.\r\nWould you still like to load it? (y/n) ")
    switch.console.send("Y\r")
    switch.expect("Y\r\n(y/n) (y/n) ")
    switch.console.send("n\r")
    switch.expect("USB Boot failed. Trying flash images.\r\nBooting image '2'")
    assert "Timeout" not in switch.console.before
    switch.expect("application up: new2")
    switch.end()
    # Said yes to, it boots from the stick again.
    switch.boot()
    switch.expect("Would you still like to load it? (y/n) ")
    switch.console.send("y\r")
    switch.expect("Continuing to load USB image...\r\n")
    switch.expect("application up: usb")
    switch.end()
    assert switch.eeprom(BOOTED_IMAGE) == 3

    # The operator copies the OS image onto the stick as the slot-2
    # replacement too: same bytes, same entry in the list. Turned down, it
    # ends the stick's handling for this start.
    (switch.board / "usb" / "VKT3390_replace2_OS.img").write_bytes(usb_os)
    start = len(switch.commands())
    switch.boot()
    switch.expect("USB image (file 'VKT3390_replace2_OS.img') replacement for image2 found\r\n"
                  "Replacement USB image is in rejected list.\r\n"
                  "Would you still like to load it? (y/n) ")
    switch.console.send("n\r")
    switch.expect("Booting image '2'")
    assert "image1 found" not in switch.console.before and "Timeout" not in switch.console.before
    switch.expect("application up: new2")
    switch.end()
    assert sum("md5sum" in c for c in switch.commands()[start:]) == 1
    assert (images_dir / "image2").read_bytes() == new2
    assert len((switch.board / "emmc" / "p1" / "install.log").read_text().splitlines()) == 1

    # Said yes to, the remembered image replaces slot 2 and boots from there.
    switch.boot()
    switch.expect("Would you still like to load it? (y/n) ")
    switch.console.send("y\r")
    switch.expect("Continuing with replacement USB image...\r\n")
    switch.expect("Image2 has been successfully replaced\r\n")
    switch.expect("USB replacement image: board will boot with image2.\r\nBooting image '2'")
    switch.expect("application up: usb")
    switch.end()
    assert (images_dir / "image2").read_bytes() == usb_os

    # Two new replacements: both are installed, and slot 1 boots.
    for slot in (1, 2):
        (switch.board / "usb" / f"VKT3390_replace{slot}_OS.img").write_bytes(
            signed(tmp_path, "application", images.application(f"new{slot}b"), f"{slot}.5.0.0",
                   f"r{slot}b"))
    switch.boot()
    switch.expect("Image2 has been successfully replaced\r\n")
    switch.expect("Image1 has been successfully replaced\r\n"
                  "USB replacement image: board will boot with image1.\r\nBooting image '1'")
    switch.expect("application up: new1b")
    switch.end()


# The longest name a directory entry can have.
DEVELOPER = "developer-" + "n" * 241 + ".img"


def install_from_stick(switch):
    """U at the menu, the stick's only file; the installer's text up to the
    slot question or the menu."""
    choose(switch, "u")
    switch.expect(f"\t1: {DEVELOPER}\r\nChoose file number to install (q to quit): ")
    switch.console.send("1\r")
    index = switch.console.expect_exact([SLOT_QUESTION, "Option? : "], timeout=60)
    return switch.console.before, index == 0


def test_unsigned_image_on_a_developer_switch_in_low_security_mode_is_the_operators_call(
        make_switch, tmp_path):
    # A developer's switch (its root filesystem is none a release installs)
    # with the boot loader's low security override: an unsigned image is
    # offered, and the question waits for the operator however long.
    stick = tmp_path / "stick"
    stick.mkdir()
    unsigned = images.component(images.APPLICATION, images.application("unsigned"), "7.0.0.1")
    (stick / DEVELOPER).write_bytes(unsigned)
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    switch = make_switch("--env", "diagnostics=rescue", "--env", "lowsec=quvendolar",
                         "--rfs", "erased", "--usb", str(stick), slots={1: slot1})
    switch.boot()
    at_menu(switch)
    choose(switch, "u")
    switch.expect(f"\t1: {DEVELOPER}\r\nChoose file number to install (q to quit): ")
    switch.console.send("1\r")
    switch.expect("WARNING: Image is unsigned but you are running developer images and are in "
                  "low security mode\r\nInstall image anyway? y/N? ")
    time.sleep(1)
    switch.console.send("y")
    asked = switch.console.expect_exact([SLOT_QUESTION, "Option? : "], timeout=60) == 0
    assert asked and switch.console.before.startswith("y\r\n")
    switch.console.send("2\r")
    assert "Image2 updated succeeded" in at_menu(switch)
    choose(switch, "e")
    switch.end()
    assert user_files(switch)["images/image2"] == unsigned


def test_developer_image_needs_physical_presence_and_wiped_keys_come_back(make_switch, tmp_path):
    stick = tmp_path / "stick"
    stick.mkdir()
    developer = signed(tmp_path, "application", images.application("developer"), "5.0.0.1", "dev",
                       key="development")
    (stick / DEVELOPER).write_bytes(developer)
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    # The default board carries a released root filesystem: a production
    # switch, not a developer's. The LED controller's register 2 holds
    # other bits beside the location LED's two. (The board's files are read
    # when a run has ended: the e500 engine writes them back then.)
    switch = make_switch("--env", "diagnostics=rescue", "--usb", str(stick), "--led", "2=0xa4",
                         slots={1: slot1})
    switch.boot()
    assert "key" not in at_menu(switch).lower()

    # The production key alone counts: refused, and so are the diagnostics.
    text, asked = install_from_stick(switch)
    assert not asked and "Installing Application:  Image rejected. " in text
    assert "developer keys" not in text
    choose(switch, "d")
    assert at_menu(switch).endswith("Standalone diags cannot be run on a secured switch\r\n"
                                    "Please establish physical presence first\r\n")

    count, text = establish_presence(switch)
    assert "Correct. Physical presence established" in text

    # In low security mode the development key is tried: installed.
    text, asked = install_from_stick(switch)
    assert asked
    assert "NOTE - low security mode is operational. Checking developer keys....\r\n" \
           " Image signature verified. " in text
    switch.console.send("2\r")
    text = at_menu(switch)
    assert "Image2 updated succeeded" in text
    line = f"File /mnt/usb/{DEVELOPER} installed from USB at "
    assert "Updating install log. " + line in text
    # The diagnostics are offered now; the rescue partition holds nothing.
    choose(switch, "D")
    switch.expect("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost)")
    switch.console.send("n")
    assert "Booting diags image..." in at_menu(switch)

    choose(switch, "k")
    switch.expect("Confirm: wiping system keys y/N: ")
    switch.console.send("y")
    assert "System keys have been deleted." in at_menu(switch)
    choose(switch, "r")
    switch.end()
    assert switch.rebooted
    assert (switch.board / "tmp" / "lowsec").exists()
    # Each period lit the LED (bits 0-1 = 01) and put it out again, the
    # other six bits written back as they were read.
    writes = [int(line.split()[1], 16) for line in
              (switch.board / "led.log").read_text().splitlines()]
    assert writes[0] == 0xa4 and writes.count(0xa5) == count
    assert set(writes) == {0xa4, 0xa5} and writes[-1] == 0xa4
    assert (switch.board / "led.bin").read_bytes()[2] == 0xa4
    assert user_files(switch)["images/image2"] == developer
    assert user_files(switch)["install.log"].decode().startswith(line)
    assert not any(name.endswith(".pem") for name in user_files(switch))
    assert not any("flash_eraseall" in c for c in switch.commands())

    # The next start writes the built-in keys again, encrypted for this
    # board. Low security mode went with the reboot: the image is refused
    # again, but the slot it went to is the configured one and boots.
    switch.boot()
    at_menu(switch)
    text, asked = install_from_stick(switch)
    assert not asked and " Image rejected. " in text
    choose(switch, "e")
    switch.expect("Booting image '2'")
    switch.expect("application up: developer")
    switch.end()
    keys = {name: data for name, data in user_files(switch).items() if name.endswith(".pem")}
    assert len(keys) == 2
    for kind in ("production", "development"):
        pem = (KEYS / f"{kind}.pub.pem").read_bytes()
        assert openssl("-d", SERIAL, keys[f"{kind}_key.pub.pem"]).rstrip(b"\0") == pem
    assert [c for c in switch.commands() if c.startswith("rm ")] == ["rm /user/*.pem"]


UPDATE_QUESTION = "Confirm: update filesystem y/N: "


def outdated_layout(make_switch, tmp_path, *options):
    """A switch of the layout before partition 4, with the operator's
    notes, a configuration two folders down and slot 1 on /user."""
    notes = tmp_path / "notes.txt"
    notes.write_text("operator's notes\n")
    config = tmp_path / "startup-config"
    config.write_bytes(random.Random(5).randbytes(50000))
    keys = tmp_path / "authorized_keys"
    keys.write_text("ssh-ed25519 AAAA operator@desk\n")
    slot1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
    return make_switch("--emmc-partitions", "1,2,3", "--user-file", f"notes.txt={notes}",
                       "--user-file", f"config/deep/startup-config={config}",
                       "--user-file", f".ssh/authorized_keys={keys}", *options,
                       slots={1: slot1})


def test_outdated_emmc_layout_rebuilt_with_every_file_kept(make_switch, tmp_path):
    switch = outdated_layout(make_switch, tmp_path)
    # The first start: nobody at the console; the question gives up after
    # 10 seconds of the terminal's own time and the start goes on.
    switch.boot()
    switch.expect("Filesystem partitions need updating.\r\n"
                  "It is recommended to backup your configuration before performing this update.\r\n"
                  + UPDATE_QUESTION)
    switch.expect("\r\nBooting image '1'", timeout=20)
    switch.expect("application up: slot1")
    switch.end()
    before = user_files(switch)
    assert {"notes.txt", "config/deep/startup-config", ".ssh/authorized_keys", "images/image1",
            "production_key.pub.pem"} <= set(before)

    # The next start: y, but /tmp has no room for the backup (32 KiB for
    # the configuration's 50 KB): the copy fails, nothing changes.
    switch.boot(options=["--tmp-size", "32768"])
    switch.expect(UPDATE_QUESTION)
    switch.console.send("Y")
    switch.expect("\tBacking up files. This can take a few minutes\r\n")
    switch.expect("\tFailed to back up files; nothing was changed. Quitting\r\n")
    switch.expect("Booting image '1'")
    assert "Unmounting" not in switch.console.before
    switch.expect("application up: slot1")
    switch.end()
    assert (switch.board / "emmc" / "partitions").read_text().split() == ["1", "2", "3"]
    assert not any("sfdisk" in c for c in switch.commands())
    # The partial copy is gone, so /tmp had its room back for the boot.
    assert not (switch.board / "tmp" / "backup").exists()
    assert user_files(switch) == before

    # The start after: y again, and the backup is made.
    start = len(switch.commands())
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    # /user is mounted already: mounting it again is refused, harmlessly.
    switch.expect("\r\n\tBacking up files. This can take a few minutes\r\n")
    switch.expect("\tUnmounting filesystem\r\n"
                  "\tCreating new filesystem partitions\r\n"
                  "\tReformatting main partition\r\n"
                  "\tVerifying main partition\r\n"
                  "\tReformatting config partition\r\n"
                  "\tMounting main filesystem\r\n"
                  "\tRestoring filesystem with backup. This can take a few minutes\r\n")
    switch.expect("Booting image '1'")
    switch.expect("application up: slot1")
    text = switch.console.before
    switch.end()
    # The key files came back with the rest: nothing to rewrite.
    assert "Updating system" not in text
    commands = switch.commands()[start:]
    steps = ["mkdir /tmp/backup", "cp -r /user/. /tmp/backup", "umount /dev/mmcblk0p1",
             "sfdisk /dev/mmcblk0 < /etc/partsetup &> /tmp/repart.txt",
             "mkfs.ext3 -F -b 4096 /dev/mmcblk0p1 &> /tmp/velmopart.txt",
             "/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null",
             "mkfs.ext3 -F -b 4096 /dev/mmcblk0p4 &> /tmp/cfgpart.txt",
             "mount /dev/mmcblk0p1 /user", "cp -r /tmp/backup/. /user/"]
    positions = [commands.index(step, commands.index("mkdir /tmp/backup")) for step in steps]
    assert positions == sorted(positions)
    assert (switch.board / "emmc" / "partitions").read_text().split() == ["1", "2", "3", "4"]
    assert (switch.board / "emmc" / "p4").is_dir()
    assert user_files(switch) == before

    # Then a sound filesystem on the new layout, mounted without a word.
    start = len(switch.commands())
    switch.boot()
    switch.expect("Running filesystem check.....\r\nBooting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    assert switch.commands()[start + 1:start + 4] == ["umount /dev/mmcblk0p1 &> /dev/null",
                                                      "/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null",
                                                      "/bin/mount /dev/mmcblk0p1 /user"]
    assert user_files(switch) == before
