"""The rescue menu as an operator sees it on the console: the options, the
hidden letters, the USB chooser, the downloads by TFTP and XMODEM."""

import random
import struct
import subprocess

import images
from console_helpers import BUILD, ROOT

RESCUE = ("--env", "diagnostics=rescue")
OPTIONS = ("Please select one of the following options:\r\n"
           "\tT) Configure networking and tftp download an image\r\n"
           "\tX) Use xmodem 1K to serial download an image\r\n"
           "\tP) Physical presence (low security mode)\r\n"
           "\tF) Filesystem check\r\n"
           "\tR) Reboot\r\n"
           "\tE) Exit\r\n")
PROMPT = "\r\nOption? : "
KERNEL = 0x034D4152
GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
LONG = "n" * 251 + ".img"
IMGTOOL = BUILD / "imgtool"
KEY = ROOT / "keys" / "test" / "production.key.pem"


def signed_image(tmp_path, version, name="downloaded", kind="application", filler=0):
    """An image signed with the test production key; an application's
    program says `name` when it runs, and `filler` bytes that do not
    compress make it larger."""
    source = tmp_path / f"{name}.payload"
    if kind == "application":
        program = images.application(name, extra=": " + random.Random(name).randbytes(filler).hex())
        source.write_bytes(program)
    else:
        source.write_bytes(name.encode() * 50)
    out = tmp_path / f"{name}-{version}.img"
    subprocess.run([str(IMGTOOL), "pack", "-o", str(out), "--type", kind, "--format", "3",
                    "--version", version, "--sign", str(KEY), str(source)], check=True,
                   capture_output=True)
    return out


def at_menu(switch):
    """Waits for the option list and prompt; the text the last action
    printed before them."""
    switch.expect(OPTIONS + PROMPT)
    return switch.console.before


def choose(switch, key):
    """At the option prompt, types one key."""
    switch.console.send(key)


