"""The fake outside programs log their calls and answer as the board says.
What the console tests rely on (scripted answers in order, sfdisk, mkfs,
cp, mount, flash_eraseall, the start program) is proved by them; here only
the fakes' own guards, as strict as the real programs: a mounted filesystem
is never formatted, and an existing one only with -F or a typed y."""

from sandbox_helpers import enter


def test_mounted_filesystem_is_neither_mounted_again_nor_formatted(board):
    result = enter(board, """
        mount /dev/mmcblk0p1 /user 2>/dev/null || echo busy
        mkfs.ext3 -F -b 4096 /dev/mmcblk0p1 || echo refused
        umount /dev/mmcblk0p1
        echo n | mkfs.ext3 -b 4096 /dev/mmcblk0p1 >/dev/null || echo not asked for
        mkfs.ext3 -F -b 4096 /dev/mmcblk0p1 >/dev/null && echo formatted""")
    assert result.stdout.split("\n")[:4] == [
        "busy", "/dev/mmcblk0p1 is mounted; will not make a filesystem here!", "refused",
        "not asked for"]
    assert result.stdout.split()[-1] == "formatted"
    assert (board / "calls.log").read_text().splitlines()[-1] == "mkfs.ext3 -F -b 4096 /dev/mmcblk0p1"
