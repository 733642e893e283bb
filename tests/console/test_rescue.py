"""The rescue menu as an operator sees it on the console: the options, the
hidden letters, the USB chooser, the downloads by TFTP and XMODEM."""

import os
import struct

import pytest

import images
from console_helpers import (FAST_WAIT, LIVE_BOARD, NOT_ON_FAT, OPTIONS, PROMPT,
                             RESTORE_WAIT, SCRIPTED_ANSWERS, at_menu, choose,
                             press_after_reminder, signed)

RESCUE = ("--env", "diagnostics=rescue")
KERNEL = 0x034D4152
GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")


def test_menu_letters_versions_interrupt_and_exit(make_switch, tmp_path, engine):
    # The kernel partition holds a component header with version 4.3.2.1;
    # the boot loader keeps its version block at 0xF0 of its partition; the
    # root filesystem partition is missing; the device tree partition is
    # erased; slot 2 is empty. The application shows the port's MAC address.
    kernel = tmp_path / "kernel.bin"
    kernel.write_bytes(struct.pack(">IIII", 0x12345678, 64, KERNEL, 0x04030201))
    uboot = tmp_path / "uboot.bin"
    uboot.write_bytes(b"\xff" * 0xF0 + struct.pack(">IIII", 0, 0, 0x024D4152, 0x09080706))
    shows_mac = images.application(
        "slot1", extra="ifconfig eth0 2>/dev/null | sed -n 's/.*HWaddr \\([0-9A-Fa-f:]*\\).*/mac \\1/p'")
    # On the namespace engine the filesystem check at start-up passes and
    # the one of the menu finds errors that the repair mends (the fake
    # e2fsck's answers); the e500 board's real e2fsck finds a sound one.
    answers = ["--answer", "e2fsck=0,1,0,0"] if engine == "namespace" else []
    switch = make_switch(*RESCUE, "--mtd-file", f"kernel={kernel}", "--mtd-file",
                         f"uboot={uboot}", "--no-mtd", "rfs", *answers,
                         slots={1: images.component(images.APPLICATION, shows_mac, "1.2.3.4")})
    switch.boot()
    assert at_menu(switch).endswith("Entering Rescue Mode.\r\n")

    # The key typed is echoed; an unknown letter is named in upper case; the
    # list is not repeated.
    choose(switch, "z")
    switch.expect('z\r\nunknown option "Z". Please try again\r\n' + PROMPT)
    assert "Please select" not in switch.console.before
    # A NUL (Ctrl-@) is no key at all: the prompt again, without a word.
    switch.console.send("\x00")
    switch.expect(PROMPT)
    assert "unknown option" not in switch.console.before

    # Versions from the installed headers, 0.0.0.0 where nothing is readable.
    # The missing partition is reported by the flash read, on the error
    # output, in the middle of the listing.
    choose(switch, "v")
    text = at_menu(switch).replace("Could not get MTD device info ", "")
    assert text.endswith("Installed images versions: \r\n"
                         "\tBoot image  : 9.8.7.6\r\n"
                         "\tRFS image   : 0.0.0.0\r\n"
                         "\tKernel image: 4.3.2.1\r\n"
                         "\tDFT image   : 255.255.255.255\r\n"
                         "\tOS image 1  : 1.2.3.4\r\n"
                         "\tOS image 2  : 0.0.0.0\r\n"), text

    choose(switch, "f")
    if engine == "namespace":
        assert "*** Your filesystem has errors. Attempting to recover" in at_menu(switch)
    else:
        assert "errors" not in at_menu(switch)

    # The MAC address goes into a shell command: only six hex groups do,
    # and nothing after them, though a "%x:%x:..." scan would take six
    # groups followed by shell text (the editor keeps 17 characters of the
    # first such line).
    choose(switch, "m")
    for line in ("q", "a;reboot", "$(reboot)", "0:0:0:0:0:0;reboot", "1:2:3:4:5:6 ;ls"):
        switch.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
        switch.console.send(line + "\r")
        switch.expect("Invalid MAC address. Try again please\r\n")
    switch.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
    switch.console.send("02:1a:2b:3c:4d:5e\r")
    at_menu(switch)

    # Ctrl-C at the prompt is forgotten: the same prompt again, no message,
    # and the menu goes on.
    switch.console.sendintr()
    switch.expect(PROMPT)
    assert "unknown option" not in switch.console.before
    assert "Please select" not in switch.console.before
    choose(switch, "V")
    assert "Installed images versions" in at_menu(switch)

    choose(switch, "e")
    switch.expect("application up: slot1")
    text = switch.end()
    commands = switch.commands()
    # The repair ran where the check found errors.
    assert ("/sbin/e2fsck -fy /dev/mmcblk0p1" in commands) == (engine == "namespace")
    assert [c for c in commands if "hw ether" in c] == ["ifconfig eth0 hw ether 02:1a:2b:3c:4d:5e\\n"]
    assert [c for c in commands if "reboot" in c] == []
    if engine == "e500":
        # busybox's ifconfig gave the port that address.
        assert "mac 02:1a:2b:3c:4d:5e" in text.lower()