def test_menu_letters_versions_interrupt_and_exit(make_switch, tmp_path):
    # The kernel partition holds a component header with version 4.3.2.1;
    # the boot loader keeps its version block at 0xF0 of its partition; the
    # root filesystem partition is missing; the device tree partition is
    # erased; slot 2 is empty.
    kernel = tmp_path / "kernel.bin"
    kernel.write_bytes(struct.pack(">IIII", 0x12345678, 64, KERNEL, 0x04030201))
    uboot = tmp_path / "uboot.bin"
    uboot.write_bytes(b"\xff" * 0xF0 + struct.pack(">IIII", 0, 0, 0x024D4152, 0x09080706))
    # The filesystem check at start-up passes; the one of the menu finds
    # errors that the repair mends.
    switch = make_switch(*RESCUE, "--mtd-file", f"kernel={kernel}", "--mtd-file",
                         f"uboot={uboot}", "--no-mtd", "rfs", "--answer", "e2fsck=0,1,0,0",
                         slots={1: GOOD1})
    switch.boot()
    assert at_menu(switch).endswith("Entering Rescue Mode.\r\n")

    # An unknown letter is named in upper case; the list is not repeated.
    choose(switch, "z")
    switch.expect('unknown option "Z". Please try again\r\n' + PROMPT)
    assert "Please select" not in switch.console.before

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
    assert "*** Your filesystem has errors. Attempting to recover" in at_menu(switch)
    assert "/sbin/e2fsck -fy /dev/mmcblk0p1" in switch.commands()

    # The MAC address goes into a shell command: only six hex groups do.
    choose(switch, "m")
    for line in ("q", "a;reboot", "$(reboot)"):
        switch.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
        switch.console.send(line + "\r")
        switch.expect("Invalid MAC address. Try again please\r\n")
    switch.expect("MAC address (format nn:nn:nn:nn:nn:nn): ")
    switch.console.send("0:1:2:3:4:5\r")
    at_menu(switch)
    assert "ifconfig eth0 hw ether 0:1:2:3:4:5\\n" in switch.commands()
    assert [c for c in switch.commands() if "reboot" in c] == []

    # Ctrl-C at the prompt is forgotten: the same prompt again, no message,
    # and the menu goes on.
    switch.console.sendintr()
    switch.expect(PROMPT)
    assert "unknown option" not in switch.console.before
    assert "Please select" not in switch.console.before
    choose(switch, "V")
    assert "Installed images versions" in at_menu(switch)

    # Exit leaves the menu and the boot goes on with slot 1.
    choose(switch, "e")
    switch.expect("Booting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    assert not switch.rebooted


def test_exit_reboots_an_orvex_board_and_reboot_reboots(make_switch):
    for name, options, key in (("orvex", ("--os-kind", "C"), "E"), ("reboot", (), "r")):
        switch = make_switch(*RESCUE, *options, slots={1: GOOD1}, name=name)
        switch.boot()
        at_menu(switch)
        choose(switch, key)
        text = switch.end()
        assert switch.rebooted, name
        assert "Booting image" not in text
        assert switch.commands()[-1] == "reboot"


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


def test_usb_chooser_numbers_and_names(make_switch, tmp_path):
    stick = tmp_path / "stick"
    (stick / "a directory").mkdir(parents=True)
    (stick / "images").mkdir()
    names = ["plain.img", "with spaces.img", "$(reboot)", "a;reboot", "`reboot`|x&y>z", LONG]
    for name in names:
        (stick / name).write_bytes(b"not an image")
    image = signed_image(tmp_path, "3.1.4.1").read_bytes()
    (stick / LONG).write_bytes(image)
    switch = make_switch(*RESCUE, "--usb", str(stick), slots={1: GOOD1})
    switch.boot()
    at_menu(switch)

    # Every file, no directory, numbered from 1.
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

    # A line without a number is refused and another read without the
    # question; a number followed by anything selects that file.
    choose(switch, "u")
    assert usb_listing(switch) == listing
    switch.console.send("abc\r")
    switch.expect("Invalid file number abc. Try again pleas\r\n")
    switch.console.send("2x\r")
    text = at_menu(switch)
    assert CHOOSE_FILE not in text
    assert f"Installing {listing[2]}\r\n" in text

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

    # The longest name a directory entry can have: a signed image that
    # installs in slot 2 and is logged under its whole path.
    number = next(n for n, name in listing.items() if name == LONG)
    choose(switch, "u")
    usb_listing(switch)
    switch.console.send(f"{number}\r")
    switch.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("2\r")
    text = at_menu(switch)
    assert "Image2 updated succeeded" in text
    line = f"File /mnt/usb/{LONG} installed from USB at "
    assert f"Updating install log. {line}" in text
    assert (switch.board / "emmc" / "p1" / "install.log").read_text().startswith(line)
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == image
    choose(switch, "v")
    assert "\tOS image 2  : 3.1.4.1\r\n" in at_menu(switch)

    # The installed slot is the one booted after the menu.
    choose(switch, "e")
    switch.expect("Booting image '2'")
    switch.expect("application up: downloaded")
    switch.end()
    assert not switch.rebooted
    assert [c for c in switch.commands() if "reboot" in c] == []


def test_usb_chooser_large_and_empty_sticks(make_switch, tmp_path):
    many = tmp_path / "stick-many"
    many.mkdir()
    for n in range(1000):
        (many / f"file{n:04}.bin").write_bytes(b"x")
    only_dirs = tmp_path / "stick-dirs"
    for name in ("a", "b", "c d"):
        (only_dirs / name).mkdir(parents=True)

    switch = make_switch(*RESCUE, "--usb", str(many), slots={1: GOOD1}, name="many")
    switch.boot()
    at_menu(switch)
    choose(switch, "u")
    listing = usb_listing(switch)
    assert sorted(listing) == list(range(1, 1001))
    assert len(set(listing.values())) == 1000
    switch.console.send("1000\r")
    assert f"Installing {listing[1000]}\r\n" in at_menu(switch)
    # A number past the last file returns without a word; so does q.
    for line in ("1001", "q"):
        choose(switch, "u")
        usb_listing(switch)
        switch.console.send(line + "\r")
        text = at_menu(switch)
        assert "Installing" not in text and "Invalid" not in text
    choose(switch, "e")
    switch.end()

    switch = make_switch(*RESCUE, "--usb", str(only_dirs), slots={1: GOOD1}, name="dirs")
    switch.boot()
    at_menu(switch)
    choose(switch, "u")
    assert usb_listing(switch) == {}
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Installing" not in text and "Invalid" not in text
    choose(switch, "e")
    switch.end()


def test_physical_presence_diagnostics_and_key_wipe(make_switch, tmp_path):
    # A released root filesystem: a production switch, not a developer's.
    rootfs = signed_image(tmp_path, "1.0.0.0", "rootfs", "rootfs")
    switch = make_switch(*RESCUE, "--mtd-file", f"rfs={rootfs}", slots={1: GOOD1})
    switch.boot()
    at_menu(switch)
    (switch.board / "led.log").write_text("")
    # The diagnostics need physical presence on a production switch.
    choose(switch, "d")
    assert at_menu(switch).endswith("Standalone diags cannot be run on a secured switch\r\n"
                                    "Please establish physical presence first\r\n")
    choose(switch, "p")
    switch.expect("Do you wish to continue y/N? ")
    switch.console.send("y")
    switch.expect("Hit a key to start the test.")
    switch.console.send(" ")
    switch.expect("How many times did the LED blink? ")
    # Counted as the operator does: the lit periods of the location LED.
    blinks = sum(1 for line in (switch.board / "led.log").read_text().splitlines()
                 if int(line.split()[1], 16) & 0x03 == 0x01)
    switch.console.send(f"{blinks}\r")
    assert "Correct. Physical presence established" in at_menu(switch)
    assert (switch.board / "tmp" / "lowsec").exists()

    # Now they are offered; the rescue partition is erased, so nothing
    # boots and the menu comes back.
    choose(switch, "D")
    switch.expect("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost)")
    switch.console.send("n")
    assert "Booting diags image..." in at_menu(switch)
    assert "flash_eraseall /dev/mtd-user-char" not in switch.commands()

    keys = switch.board / "emmc" / "p1"
    (keys / "production_key.pub.pem").write_text("stale key file\n")
    choose(switch, "K")
    switch.expect("Confirm: wiping system keys y/N: ")
    switch.console.send("y")
    assert "System keys have been deleted." in at_menu(switch)
    assert "rm /user/*.pem" in switch.commands()
    assert list(keys.glob("*.pem")) == []
    choose(switch, "E")
    switch.end()


XMODEM_START = "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n" \
               "       before initiating the download.\r\n"
XMODEM_END = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"


def press_after_reminder(switch, key, reminder, wanted):
    """Types the key that ends a speed-switch wait once the wait has begun
    (the first reminder shows; a key typed while the line settings change
    is dropped, as on the switch), then waits for the wanted text."""
    switch.expect(reminder)
    switch.console.send(key)
    switch.expect(wanted)
    return switch.console.before


FAST_WAIT = "... Waiting for the <Enter> key to be hit before the download can start..."
RESTORE_WAIT = "... Waiting for the <ENTER> key to be hit..."


def test_xmodem_download_from_lrzsz_sx_installs(make_switch, tmp_path):
    image = signed_image(tmp_path, "7.7.0.1", "by-xmodem", filler=3000)
    switch = make_switch(*RESCUE, slots={1: GOOD1})
    # The console as a terminal program sees the serial port.
    switch.boot_on_line(tmp_path / "line")
    at_menu(switch)
    choose(switch, "x")
    switch.expect("Running xmodem rescue.....\r\n" + XMODEM_START)
    switch.expect(FAST_WAIT)
    switch.console.send("\r")
    # The terminal program's send command: sx on the line, 1K blocks.
    sent = subprocess.run(["sx", "-k", str(image)], stdin=switch.console.child_fd,
                          stdout=switch.console.child_fd, stderr=subprocess.PIPE, timeout=120)
    # The last ACK (for the end of the transfer) may be lost: rx flushes
    # its line as it exits, which on a pseudo-terminal discards what the
    # far end has not read yet. sx then calls the transfer incomplete; the
    # file is whole, as the install shows.
    assert b"Give your local XMODEM receive command now." in sent.stderr
    # The speed switch back waits for a line feed.
    press_after_reminder(switch, "\n", RESTORE_WAIT,
                         "Install image as image 1 or 2 (hit return to just boot image): ")
    switch.console.send("2\r")
    text = at_menu(switch)
    assert "Image2 updated succeeded" in text
    assert "Updating install log. File image installed from xmodem at " in text
    assert "/usr/bin/rx /tmp/image" in switch.commands()
    # The file as received carries the sender's padding up to its last
    # 128-byte block; the slot holds the component alone.
    data = image.read_bytes()
    received = (switch.board / "tmp" / "image").read_bytes()
    assert len(data) > 3 * 1024 and len(received) % 128 == 0
    assert received[:len(data)] == data and set(received[len(data):]) == {0x1A}
    assert (switch.board / "emmc" / "p1" / "images" / "image2").read_bytes() == image.read_bytes()
    choose(switch, "e")
    switch.expect("application up: by-xmodem")
    switch.end()


def test_xmodem_cancelled_or_without_port_installs_nothing(make_switch, tmp_path):
    stale = signed_image(tmp_path, "6.6.6.6", "stale").read_bytes()
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


TFTP_NAME = "images/by-tftp_8.0+1.img"


def tftp_questions(switch, ip):
    """Answers the port and server questions of T."""
    choose(switch, "t")
    switch.expect("Performing TFTP rescue. Please answer the following questions "
                  "(enter 'q' to quit):\r\n")
    switch.expect("IP addr    :")
    assert "DHCP" not in switch.console.before
    switch.console.send(ip[0] + "\r")
    for prompt, answer in zip(("Netmask    :", "Gateway    :"), ip[1:]):
        switch.expect(prompt)
        switch.console.send(answer + "\r")
    switch.expect("Server addr:")
    assert ip != ["q"] or "Netmask" not in switch.console.before
    switch.console.send("240.0.0.1\r")
    switch.expect("Invalid IP address 240.0.0.1. Try again please\r\nServer addr:")
    switch.console.send("192.0.2.1\r")
    switch.expect("Image Filename: ")


def test_tftp_rescue_refuses_shell_text_and_installs(make_switch, tmp_path):
    image = signed_image(tmp_path, "8.0.0.1", "by-tftp").read_bytes()
    served = tmp_path / "served"
    (served / "images").mkdir(parents=True)
    (served / TFTP_NAME).write_bytes(image)
    switch = make_switch(*RESCUE, "--tftp", str(served), slots={1: GOOD1})
    switch.boot()
    at_menu(switch)

    # Ctrl-C and Enter at the file name leave the dialogue.
    tftp_questions(switch, ["q"])
    switch.console.sendintr()
    switch.console.send("\r")
    assert "Installing image" not in at_menu(switch)

    # "q" at IP addr goes on to the server. Names that are not plain file
    # names never reach the shell. A file left by an earlier download does
    # not count: without an address on eth0 every attempt fails.
    (switch.board / "tmp" / "image").write_bytes(image)
    tftp_questions(switch, ["q"])
    for name in ("a", "a;reboot", "$(reboot)", "-rf", "x y", "`reboot`"):
        switch.console.send(name + "\r")
        switch.expect("Invalid filename. Try again please\r\nImage Filename: ")
    switch.console.send("missing.img\r")
    text = at_menu(switch)
    for attempt in (1, 2, 3):
        assert f"Attempt {attempt}/3 of tftp timed out" in text
    assert text.count("Installing image missing.img from TFTP server 192.0.2.1\r\n") == 3
    assert "Tftp download failed. Aborting\r\n" in text
    assert "Install image as" not in text
    assert not (switch.board / "tmp" / "image").exists()
    tftp = [c for c in switch.commands() if c.startswith("tftp")]
    assert tftp == ["tftp -g -r missing.img -l /tmp/image 192.0.2.1\\n"] * 3
    assert [c for c in switch.commands() if "reboot" in c] == []

    # A static address on the server's network: the download installs.
    tftp_questions(switch, ["192.0.2.2", "255.255.255.0", ""])
    switch.console.send(TFTP_NAME + "\r")
    switch.expect(f"Installing image {TFTP_NAME} from TFTP server 192.0.2.1\r\n")
    switch.expect("Install image as image 1 or 2 (hit return to just boot image): ", timeout=60)
    switch.console.send("1\r")
    text = at_menu(switch)
    assert "Image1 updated succeeded" in text
    line = f"File {TFTP_NAME} installed from 192.0.2.1 at "
    assert f"Updating install log. {line}" in text
    assert line in (switch.board / "emmc" / "p1" / "install.log").read_text()
    assert "ifconfig eth0 192.0.2.2\\n" in switch.commands()
    choose(switch, "v")
    assert "\tOS image 1  : 8.0.0.1\r\n" in at_menu(switch)
    choose(switch, "e")
    switch.expect("application up: by-tftp")
    switch.end()
    assert not switch.rebooted
