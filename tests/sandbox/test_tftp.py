"""The TFTP server on the far end of eth0: busybox tftp on the switch
fetches the board's tftp/ files over the wire, and not when the link is
down."""

import os

from sandbox_helpers import enter, mkboard

FETCH = """
    ifconfig eth0 192.0.2.2 netmask 255.255.255.0 up
    n=0
    for name in {names}; do
        n=$((n + 1))
        tftp -g -r "$name" -l /tmp/got$n 192.0.2.1 2>/dev/null; echo "$name $?"
    done
    ls /tmp
"""


def test_files_arrive_byte_exact_and_only_from_the_served_directory(tmp_path):
    # Many full 512-byte blocks and a short one; only full blocks.
    image = os.urandom(512 * 300 + 77)
    exact = os.urandom(512 * 4)
    served = tmp_path / "served"
    (served / "images").mkdir(parents=True)
    (served / "images" / "VKT3390_OS.img").write_bytes(image)
    (tmp_path / "exact.bin").write_bytes(exact)
    board = tmp_path / "board"
    mkboard(board, "--tftp", str(served), "--tftp-file", f"exact.bin={tmp_path / 'exact.bin'}")

    # The server is chrooted into tftp/: nothing else of the board is served.
    names = "images/VKT3390_OS.img exact.bin ../eeprom.bin /sandbox/board/eeprom.bin missing"
    result = enter(board, FETCH.format(names=names))
    assert result.stdout.split() == [
        "images/VKT3390_OS.img", "0", "exact.bin", "0", "../eeprom.bin", "1",
        "/sandbox/board/eeprom.bin", "1", "missing", "1", "got1", "got2"]
    assert (board / "tmp" / "got1").read_bytes() == image
    assert (board / "tmp" / "got2").read_bytes() == exact


def test_download_times_out_when_the_link_is_down(tmp_path):
    (tmp_path / "image.bin").write_bytes(b"x" * 1000)
    board = tmp_path / "board"
    mkboard(board, "--link", "down", "--tftp-file", f"image.bin={tmp_path / 'image.bin'}")
    result = enter(board, FETCH.format(names="image.bin") + "ip -o link show eth0", timeout=120)
    lines = result.stdout.splitlines()
    assert lines[0] == "image.bin 1"
    assert "NO-CARRIER" in lines[-1]
    assert not (board / "tmp" / "got1").exists()
