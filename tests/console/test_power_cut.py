"""Power cuts while the switch installs an update or rewrites an image slot.

Update scenario: the switch runs the old application of slot 1 (boot slot
1); slot 2 holds an older image. The update container (boot loader,
kernel, root filesystem, device tree, application) goes to slot 2, as an
operator installs next to the running image. The installer writes the
flash components first, one erase block at a time, then the slot 2 file,
and only then moves the boot slot to 2: until the end of the run slot 1
is the slot that is not being written, and the one that must boot.

The power is cut after N flash erase or write requests (the flash dies at
request N + 1: the installer is killed there), for every N of the
install, and the switch comes up again: the launcher, started afresh on
the files the cut left and an empty /tmp (all of a switch that survives a
power cut), must boot slot 1. Then the same container is installed again,
with the same-version test on as a USB stick's boot image is: what the cut
left whole is skipped, the rest written, and every partition and slot must
end byte-exact. N = the install's request count is the run without a cut,
which boots the new slot 2 and then skips everything.

Slot scenario: what a cut leaves of a slot file being rewritten (the file
cut short at any length) in the slot the board boots; the launcher falls
back to the other slot and never launches the damaged one, and when the
other slot is damaged too it ends in the rescue menu or a reboot. A USB
replacement cut short is written again at the next start.
"""

import io
import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

import images
from console_helpers import FLASH_CUTS, LAUNCHER, ROOT
from test_install import BOOT_SLOT, DRIVER, Board, bootloader, header_len, pattern, signed

ERASE = 2048
SIZES = {"uboot": 8, "kernel": 8, "rfs": 8, "devicetree": 4, "rescue": 2, "onie": 2, "user": 2}
BOOTED_IMAGE = 0x13A
OLD1 = images.component(images.APPLICATION, images.application("old1"), "1.0.0.1")
OLD2 = images.component(images.APPLICATION, images.application("old2"), "1.0.0.2")


@pytest.fixture(scope="module")
def update(tmp_path_factory):
    """The container's components, by destination (the boot loader's
    payload goes to flash, the other components whole)."""
    tmp = tmp_path_factory.mktemp("update")
    parts = {
        "uboot": bootloader("2.0.0.4", 2300),
        "kernel": signed(tmp, "kernel", pattern(3000, 1), "2.0.0.4", "kernel"),
        "rfs": signed(tmp, "rootfs", pattern(4000, 2), "2.0.0.4", "rfs"),
        "devicetree": signed(tmp, "devicetree", pattern(500, 3), "2.0.0.4", "dtb"),
        # An archive of a few KiB, so that a cut can fall in its middle.
        "app": signed(tmp, "application", images.archive({
            "home/bin/mp.elf.strip": ("#!/bin/sh\necho 'application up: new'\n", 0o755),
            "home/bin/data": (pattern(4000, 5), 0o644)}), "2.0.0.4", "app"),
    }
    return parts


def start(board, script, *puts):
    """Runs `script` in the switch of `board`, with the launcher at
    /sbin/bootlauncher and the installer at /opt/install_driver; the
    console text."""
    args = [str(ROOT / "sandbox" / "enter"), "--put", f"{LAUNCHER}=/sbin/bootlauncher",
            "--put", f"{DRIVER}=/opt/install_driver"]
    for put in puts:
        args += ["--put", put]
    result = subprocess.run([*args, str(board), "--", "/bin/busybox", "sh", "-c", script],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300,
                            env=dict(os.environ, SANDBOX_SPEED="1000", TERM="dumb"))
    return result.stdout.decode(errors="replace")