@pytest.mark.parametrize("refused", [
    False, pytest.param(True, marks=pytest.mark.namespace_only(SCRIPTED_ANSWERS))],
    ids=["rebooted", "reboot-refused"])
def test_exit_reboots_an_orvex_board(make_switch, refused, engine):
    answers = ("--answer", "reboot=1") if refused else ()
    switch = make_switch(*RESCUE, "--os-kind", "C", *answers, slots={1: GOOD1})
    switch.boot()
    at_menu(switch)
    slept = switch.board / "slept-us"
    before = int(slept.read_text()) if engine == "namespace" else 0
    choose(switch, "E")
    # A reboot that fails leaves the board up: the operator is told so,
    # and the launcher ends.
    text = switch.end(status=0 if refused else None)
    assert "Booting image" not in text
    assert ("System reboot failed, please power-cycle." in text) == refused
    assert switch.rebooted != refused and switch.commands()[-1] == "reboot"
    # The menu's second before the reboot, and the reboot's own (counted on
    # the namespace engine).
    if engine == "namespace":
        assert int(slept.read_text()) - before == 2_000_000


CHOOSE_FILE = "Choose file number to install (q to quit): "


def usb_listing(switch):
    """Waits for the chooser's question; its listing, number -> name."""
    switch.expect(CHOOSE_FILE, timeout=60)
    listing = {}
    for line in switch.console.before.split("\r\n"):
        if line.startswith("\t") and ": " in line:
            number, name = line[1:].split(": ", 1)
            listing[int(number)] = name
    return listing


