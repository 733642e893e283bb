"""The virtual switch keeps what runs inside away from the machine."""

import os
import subprocess
import time
import uuid

import pytest

from sandbox_helpers import BUILD, ENTER, enter, mkboard


def test_writes_clock_tmp_and_reboot_stay_inside(tmp_path):
    """Writes land in the board and nowhere else, and put files are
    read-only; the clock cannot be set and date is only logged; /tmp is
    empty at every start but for the stick's marker, and kept in the board
    for inspection; a reboot ends only the switch."""
    stick, board, source = tmp_path / "stick", tmp_path / "board", tmp_path / "program"
    stick.mkdir()
    mkboard(board, "--usb", str(stick))
    source.write_text("#!/bin/sh\necho hello from put\n")
    source.chmod(0o755)
    enter(board, "echo first > /tmp/left-over")
    assert (board / "tmp" / "left-over").read_text() == "first\n"
    name, half = f"sandbox-probe-{uuid.uuid4().hex}", uuid.uuid4().hex
    marker = f"sandbox-test-{half}"
    before = time.time()
    result = enter(board, f"""
        ls -A /tmp
        date 010100002000.00; /bin/busybox date -s '2000-01-01 00:00'
        /sbin/program; echo x >> /sbin/program || echo refused
        echo user > /user/{name}
        echo usb > /mnt/usb/{name}
        echo etc > /etc/{name}
        echo root > /{name}
        echo lib > /lib/{name} 2>/dev/null && echo lib-writable
        test -e {ENTER} && echo machine-visible
        # A process left running, whose command line holds the marker (this
        # script holds it only split in two): seen now, gone after the reboot.
        sh -c "sleep 1000; : sandbox-test-""{half}" & sleep 0.3
        ps | grep -F '{marker}' | grep -vq grep && echo running
        reboot""", puts=[f"{source}=/sbin/program"])
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("running\n") and "the switch rebooted" in result.stderr
    assert (board / "run" / "rebooted").exists()
    leftover = subprocess.run(["pgrep", "-f", marker], capture_output=True, text=True)
    assert leftover.stdout == ""
    # The fake shows the time it would set; the real command is refused by
    # the kernel inside the namespace.
    assert result.stdout.startswith("usb\nSat Jan  1 00:00:00 UTC 2000\n")
    assert "can't set date: Operation not permitted" in result.stderr
    assert abs(time.time() - before) < 120
    assert (board / "calls.log").read_text() == "date 010100002000.00\nreboot\n"
    assert not (board / "tmp" / "left-over").exists()
    assert "hello from put\nrefused\n" in result.stdout
    assert source.read_text().endswith("put\n")
    assert "lib-writable" not in result.stdout
    assert "machine-visible" not in result.stdout
    assert (board / "emmc" / "p1" / name).read_text() == "user\n"
    assert (board / "usb" / name).read_text() == "usb\n"
    for host_path in (f"/etc/{name}", f"/{name}", f"/lib/{name}"):
        assert not os.path.exists(host_path)


def test_network_is_private_and_eth0_carrier_follows_the_board(tmp_path):
    for link, carrier in (("up", True), ("down", False)):
        board = tmp_path / link
        mkboard(board, "--link", link)
        # The carrier needs a moment to follow the far end.
        result = enter(board, "ip link set eth0 up; for i in 1 2 3 4 5 6 7 8 9 10; do "
                              "ip link show eth0 | grep -q LOWER_UP && break; sleep 0.2; done; "
                              "ip -o link show")
        interfaces = [line.split(":")[1].strip().split("@")[0] for line in result.stdout.splitlines()
                      if ": <" in line]
        # The far end of eth0 (sw0) lies on the other side of the wire.
        assert sorted(interfaces) == ["eth0", "lo"]
        eth0 = next(line for line in result.stdout.splitlines() if " eth0@" in line)
        assert ("LOWER_UP" in eth0) == carrier


def test_guard_refuses_to_run_outside_and_runs_inside(board):
    probe = BUILD / "sandbox_guard_probe"
    if not probe.exists():
        pytest.skip("build the host preset first")
    outside = subprocess.run([str(probe)], capture_output=True, text=True)
    assert outside.returncode == 125
    assert "refusing to run" in outside.stderr
    # A user namespace alone is not the sandbox either.
    alone = subprocess.run(["unshare", "-Ur", str(probe)], capture_output=True, text=True)
    assert alone.returncode == 125
    inside = enter(board, "/bin/probe", puts=[f"{probe}=/bin/probe"])
    assert inside.returncode == 0
    assert inside.stdout == "guard passed: inside the sandbox\n"


def test_enter_refuses_what_is_not_a_board(tmp_path):
    result = subprocess.run([str(ENTER), str(tmp_path), "--", "true"], capture_output=True, text=True)
    assert result.returncode == 125
    assert "not a board directory" in result.stderr
    usage = subprocess.run([str(ENTER), str(tmp_path)], capture_output=True, text=True)
    assert usage.returncode == 2
    # A board a power cut on the e500 engine left with raw partition images
    # (journals unreplayed) is refused until that engine started it again;
    # so is a /tmp size that is not a number of bytes.
    board = tmp_path / "board"
    mkboard(board)
    boot = str(ENTER.parent / "boot")
    for options, message in (([], "raw partition image"), (["--tmp-size", "1k"], "--tmp-size")):
        if not options:
            (board / "emmc" / "p1.img").write_bytes(b"\0" * 4096)
        # A board that is not refused would boot: the time-out fails the test.
        result = subprocess.run([boot, *options, str(board)], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        assert result.returncode == 2 and message in result.stderr, result.stderr
        assert not (board / "tmp").exists() or not any((board / "tmp").iterdir())


def test_ctrl_c_reaches_the_switch_and_not_the_sandbox(board):
    pexpect = pytest.importorskip("pexpect")
    child = pexpect.spawn(str(ENTER), [str(board), "--", "sh", "-c",
                                       "trap 'echo got-int' INT; echo ready; sleep 5; echo after"],
                          timeout=20)
    child.expect("ready")
    time.sleep(0.3)
    child.sendintr()
    child.expect("got-int")
    child.expect("after")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_a_killed_runner_takes_its_switch_with_it(tmp_path):
    """A test runner that gives up kills sandbox/enter, and nothing else: the
    switch inside must end too, not spin on beside the next one."""
    board = tmp_path / "board"
    mkboard(board)
    marker = f"sandbox-orphan-{uuid.uuid4().hex}"
    runner = subprocess.Popen([str(ENTER), str(board), "--", "sh", "-c",
                               f"sh -c 'while :; do :; done; : {marker}' & echo up; wait"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        assert runner.stdout.readline() == "up\n"
        assert subprocess.run(["pgrep", "-f", marker], capture_output=True).returncode == 0
    finally:
        runner.kill()
        runner.wait()
    for _ in range(50):
        if subprocess.run(["pgrep", "-f", marker], capture_output=True).returncode != 0:
            break
        time.sleep(0.1)
    leftover = subprocess.run(["pgrep", "-f", marker], capture_output=True, text=True).stdout
    subprocess.run(["pkill", "-KILL", "-f", marker])
    assert leftover == ""
