"""Filesystem maintenance and the standalone diagnostics, as an operator
sees them at start-up."""

import shutil

import pexpect
import pytest

import images

GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
UPDATE_QUESTION = "Confirm: update filesystem y/N: "
RECREATE_QUESTION = "Confirm: Recreate filesystem. Any data will be lost y/N: "
ERASE_QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "


def fake_calls(switch, name):
    return [c for c in switch.calls() if c.split()[0] == name]


def assert_quiet(switch, seconds):
    """Nothing more on the console for that long: the launcher is waiting."""
    with pytest.raises(pexpect.TIMEOUT):
        switch.console.expect(r"\S", timeout=seconds)


def test_empty_user_filesystem_is_rebuilt_with_nothing_to_restore(make_switch):
    switch = make_switch("--emmc-partitions", "1,2,3", slots={})
    shutil.rmtree(switch.board / "emmc" / "p1" / "images")
    switch.boot()
    switch.expect(UPDATE_QUESTION)
    switch.console.send("y")
    switch.expect("\tBacking up files. This can take a few minutes\r\n")
    switch.expect("\tUnmounting filesystem\r\n")
    switch.expect("\tMounting main filesystem\r\n")
    switch.expect("Booting image '1'")
    assert switch.console.before == ""  # neither a restore nor a failure
    # No slot holds an image: the operator leaves the rescue menu.
    switch.expect("Entering Rescue Mode.")
    switch.expect("Option? : ")
    switch.console.send("e")
    switch.end()
    assert "cp -r /tmp/backup/* /user/" not in switch.commands()
    assert (switch.board / "emmc" / "partitions").read_text().split() == ["1", "2", "3", "4"]


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
    assert fake_calls(switch, "mkfs.ext3") == []


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


def test_unrepairable_filesystem_waits_for_the_operator_and_n_mounts_it(make_switch):
    switch = make_switch("--answer", "e2fsck=4", slots={1: GOOD1})
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
    assert fake_calls(switch, "sfdisk") == []


def test_unrepairable_filesystem_recreated_on_y_without_a_backup(make_switch, tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("operator's notes\n")
    switch = make_switch("--answer", "e2fsck=4", "--user-file", f"notes.txt={notes}",
                         slots={1: GOOD1})
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
    assert fake_calls(switch, "flash_eraseall") == []
