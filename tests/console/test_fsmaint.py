"""Filesystem maintenance and the standalone diagnostics, as an operator
sees them at start-up."""

import gzip
import random
import shutil

import pexpect
import pytest

import images
from console_helpers import (FLASH_FILESYSTEM, SCRIPTED_ANSWERS, at_menu, choose,
                             tftp_download)

GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
UPDATE_QUESTION = "Confirm: update filesystem y/N: "
RECREATE_QUESTION = "Confirm: Recreate filesystem. Any data will be lost y/N: "
ERASE_QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
RESTORING = "\tRestoring filesystem with backup. This can take a few minutes\r\n"
IN_RAM = "\tYour files are in /tmp/backup until the switch is powered off or rebooted\r\n"


def fake_calls(switch, name):
    return [c for c in switch.calls() if c.split()[0] == name]


def ran(switch, program):
    """The command lines of `program` the launcher gave the shell (on both
    engines)."""
    return [c for c in switch.commands() if c.split()[0].rsplit("/", 1)[-1] == program]


def tree(top):
    """Every directory and file below top: path -> bytes, or None for a
    directory; key files left out (start-up writes them afresh)."""
    return {str(p.relative_to(top)): None if p.is_dir() else p.read_bytes()
            for p in top.rglob("*") if not p.name.endswith(".pem")}


def assert_quiet(switch, seconds):
    """Nothing more on the console for that long: the launcher is waiting."""
    with pytest.raises(pexpect.TIMEOUT):
        switch.console.expect(r"\S", timeout=seconds)


@pytest.mark.parametrize("left", [None, "..a", ".a"])
def test_empty_user_filesystem_is_rebuilt_with_nothing_to_restore(make_switch, engine, left):
    """An empty /user has nothing to restore; one holding only a dot file
    whose name is one letter longer than "." or ".." is not empty."""
    switch = make_switch("--emmc-partitions", "1,2,3", slots={})
    shutil.rmtree(switch.board / "emmc" / "p1" / "images")
    if left:
        (switch.board / "emmc" / "p1" / left).write_text("operator's\n")
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    switch.expect("\tBacking up files. This can take a few minutes\r\n")
    switch.expect("\tUnmounting filesystem\r\n")
    switch.expect("\tMounting main filesystem\r\n")
    switch.expect("Booting image '1'")
    # Neither a restore nor a failure; but a real ext3 /user always holds
    # its lost+found, which the backup takes and brings back (the namespace
    # engine's /user is a plain folder).
    restored = engine == "e500" or left is not None
    assert switch.console.before == (RESTORING if restored else "")
    # No slot holds an image: the operator leaves the rescue menu.
    switch.expect("Entering Rescue Mode.")
    switch.expect("Option? : ")
    switch.console.send("e")
    switch.end()
    assert ("cp -r /tmp/backup/. /user/" in switch.commands()) == restored
    assert (switch.board / "emmc" / "partitions").read_text().split() == ["1", "2", "3", "4"]
    if left:
        assert (switch.board / "emmc" / "p1" / left).read_text() == "operator's\n"


