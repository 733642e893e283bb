"""The fake outside programs log their calls and answer as the board says."""

from sandbox_helpers import enter, mkboard


def test_answers_are_taken_in_order_and_the_last_one_repeats(tmp_path):
    board = tmp_path / "b"
    mkboard(board, "--answer", "e2fsck=4,0")
    result = enter(board, "for i in 1 2 3; do /sbin/e2fsck -p /dev/mmcblk0p1 >/dev/null 2>&1; echo $?; done")
    assert result.stdout.split() == ["4", "0", "0"]
    assert (board / "calls.log").read_text() == "e2fsck -p /dev/mmcblk0p1\n" * 3


def test_configuration_partition_mounts_and_formats(board):
    result = enter(board, """
        mkdir /tmp/kvrt-cfg
        mount /dev/mmcblk0p4 /tmp/kvrt-cfg && echo record > /tmp/kvrt-cfg/version
        umount /tmp/kvrt-cfg
        test -e /tmp/kvrt-cfg/version && echo still-there
        mkfs.ext3 -b 4096 /dev/mmcblk0p4 > /dev/null && echo formatted""")
    assert result.stdout.split() == ["formatted"]
    assert list((board / "emmc" / "p4").iterdir()) == []


def test_user_filesystem_unmounts_and_mounts_again(board):
    (board / "emmc" / "p1" / "keep").write_text("data")
    result = enter(board, """
        umount /dev/mmcblk0p1 && ls /user | wc -l
        /bin/mount /dev/mmcblk0p1 /user && cat /user/keep""")
    assert result.stdout.split() == ["0", "data"]


def test_missing_partition_is_created_by_sfdisk(tmp_path):
    board = tmp_path / "b"
    mkboard(board, "--emmc-partitions", "1")
    result = enter(board, """
        mount /dev/mmcblk0p4 /user 2>/dev/null || echo no-p4
        sfdisk /dev/mmcblk0 < /etc/partsetup > /dev/null && ls /sys/block/mmcblk0""")
    assert result.stdout.split() == ["no-p4", "mmcblk0p1", "mmcblk0p2", "mmcblk0p3", "mmcblk0p4"]
    assert (board / "emmc" / "partitions").read_text().split() == ["1", "2", "3", "4"]


def test_flash_eraseall_erases_the_user_partition(board):
    user = board / "mtd" / "user.bin"
    user.write_bytes(b"\0" * user.stat().st_size)
    (board / "flashfs" / "old").write_text("x")
    assert enter(board, "flash_eraseall /dev/mtd-user-char").returncode == 0
    assert set(user.read_bytes()) == {0xFF}
    assert list((board / "flashfs").iterdir()) == []


def test_failures_scripted_by_the_board(tmp_path):
    board = tmp_path / "b"
    mkboard(board, "--answer", "mount=255", "--answer", "dhclient=1", "--answer", "reboot=1")
    result = enter(board, "mount /dev/mmcblk0p4 /mnt 2>/dev/null; echo $?; dhclient -1 eth0; echo $?; reboot; echo $?")
    assert result.stdout.split() == ["255", "1", "1"]
    assert not (board / "run" / "rebooted").exists()


def test_start_program_runs_the_unpacked_application(board):
    result = enter(board, """
        mkdir -p /tmp/home/bin
        printf '#!/bin/sh\\necho application up\\n' > /tmp/home/bin/mp.elf.strip
        chmod +x /tmp/home/bin/mp.elf.strip
        exec /bin/backtrace""")
    assert result.stdout == "application up\n"
    assert (board / "calls.log").read_text() == "backtrace\n"


def test_mounted_filesystem_is_neither_mounted_again_nor_formatted(board):
    result = enter(board, """
        mount /dev/mmcblk0p1 /user 2>/dev/null || echo busy
        mkfs.ext3 -b 4096 /dev/mmcblk0p1 || echo refused
        umount /dev/mmcblk0p1 && mkfs.ext3 -b 4096 /dev/mmcblk0p1 >/dev/null && echo formatted""")
    assert result.stdout.split("\n")[:3] == [
        "busy", "/dev/mmcblk0p1 is mounted; will not make a filesystem here!", "refused"]
    assert result.stdout.split()[-1] == "formatted"


def test_cp_copies_for_real_unless_the_board_says_it_fails(tmp_path):
    board = tmp_path / "b"
    mkboard(board, "--answer", "cp=0,1")
    (board / "emmc" / "p1" / "notes").write_text("kept")
    result = enter(board, """
        mkdir /tmp/backup; cp -r /user/* /tmp/backup; echo $?; cat /tmp/backup/notes; echo
        cp -r /user/* /tmp/again 2>/dev/null; echo $?; ls /tmp/again 2>/dev/null | wc -l""")
    assert result.stdout.split() == ["0", "kept", "1", "0"]