@pytest.mark.namespace_only(NOT_ON_FAT)
def test_usb_chooser_numbers_names_and_other_sticks(make_switch, tmp_path):
    stick = tmp_path / "stick"
    (stick / "a directory").mkdir(parents=True)
    (stick / "images").mkdir()
    names = ["plain.img", "with spaces.img", "$(reboot)", "a;reboot", "`reboot`|x&y>z", "n" * 255]
    for name in names:
        (stick / name).write_bytes(b"not an image")
    slot1 = signed(tmp_path, "application", images.application("slot1", extra='echo "cwd $(pwd)"'),
                   "1.2.3.4", "slot1")
    switch = make_switch(*RESCUE, "--usb", str(stick), slots={1: slot1})
    # Entries that are no regular file: a FIFO would block the installer's
    # read for ever. A link that leads off the stick, to slot 1's own file or
    # to /proc, is no image the operator brought; a link to a file on the
    # stick is one.
    usb = switch.board / "usb"
    os.mkfifo(usb / "fifo")
    (usb / "link to fifo").symlink_to("fifo")
    (usb / "link to dir").symlink_to("images")
    (usb / "slot1 link").symlink_to("/user/images/image1")
    (usb / "kmsg link").symlink_to("/proc/kmsg")
    (usb / "link to plain").symlink_to("plain.img")
    names.append("link to plain")
    switch.boot()
    at_menu(switch)

    # Every regular file, directly or through a link, numbered from 1.
    choose(switch, "u")
    listing = usb_listing(switch)
    assert sorted(listing.values()) == sorted(names)
    assert sorted(listing) == list(range(1, len(names) + 1))

    # 0 and below go back to the menu without a word.
    switch.console.send("0\r")
    text = at_menu(switch)
    assert "Invalid" not in text and "Installing" not in text
    choose(switch, "U")
    assert usb_listing(switch) == listing
    switch.console.send("-3\r")
    text = at_menu(switch)
    assert "Invalid" not in text and "Installing" not in text
    # So does q, in either case.
    choose(switch, "u")
    assert usb_listing(switch) == listing
    switch.console.send("Q\r")
    text = at_menu(switch)
    assert "Invalid" not in text and "Installing" not in text

    # A line without a number is refused and another read without the
    # question; a number followed by anything selects that file.
    choose(switch, "u")
    assert usb_listing(switch) == listing
    switch.console.send("abc\r")
    switch.expect("Invalid file number abc. Try again pleas\r\n")
    two = 2
    switch.console.send(f"{two}x\r")
    text = at_menu(switch)
    assert CHOOSE_FILE not in text
    assert f"Installing {listing[two]}\r\n" in text

    # Names with shell characters reach the installer whole, and nothing
    # reaches the shell.
    for wanted in ("$(reboot)", "a;reboot", "`reboot`|x&y>z"):
        number = next(n for n, name in listing.items() if name == wanted)
        choose(switch, "u")
        usb_listing(switch)
        switch.console.send(f"  {number}\r")
        text = at_menu(switch)
        assert f"Installing {wanted}\r\n" in text
        assert "Updating install log" not in text

    # The stick pulled while the first of two components is installed: the
    # second one's header, which the file held when it was opened, cannot
    # be read. The application that was written stays, but the install
    # failed: no log line, and the menu again.
    app = signed(tmp_path, "application", images.application("pulled"), "5.0.0.1", "pulled")
    rest = images.component(KERNEL, b"kernel" * 100)
    (usb / "two parts.img").write_bytes(app + rest)
    choose(switch, "u")
    number = next(n for n, name in usb_listing(switch).items() if name == "two parts.img")
    switch.console.send(f"{number}\r")
    switch.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    os.truncate(usb / "two parts.img", len(app) + 10)
    switch.console.send("2\r")
    text = at_menu(switch)
    assert "Image2 updated succeeded\r\n" in text
    assert f"Image component at offset {len(app)} could not be read.\r\n" in text
    assert "Updating install log" not in text and "Installing Kernel" not in text
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == app
    assert (switch.board / "emmc" / "p1" / "images" / "image1").read_bytes() == slot1
    assert not (switch.board / "emmc" / "p1" / "install.log").exists()

    # The operator chose the file: one of the version the slot holds is
    # written all the same, where the start-up's stick install skips it.
    (usb / "same.img").write_bytes(slot1)
    choose(switch, "u")
    number = next(n for n, name in usb_listing(switch).items() if name == "same.img")
    switch.console.send(f"{number}\r")
    switch.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Image1 updated succeeded\r\n" in text and "same version" not in text

    # The operator changes sticks: a thousand files, numbered in full; a
    # number past the last file returns without a word, and so does q.
    for entry in usb.iterdir():
        entry.rmdir() if entry.is_dir() and not entry.is_symlink() else entry.unlink()
    for n in range(1000):
        (usb / f"file{n:04}.bin").write_bytes(b"x")
    choose(switch, "u")
    listing = usb_listing(switch)
    assert sorted(listing) == list(range(1, 1001))
    assert len(set(listing.values())) == 1000
    switch.console.send("1000\r")
    assert f"Installing {listing[1000]}\r\n" in at_menu(switch)
    for line in ("1001", "q"):
        choose(switch, "u")
        usb_listing(switch)
        switch.console.send(line + "\r")
        text = at_menu(switch)
        assert "Installing" not in text and "Invalid" not in text

    # A stick of directories only: nothing listed, any number returns.
    for entry in usb.iterdir():
        entry.unlink()
    for name in ("a", "b", "c d"):
        (usb / name).mkdir()
    choose(switch, "u")
    assert usb_listing(switch) == {}
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Installing" not in text and "Invalid" not in text

    # Whatever the chooser ended with, the launcher has left the stick: the
    # application does not start inside it (the stick can go).
    choose(switch, "u")
    usb_listing(switch)
    switch.console.send("q\r")
    at_menu(switch)
    choose(switch, "e")
    switch.expect("application up: slot1\r\nAPP_COLOUR=\r\ncwd /tmp\r\n")
    switch.end()
    assert [c for c in switch.commands() if "reboot" in c] == []


XMODEM_START = "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n" \
               "       before initiating the download.\r\n"
XMODEM_END = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"


