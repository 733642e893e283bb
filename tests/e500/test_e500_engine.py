"""The e500 engine's own guards (a board it cannot map is refused before
anything starts, and a run that does not end in a shutdown leaves the board
as it was) and the main job on it, scripts/sandbox --e500."""

import hashlib
import pathlib
import shutil
import os
import signal
import subprocess
import sys

import pexpect
import pytest

from console_helpers import E500_LAUNCHER, LAUNCHER, ROOT, at_menu, choose

ENGINE = ROOT / "sandbox" / "boot-e500"


def board_digest(board):
    """Every file of the board directory but the engine's run directory and
    the I2C logs, which grow while the switch runs, as on the namespace
    engine."""
    h = hashlib.sha256()
    for top, dirs, files in os.walk(board):
        dirs[:] = sorted(d for d in dirs if os.path.join(top, d) != str(board / "run" / "e500"))
        for name in sorted(set(files) - {"i2c.log", "led.log"}):
            path = os.path.join(top, name)
            h.update(path.encode())
            if not os.path.islink(path):
                with open(path, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


def too_large_layout(board):
    layout = (board / "partsetup").read_text()
    (board / "partsetup").write_text(layout.replace("size=1048576", "size=83886080"))


def link_on_stick(board):
    (board / "usb").mkdir()
    (board / "usb" / "VKT3390_OS.img").symlink_to("/user/images/image1")


@pytest.mark.parametrize("options, change, reason", [
    (["--power-cut-after", "3"], None, "power cuts (mtd/power-cut-after) stay on the namespace"),
    (["--answer", "e2fsck=4"], None, "answers/e2fsck: the e500 board runs the real programs"),
    (["--i2c-absent", "rtc"], None, "the real-time clock is the machine's own"),
    (["--i2c-absent", "mux"], None, "an absent multiplexer with the EEPROM present"),
    (["--erase-size", "1024"], None, "block2mtd takes a power of two of 4096 or more"),
    (["--tty", "/dev/pts/99"], None, "a separate line (tty) needs the namespace sandbox"),
    ([], too_large_layout, "more than the SD card's 32 GiB"),
    ([], link_on_stick, "a FAT stick holds only regular files and directories"),
    ([], "launcher", "is not a 32-bit big-endian PowerPC program"),
])
def test_boards_it_cannot_map_are_refused_before_anything_starts(tmp_path, options, change,
                                                                 reason):
    board = tmp_path / "board"
    subprocess.run([ROOT / "sandbox" / "mkboard", board, *options], check=True)
    launcher = []
    if change == "launcher":
        launcher = ["--launcher", str(LAUNCHER)]
    elif change is not None:
        change(board)
    before = board_digest(board)
    result = subprocess.run([ENGINE, *launcher, board], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=60)
    assert result.returncode == 2, result.stderr
    assert "cannot map the board onto the emulated switch: " in result.stderr
    assert reason in result.stderr
    assert result.stdout == ""
    assert not (board / "run" / "e500").exists() and board_digest(board) == before


def test_a_run_stopped_before_it_shut_down_leaves_the_board_as_it_was(make_switch, tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    switch = make_switch("--env", "diagnostics=rescue",
                         "--user-file", f"production_key.pub.pem={empty}")
    before = board_digest(switch.board)
    switch.boot(timeout=120)
    # The switch changes /user (the empty key file rewritten), and the
    # filesystem check's unmount puts the change on the SD card; then the
    # engine is told to stop.
    switch.expect("Updating system key....")
    at_menu(switch)
    choose(switch, "F")
    at_menu(switch)
    os.kill(switch.console.pid, signal.SIGTERM)
    text = switch.end(timeout=60, status=125)
    assert board_digest(switch.board) == before
    assert "the emulated switch stopped without shutting down" in text
    assert "the board is left as it was" in text


def test_the_main_job_boots_the_shipped_launcher_on_the_e500_board(tmp_path):
    # As a newcomer runs it: the configured slot damaged, the other boots,
    # Enter powers the emulated switch off.
    console = pexpect.spawn(str(ROOT / "scripts" / "sandbox"),
                            ["--e500", "--board", str(tmp_path / "board"), "--damage", "1"],
                            env=dict(os.environ, TERM="dumb"), timeout=600, encoding="utf-8",
                            codec_errors="replace", cwd=str(ROOT))
    console.expect_exact("Image1 CRC failed, trying Image2 now.")
    console.expect_exact("Booted from image slot 2, application version 1.0.0.2.", timeout=120)
    console.expect_exact("SWITCH_ROLE=leaf SWITCH_SITE=sandbox-slot2")
    console.expect_exact("Press Enter to power off the virtual switch.")
    # The real system has no board directory to show the commands from.
    assert "commands.log" not in console.before
    console.sendline("")
    console.expect(pexpect.EOF, timeout=120)
    console.close()
    assert console.exitstatus == 0


def tiny_user_partition(board):
    """/user of 1 MiB, holding a file of 2 MiB: mke2fs cannot make it."""
    layout = (board / "partsetup").read_text()
    (board / "partsetup").write_text(layout.replace("size=4194304", "size=2048"))
    (board / "emmc" / "p1" / "big").write_bytes(b"\x5a" * (2 << 20))


@pytest.mark.parametrize("options, faults, reason", [
    ([], ["--read-error", "floppy:0"], "is not DEVICE:OFFSET with DEVICE stick or emmc"),
    ([], ["--read-error", "stick:12ab"], "is not a byte offset"),
    (["--usb", str(ROOT / "keys" / "test")], ["--read-error", "stick:1099511627776"], "the disk holds"),
    (["--no-emmc"], ["--read-error", "emmc:0"], "the board has no eMMC card"),
    ([], ["--read-error", "emmc:0"], "QEMU's SD card model hands the guest stale bytes"),
    ([], ["--read-error", "stick:0"], "--read-error stick: the board has no stick"),
    ([], ["--pull-stick", "Booting"], "--pull-stick: the board has no stick"),
    ([], ["--power-cut", ""], "is not a moment"),
    ([], ["--power-cut", "+1s"], "is not a number of seconds"),
    ([], ["--power-cut", "Booting+99999"], "is not a number of seconds"),
    ([], ["--tmp-size", "12Q"], "is not a size"),
    ([], ["--tmp-size", "0"], "0 bytes is less than 4096"),
    ([], ["--user-free", "-1"], "is not a size"),
    (["--no-emmc"], ["--user-free", "1M"], "/user is not a filesystem of files"),
    ([], ["--user-free", "1M", "--power-cut", "+5"], "the filler cannot be taken out"),
    ([], [], "cannot prepare the emulated switch's disks (mke2fs for eMMC partition 1"),
])
def test_faults_it_cannot_give_and_failed_preparations_leave_the_board_untouched(
        tmp_path, options, faults, reason):
    board = tmp_path / "board"
    subprocess.run([ROOT / "sandbox" / "mkboard", board, *options], check=True)
    if not faults:
        tiny_user_partition(board)
    before = board_digest(board)
    result = subprocess.run([ENGINE, "--launcher", E500_LAUNCHER, *faults, board],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    assert result.returncode == 2, result.stderr
    assert reason in result.stderr
    assert result.stdout == ""
    assert not (board / "run" / "e500").exists() and board_digest(board) == before


def test_the_write_back_puts_a_whole_new_board_in_place_or_leaves_the_old(tmp_path):
    """The engine's last step, on a board directory of its own: the staged
    parts replace the old ones in one swap; a part that cannot be put in
    place leaves every part as it was, and nothing beside it."""
    sys.path.insert(0, str(ROOT / "sandbox" / "e500"))
    import board as boardmap

    board = tmp_path / "board"
    for name, text in (("eeprom.bin", "old eeprom"), ("emmc/p1/notes", "old notes"),
                       ("emmc/p1/kept", "kept"), ("run/e500/disk", "disk"),
                       ("run/e500/staged-eeprom", "new eeprom")):
        (board / name).parent.mkdir(parents=True, exist_ok=True)
        (board / name).write_text(text)
    run = board / "run" / "e500"
    staged = [(str(run / "staged-eeprom"), "eeprom.bin"), (str(run / "missing"), "emmc/p1"),
              (None, "usb")]
    before = board_digest(board)
    with pytest.raises(OSError):
        boardmap.commit(str(board), "run/e500", staged)
    assert board_digest(board) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["board"]

    (run / "staged-eeprom").write_text("new eeprom")
    (run / "p1-files").mkdir()
    (run / "p1-files" / "notes").write_text("new notes")
    staged[1] = (str(run / "p1-files"), "emmc/p1")
    boardmap.commit(str(board), "run/e500", staged)
    assert (board / "eeprom.bin").read_text() == "new eeprom"
    assert [p.name for p in (board / "emmc" / "p1").iterdir()] == ["notes"]
    assert (board / "emmc" / "p1" / "notes").read_text() == "new notes"
    assert (board / "run" / "e500" / "disk").read_text() == "disk"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["board"]


def test_a_dump_that_misses_files_is_an_error(tmp_path):
    """debugfs rdump exits 0 when it passes over a FIFO or cannot read a
    file's block; the write-back takes either as a failure."""
    sys.path.insert(0, str(ROOT / "sandbox" / "e500"))
    import board as boardmap

    tree = tmp_path / "tree"
    (tree / "deep").mkdir(parents=True)
    (tree / "deep" / "notes").write_text("notes\n")
    (tree / ".profile").write_text("profile\n")
    image = tmp_path / "p1.img"

    def dump(change=None):
        subprocess.run(["truncate", "-s", "16M", image], check=True)
        subprocess.run(["mke2fs", "-q", "-F", "-t", "ext3", "-b", "4096", "-d", tree, image],
                       check=True)
        if change:
            subprocess.run(["debugfs", "-w", "-R", change, image], check=True,
                           capture_output=True)
        run = boardmap.Run(None, str(tmp_path / "run"))
        shutil.rmtree(run.dir, ignore_errors=True)
        os.makedirs(run.dir)
        return pathlib.Path(run.dump_ext(str(image), 0, 1))

    whole = dump()
    assert (whole / "deep" / "notes").read_text() == "notes\n"
    assert (whole / ".profile").read_text() == "profile\n"
    with pytest.raises(RuntimeError, match="Attempt to read block"):
        dump("set_inode_field /deep/notes block[0] 999999")
    image.unlink()
    os.mkfifo(tree / "deep" / "fifo")
    with pytest.raises(RuntimeError, match="/deep/fifo .* is not in debugfs's dump"):
        dump()