@pytest.mark.namespace_only(FLASH_CUTS)
def test_power_cut_at_every_flash_request_of_an_update(tmp_path, update):
    slots = []
    for slot, data in ((1, OLD1), (2, OLD2)):
        (tmp_path / f"slot{slot}").write_bytes(data)
        slots += ["--slot", f"{slot}={tmp_path / f'slot{slot}'}"]
    sizes = {part: blocks * ERASE for part, blocks in SIZES.items()}
    board = Board(tmp_path, "--erase-size", str(ERASE), *slots, name="prepared", sizes=sizes)
    prepared, before = board.path, board.before
    before["ubootenv"] = (prepared / "mtd" / "ubootenv.bin").read_bytes()
    container = tmp_path / "update.img"
    container.write_bytes(b"".join(update.values()))
    written = dict(update, uboot=update["uboot"][16:])
    install = "/opt/install_driver /opt/update.img"
    script = (f"{install} 0 2; echo \"@@ requests $(cat /sandbox/board/mtd/requests)\";"
              " rm -f /sandbox/board/mtd/power-cut-after; rm -rf /tmp/*; /sbin/bootlauncher;"
              f" echo '@@ again'; {install} 1 2")

    def run(cut):
        board = tmp_path / f"cut{cut}"
        shutil.copytree(prepared, board, symlinks=True)
        if cut is not None:
            (board / "mtd" / "power-cut-after").write_text(f"{cut}\n")
        out = start(board, script, f"{container}=/opt/update.img")
        first, _, rest = out.partition("@@ requests ")
        count, _, rest = rest.partition("\n")
        booted, _, again = rest.partition("@@ again\n")
        return board, first, int(count), booted, again

    # The run without a cut counts the install's requests, boots the new
    # slot 2 and then finds everything installed.
    control = run(None)
    board, first, total, booted, again = control
    # The same-version test reads back every partition; its buffers, the
    # installer's and their descriptors are all given back.
    assert first.endswith("image_install: 1\nkept: 0 arrays, 0 descriptors, 0 mappings\n")
    assert "Booting image '2'" in booted and "application up: new" in booted
    assert again.count("same version as existing image. Skipping") == 5
    assert again.endswith("ERROR: No valid image found\n\nimage_install: 0\n"
                          "kept: 0 arrays, 0 descriptors, 0 mappings\n")
    assert (board / "eeprom.bin").read_bytes()[BOOTED_IMAGE] == 2
    assert 20 <= total <= 40
    with ThreadPoolExecutor(max_workers=2) as pool:
        runs = list(pool.map(run, range(total)))
    for cut, (board, first, count, booted, again) in enumerate(runs):
        where = f"power cut after {cut} requests"
        assert count == cut, where
        assert "image_install" not in first, where
        assert (board / "mtd" / "power-cut.log").read_text() == "power cut\n", where
        assert "Booting image '1'" in booted and "application up: old1" in booted, where
        assert "Booting image '2'" not in booted and "application up: new" not in booted, where
        assert (board / "commands.log").read_text().count("/bin/backtrace") == 1, where
        assert again.endswith("image_install: 1\nkept: 0 arrays, 0 descriptors, 0 mappings\n"), where
        assert (board / "eeprom.bin").read_bytes()[BOOTED_IMAGE] == 1, where

    for cut, (board, *_) in [*enumerate(runs), (total, control)]:
        where = f"power cut after {cut} requests"
        assert (board / "eeprom.bin").read_bytes()[BOOT_SLOT] == 2, where
        images_dir = board / "emmc" / "p1" / "images"
        assert (images_dir / "image1").read_bytes() == OLD1, where
        assert (images_dir / "image2").read_bytes() == update["app"], where
        assert (images_dir / "uboot-hdr").read_bytes() == update["uboot"][:16], where
        for part, old in before.items():
            data = written.get(part, b"")
            end = -(-len(data) // ERASE) * ERASE
            flash = (board / "mtd" / f"{part}.bin").read_bytes()
            assert flash[:len(data)] == data and flash[end:] == old[end:], (where, part)
            # Past the data in its last erase block: kept, except what a cut
            # between that block's erase and its last write left erased.
            tail, old_tail = flash[len(data):end], old[len(data):end]
            if tail != old_tail:
                assert cut < total and all(f in (o, 0xFF) for f, o in zip(tail, old_tail)), \
                    (where, part)


def cut_at(data, where):
    base, delta = where
    return data[:{"start": 0, "header": header_len(data), "middle": len(data) // 2,
                  "end": len(data)}[base] + delta]


@pytest.mark.parametrize("cut2, cut1", [
    *((where, None) for where in (("start", 0), ("start", 1), ("start", 15), ("start", 16),
                                  ("start", 24), ("header", 0), ("middle", 0),
                                  ("end", -1))),
    # No good slot left: the rescue menu, or a reboot after a CRC failure.
    (("end", -1), ("start", 0)),
    (("header", 0), ("end", -1)),
], ids=lambda where: f"{where[0]}{where[1]:+d}" if where else "good")
def test_slot_cut_short_is_never_launched(make_switch, update, cut2, cut1):
    damaged = cut_at(update["app"], cut2)
    switch = make_switch("--boot-slot", "2",
                         slots={1: OLD1 if cut1 is None else cut_at(OLD1, cut1), 2: damaged})
    # With no good slot the launcher ends in a shell before it reboots: the
    # operator's repairs there (an unmount of /user among them) need the
    # slot file and the archive closed.
    if cut1 is not None:
        subprocess.run([ROOT / "sandbox" / "setenv", switch.board, "shell=on"], check=True)
    switch.boot().logfile_read = console = io.StringIO()
    switch.expect("Booting image '2'")
    switch.console.expect_exact(["Image2 CRC failed, trying Image1 now.",
                                             "Image2 has invalid header... trying Image1."])
    switch.expect("Booting image '1'")
    if cut1 is None:
        switch.expect("application up: old1")
    elif cut1 == ("start", 0):
        switch.expect("No valid application image found. Trying rescue image")
        switch.expect("Option? : ")
        switch.console.send("e")
    else:
        switch.expect("Both image1 and image2 failed.")
    if cut1 is not None:
        switch.console.sendline("ls -l /proc/self/fd; echo listed-$((6*7)); exit")
        switch.expect("listed-42")
        held = console.getvalue().rsplit("ls -l /proc/self/fd", 1)[-1]
        assert "images/image" not in held and "velmoimage" not in held
    switch.end()
    assert "up: new" not in console.getvalue()
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == damaged
    launched = switch.commands().count("/bin/backtrace")
    assert launched == (cut1 is None) and switch.rebooted == (cut1 is not None)
    assert switch.eeprom(BOOTED_IMAGE) == (1 if cut1 is None else 0xFF)


def test_replacement_cut_short_is_written_again_at_the_next_start(make_switch, update, tmp_path):
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "VKT3390_replace2_OS.img").write_bytes(update["app"])
    switch = make_switch("--usb-enabled", "--usb", str(stick),
                         slots={1: OLD1, 2: cut_at(update["app"], ("middle", 0))})
    switch.boot()
    switch.expect("replacement for image2 found")
    switch.expect("Image2 has been successfully replaced")
    switch.expect("Booting image '2'")
    switch.expect("application up: new")
    switch.end()
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == update["app"]