@pytest.mark.namespace_only(LIVE_BOARD)
def test_xmodem_cancelled_or_without_port_installs_nothing(make_switch, tmp_path):
    stale = signed(tmp_path, "application", images.application("stale"), "6.6.6.6", "stale")
    switch = make_switch(*RESCUE, slots={1: GOOD1}, name="cancelled")
    switch.boot()
    at_menu(switch)
    # A good image left by an earlier download does not count as received.
    (switch.board / "tmp" / "image").write_bytes(stale)
    choose(switch, "X")
    switch.expect(XMODEM_START)
    press_after_reminder(switch, "\r", FAST_WAIT, "rx: ready to receive /tmp/image")
    switch.console.send("\x18" * 5)  # the operator cancels in the terminal program
    switch.expect(XMODEM_END)
    text = press_after_reminder(switch, "\n", RESTORE_WAIT, OPTIONS + PROMPT)
    assert "Install" not in text and "ERROR" not in text
    assert (switch.board / "tmp" / "image").read_bytes() == b""
    choose(switch, "e")
    switch.end()

    # A console port that cannot be opened: no receiver, no waiting.
    switch = make_switch(*RESCUE, "--tty", "/dev/pts/nonexistent", slots={1: GOOD1},
                         name="no-port")
    switch.boot()
    at_menu(switch)
    choose(switch, "x")
    text = at_menu(switch)
    assert "Running xmodem rescue.....\r\nCan't open serial port!" in text
    assert "Change the baud rate" not in text
    assert "/usr/bin/rx /tmp/image" not in switch.commands()
    choose(switch, "e")
    switch.end()


def tftp_questions(switch):
    """Answers q at the port questions and the server's address."""
    choose(switch, "t")
    switch.expect("Performing TFTP rescue. Please answer the following questions "
                  "(enter 'q' to quit):\r\n")
    switch.expect("IP addr    :")
    assert "DHCP" not in switch.console.before
    switch.console.send("q\r")
    switch.expect("Server addr:")
    assert "Netmask" not in switch.console.before
    switch.console.send("240.0.0.1\r")
    switch.expect("Invalid IP address 240.0.0.1. Try again please\r\nServer addr:")
    switch.console.send("192.0.2.1\r")
    switch.expect("Image Filename: ")


def test_tftp_rescue_refuses_shell_text_and_gives_up_after_three_attempts(make_switch, engine):
    switch = make_switch(*RESCUE, slots={1: GOOD1})
    switch.boot()
    at_menu(switch)

    # Ctrl-C and Enter at the file name leave the dialogue.
    tftp_questions(switch)
    switch.console.sendintr()
    switch.console.send("\r")
    assert "Installing image" not in at_menu(switch)

    # "q" at IP addr goes on to the server. Names that are not plain file
    # names never reach the shell; of the one-letter lines only "q" leaves,
    # and two letters make a name.
    # A file left by an earlier download does
    # not count (put in place where the board is the switch's own folder):
    # without an address on eth0 every attempt fails, and each failed
    # attempt is followed by its 3-second pause, after the 26 seconds of the
    # port's set-up (counted on the namespace engine).
    if engine == "namespace":
        (switch.board / "tmp" / "image").write_bytes(GOOD1)
    slept = int((switch.board / "slept-us").read_text())
    tftp_questions(switch)
    for name in ("a", "r", "a;reboot", "$(reboot)", "-rf", "x y", "`reboot`"):
        switch.console.send(name + "\r")
        switch.expect("Invalid filename. Try again please\r\nImage Filename: ")
    switch.console.send("ab\r")
    text = at_menu(switch)
    for attempt in (1, 2, 3):
        assert f"Attempt {attempt}/3 of tftp timed out" in text
    assert text.count("Installing image ab from TFTP server 192.0.2.1\r\n") == 3
    assert "Tftp download failed. Aborting\r\n" in text
    if engine == "namespace":
        assert int((switch.board / "slept-us").read_text()) - slept == (26 + 3 * 3) * 1000000
    assert "Install image as" not in text
    choose(switch, "e")
    switch.end()
    assert not (switch.board / "tmp" / "image").exists()
    tftp = [c for c in switch.commands() if c.startswith("tftp")]
    assert tftp == ["tftp -g -r ab -l /tmp/image 192.0.2.1\\n"] * 3
    assert [c for c in switch.commands() if "reboot" in c] == []
    # The port was set up without an address: none was given.
    assert [c for c in switch.commands() if c.startswith("ifconfig")] == ["ifconfig eth0 0.0.0.0\\n"]