def test_missing_partsetup_fails_the_partitioning_and_mounts_user_again(make_switch):
    switch = make_switch("--emmc-partitions", "1,2,3", "--no-partsetup", slots={1: GOOD1})
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    switch.expect("\tCreating new filesystem partitions\r\n")
    # The shell cannot open the layout; there is no log to show.
    switch.expect("\tFailed to create partitions. Quitting\r\nlog:\r\n")
    switch.expect("Booting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    commands = switch.commands()
    assert commands[commands.index("cat /tmp/repart.txt") + 1] == "mount /dev/mmcblk0p1 /user"
    assert ran(switch, "mkfs.ext3") == []


@pytest.mark.namespace_only(SCRIPTED_ANSWERS)
def test_user_filesystem_that_will_not_unmount_is_left_as_it_was(make_switch):
    # Something holds /user: the update stops before the card is touched,
    # the files stay where they are and the switch boots from them.
    switch = make_switch("--emmc-partitions", "1,2,3", "--answer", "umount=1", slots={1: GOOD1})
    before = tree(switch.board / "emmc" / "p1")
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    switch.expect("\tUnmounting filesystem\r\n\tFailed to unmount filesystem. Quitting\r\n")
    switch.expect("application up: slot1")
    switch.end()
    assert not [c for c in switch.commands() if c.startswith(("sfdisk", "mkfs", "rm "))]
    assert tree(switch.board / "emmc" / "p1") == before


@pytest.mark.namespace_only(SCRIPTED_ANSWERS)
@pytest.mark.parametrize("answers, failure, restored", [
    (["sfdisk=1"], "\tFailed to create partitions. Quitting\r\nlog:\r\n", True),
    (["mkfs.ext3=1"], "\tFailed to format main partition. Quitting\r\nlog:\r\n", True),
    # Partition 1 is formatted already: only the backup holds the files.
    (["mkfs.ext3=0,1"], "\tFailed to format config partition. Quitting\r\nlog:\r\n", True),
    (["mkfs.ext3=0,1", "mount=0,1"], "\tFailed to format config partition. Quitting\r\n", False),
    (["mount=0,1"], "\tFailed to remount filesystem. Quitting\r\n", False),
    (["cp=0,1"], "\tFailed to restore backup\r\n", False),
], ids=["partitions", "main-format", "config-format", "config-format-no-mount", "remount",
        "restore"])
def test_failed_rebuild_restores_the_backup_or_says_where_it_is(make_switch, tmp_path, answers,
                                                                failure, restored):
    config = tmp_path / "startup-config"
    config.write_bytes(random.Random(3).randbytes(20000))
    options = ["--emmc-partitions", "1,2,3", "--user-file", f"config/site/startup-config={config}"]
    for answer in answers:
        options += ["--answer", answer]
    switch = make_switch(*options, slots={1: GOOD1})
    (switch.board / "emmc" / "p1" / "config" / "empty").mkdir()
    before = tree(switch.board / "emmc" / "p1")
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    switch.expect("\tUnmounting filesystem\r\n")
    switch.expect(failure)
    switch.expect((RESTORING if restored else IN_RAM) + "Booting image '1'")
    if restored:
        switch.expect("application up: slot1")
    else:
        # /user holds no slot: the operator leaves the rescue menu.
        switch.expect("Failed to open Application image 1. Trying image 2.\r\n"
                      "Failed to open Application image 2.\r\n")
        switch.expect("Option? : ")
        switch.console.send("e")
    switch.end()
    # A restore is tried whenever /user could be mounted again.
    commands = switch.commands()
    assert ("cp -r /tmp/backup/. /user/" in commands) == (answers[-1] != "mount=0,1")
    assert tree(switch.board / "tmp" / "backup") == before
    if restored:
        assert tree(switch.board / "emmc" / "p1") == before


@pytest.mark.namespace_only(SCRIPTED_ANSWERS)
def test_filesystem_only_the_forced_repair_fixes(make_switch):
    switch = make_switch("--answer", "e2fsck=4,1,0", slots={1: GOOD1})
    switch.boot()
    switch.expect("*** Your filesystem has errors. Attempting to recover but data may be lost.***\r\n"
                  "Pass 1: Checking inodes, blocks, and sizes\r\n")
    switch.expect("/dev/mmcblk0p1: ***** FILE SYSTEM WAS MODIFIED *****\r\nBooting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    assert fake_calls(switch, "e2fsck") == ["e2fsck -p /dev/mmcblk0p1", "e2fsck -fy /dev/mmcblk0p1",
                                            "e2fsck -p /dev/mmcblk0p1"]
    assert "/bin/mount /dev/mmcblk0p1 /user" in switch.commands()


@pytest.mark.namespace_only(SCRIPTED_ANSWERS)
def test_unrepairable_filesystem_waits_for_the_operator_n_mounts_it_y_recreates_it(
        make_switch, tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("operator's notes\n")
    switch = make_switch("--answer", "e2fsck=4", "--user-file", f"notes.txt={notes}",
                         slots={1: GOOD1})
    switch.boot()
    switch.expect("****** ERROR: Your filesystem is corrupted beyond automated repair ******\r\n"
                  + RECREATE_QUESTION)
    # No 10-second limit on this question, not even at start-up.
    assert_quiet(switch, 12)
    switch.console.send("n")
    switch.expect("\r\nBooting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    commands = switch.commands()
    assert commands.index("/bin/mount /dev/mmcblk0p1 /user") > \
        commands.index("/sbin/e2fsck -fy /dev/mmcblk0p1")
    assert ran(switch, "sfdisk") == []

    # Recreated on y, without a backup.
    switch.boot()
    switch.expect(RECREATE_QUESTION)
    switch.console.send("y")
    switch.expect("\r\n\tCreating new filesystem partitions\r\n"
                  "\tReformatting main partition\r\n"
                  "\tVerifying main partition\r\n"
                  "WARNING: main partition not created cleanly\r\n"
                  "\tReformatting config partition\r\n"
                  "\tMounting main filesystem\r\n")
    # The slot went with the data: the operator leaves the rescue menu.
    switch.expect("Option? : ")
    text = switch.console.before
    switch.console.send("e")
    switch.end()
    assert "Backing up" not in text and "Restoring" not in text
    assert "mkdir /tmp/backup" not in switch.commands()
    # The operator agreed to lose the data.
    assert not (switch.board / "emmc" / "p1" / "notes.txt").exists()
    assert not (switch.board / "emmc" / "p1" / "images").exists()


@pytest.mark.namespace_only(FLASH_FILESYSTEM)
def test_diagnostics_on_a_developer_switch_erase_the_flash_filesystem(make_switch, tmp_path):
    rescue = tmp_path / "rescue.bin"
    rescue.write_bytes(images.component(images.DIAGNOSTICS, images.diagnostics("bench")))
    switch = make_switch("--rfs", "erased", "--env", "diagnostics=diags", "--mtd-file",
                         f"rescue={rescue}", slots={1: GOOD1})
    (switch.board / "flashfs" / "old-config").write_text("x")
    switch.boot()
    switch.expect("NOTE: switch running developer signed images\r\n" + ERASE_QUESTION)
    switch.console.send("y")
    switch.expect("\r\nunmount filesystem\r\n\r\nErasing filesystem for clean install\r\n")
    switch.expect("Mounting...\r\ncreating default filesystem\r\nBooting diags image...")
    switch.expect("Launching diagnostics image\r\n")
    switch.expect("install diags image\r\n")
    switch.expect("diagnostics up: bench")
    switch.end()
    commands = switch.commands()
    steps = ["/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
             "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
             "mkdir /user/images &> /dev/null"]
    assert [commands.index(step) for step in steps] == sorted(commands.index(s) for s in steps)
    assert [p.name for p in (switch.board / "flashfs").iterdir()] == ["images"]
    assert set((switch.board / "mtd" / "user.bin").read_bytes()) == {0xFF}


def test_diagnostics_in_low_security_mode_asked_without_the_note(make_switch):
    switch = make_switch("--env", "diagnostics=diags", "--env", "lowsec=quvendolar",
                         "--rfs", "production", slots={1: GOOD1})
    switch.boot()
    switch.expect(ERASE_QUESTION)
    text = switch.console.before
    switch.console.send("n")
    switch.expect("\r\nBooting diags image...")
    # The rescue partition holds nothing bootable: start-up goes on.
    switch.expect("application up: slot1")
    switch.end()
    assert "NOTE: switch running developer signed images" not in text
    assert ran(switch, "flash_eraseall") == []


def test_recovery_image_installs_into_a_slot_and_one_whose_second_read_fails_never_does(
        make_switch, tmp_path, engine):
    recovery = images.component(images.APPLICATION, images.application("recovery"), "7.0.0.0")
    rescue = tmp_path / "rescue.bin"
    rescue.write_bytes(recovery)
    switch = make_switch("--env", "diagnostics=diags", "--rfs", "development", "--mtd-file",
                         f"rescue={rescue}", slots={1: GOOD1})
    switch.boot()
    switch.expect(ERASE_QUESTION)
    switch.console.send("n")
    switch.expect("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("2\r")
    switch.expect("\r\nInstalling recovery image as image2...\r\n")
    switch.expect("application up: recovery")
    switch.end()
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == recovery
    assert "cp /tmp/image /user/images/image2\\n" in switch.commands()
    if engine == "e500":
        return  # the rest changes the flash while the switch runs

    switch.boot()
    switch.expect(ERASE_QUESTION)
    switch.console.send("n")
    switch.expect("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    # The flash now ends in the middle of the component: the copy for the
    # slot, read again, comes up short.
    with open(switch.board / "mtd" / "rescue.bin", "r+b") as flash:
        flash.truncate(len(recovery) // 2)
    start = len(switch.commands())
    switch.console.send("1\r")
    switch.expect("\r\nInstalling recovery image as image1...\r\nImage CRC failed. Quitting\r\n")
    switch.expect("application up: recovery")
    switch.end()
    assert (switch.board / "emmc" / "p1" / "images" / "image1").read_bytes() == GOOD1
    assert not (switch.board / "tmp" / "image").exists()
    assert not any(c.startswith("cp /tmp/image") for c in switch.commands()[start:])
    assert switch.eeprom(0x100) == 2


def test_orvex_install_onto_an_old_layout_asks_without_a_time_limit(make_switch, tmp_path):
    served = tmp_path / "served"
    served.mkdir()
    raw = random.Random(5).randbytes(30000)
    (served / "orvex.img").write_bytes(
        images.component(images.ORVEX, gzip.compress(raw), "10.0.1.2"))
    switch = make_switch("--emmc-partitions", "1,2,3", "--env", "diagnostics=rescue",
                         "--tftp", str(served), slots={1: GOOD1})
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("n")
    at_menu(switch)
    tftp_download(switch, "orvex.img")
    switch.expect("Install image as image 1 or 2 (q to quit): ")
    switch.console.send("2\r")
    switch.expect("Filesystem partitions need updating.\r\n")
    switch.expect(UPDATE_QUESTION)
    # In the middle of an install the operator is waited for; no, and the
    # install goes on onto the old layout.
    assert_quiet(switch, 2)
    switch.console.send("n")
    switch.expect("decompressing image...")
    text = at_menu(switch)
    assert "Image2 updated succeeded\r\n" in text and "No valid image" not in text
    # So does the menu's own filesystem check.
    choose(switch, "f")
    switch.expect("Filesystem partitions need updating.\r\n")
    switch.expect(UPDATE_QUESTION)
    assert_quiet(switch, 1)
    switch.console.send("n")
    at_menu(switch)
    choose(switch, "e")
    switch.end()
    assert ran(switch, "sfdisk") == []
