"""The boot decision as an operator sees it on the console."""

import gzip
import hashlib
import os
import random
import subprocess

import pexpect
import pytest

import images
from console_helpers import FLASH_READ_FAILS, LAUNCHER, NO_BUS_0, ROOT

GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
GOOD2 = images.component(images.APPLICATION, images.application("slot2"), "2.0.0.1")
BOOTED_IMAGE = 0x13A


def setenv(switch, *settings):
    subprocess.run([ROOT / "sandbox" / "setenv", switch.board, *settings], check=True)


def test_damaged_archive_still_starts_what_was_unpacked_and_missing_slot_1_boots_slot_2(
        make_switch):
    # A correct CRC over an archive that is not gzip data: the unpacking
    # fails, the start program finds no application, the switch ends.
    damaged = images.component(images.APPLICATION, b"\x1f\x8b" + b"garbage" * 100)
    switch = make_switch(slots={1: damaged, 2: GOOD2})
    switch.boot()
    switch.expect("Booting image '1'")
    # The start program finds no application: its status is the run's.
    assert "application up" not in switch.end(status=127)
    assert switch.commands()[-1] == "/bin/backtrace"
    assert switch.eeprom(BOOTED_IMAGE) == 1

    # Without slot 1, slot 2 boots in the same attempt.
    (switch.board / "emmc" / "p1" / "images" / "image1").unlink()
    switch.boot()
    switch.expect("Booting image '1'")
    switch.expect("Failed to open Application image 1. Trying image 2.")
    switch.expect("application up: slot2")
    assert "Booting image '2'" not in switch.end()
    assert switch.eeprom(BOOTED_IMAGE) == 2


def cpu_ticks_below(pid):
    """The CPU time (user and system, in clock ticks) that the processes
    below pid have used so far."""
    processes = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        processes[int(entry)] = (int(fields[1]), int(fields[11]) + int(fields[12]))
    below, ticks = {pid}, 0
    for _ in range(len(processes)):
        grown = {p for p, (parent, _) in processes.items() if parent in below} - below
        if not grown:
            break
        below |= grown
    return sum(processes[p][1] for p in below - {pid} if p in processes)


def test_no_emmc_stops_for_ever(make_switch, engine):
    switch = make_switch("--no-emmc", slots={})
    console = switch.boot()
    switch.expect("No MMC storage device found. Unable to continue booting. Contact Tavrin for "
                  "support\r\n")
    # Nothing more is printed, the launcher neither exits nor reboots; it
    # waits asleep (the emulated board's processor runs on whatever its
    # guest does, so only the namespace engine counts the launcher's time).
    used = cpu_ticks_below(console.pid)
    with pytest.raises(pexpect.TIMEOUT):
        console.read_nonblocking(size=1000, timeout=3)
    if engine == "namespace":
        assert cpu_ticks_below(console.pid) - used < os.sysconf("SC_CLK_TCK") // 2
    assert console.isalive()
    assert not switch.rebooted
    # The e500 board is written back only when the switch stops; this one
    # never does, so only the namespace engine shows what it ran so far.
    if engine == "namespace":
        assert [c for c in switch.commands() if not c.startswith("date ")] == []
        # The card is looked for only after 3 seconds, the time its driver
        # may take to find it after the kernel has started.
        assert int((switch.board / "slept-us").read_text()) >= 3_000_000


@pytest.mark.namespace_only(FLASH_READ_FAILS)
def test_unreadable_boot_environment_gives_the_default_settings(make_switch):
    # The boot loader's environment asks for the debugger and the rescue
    # menu, but its flash partition fails every read: the switch starts
    # with the default settings, slot 1 as the EEPROM says.
    switch = make_switch("--env", "gdbserver=on", "--env", "diagnostics=rescue",
                         slots={1: GOOD1, 2: GOOD2})
    (switch.board / "mtd" / "read-fails").write_text("ubootenv\n")
    switch.boot()
    switch.expect("Booting image '1'")
    switch.expect("application up: slot1")
    text = switch.end()
    assert "DHCP" not in text and "Rescue" not in text and "gdbserver" not in text
    # Its only waits: 3 seconds for the card's driver, the tenth of a second
    # the EEPROM takes to store the booted image, 1 second before the
    # application is unpacked.
    assert int((switch.board / "slept-us").read_text()) == 4_100_000


def test_archive_arrives_whole_with_its_environment_file_long_words_split(make_switch):
    # 700 KiB that do not compress make an archive of several of the boot's
    # pieces, behind a format-3 header (24 bytes, not the basic 16): every
    # byte must reach the application, and its env-setup too, whose second
    # line holds a word longer than the 511 characters a word may have. A
    # later pair replaces an earlier one, and a last word without a partner
    # is set to the empty text, even where the file gave it a value before.
    blob = random.Random(18).randbytes(700 * 1024)
    app = images.application("slot1",
                             env_setup=f"APP_COLOUR red\nOTHER 1\nAPP_COLOUR {'W' * 600} x\nOTHER\n",
                             extra='echo "OTHER=${OTHER-unset}"; md5sum /tmp/home/bin/blob',
                             files={"home/bin/blob": (blob, 0o644)})
    switch = make_switch(slots={1: images.component(images.APPLICATION, app, fmt=3), 2: GOOD2})
    # A /tmp one page too small for the archive: slot 1 fails as a damaged
    # slot would, and slot 2 boots; a CRC that matched over an archive cut
    # short of its last bytes is no reason to launch it.
    pages = (len(app) + 4095) // 4096
    switch.boot(options=("--tmp-size", str((pages - 1) * 4096)))
    switch.expect("Booting image '1'")
    switch.expect("Failed to write application image output file (err 28).\r\n"
                  "Image1 CRC failed, trying Image2 now.\r\n")
    switch.expect("Booting image '2'")
    switch.expect("application up: slot2")
    switch.end()
    assert switch.eeprom(BOOTED_IMAGE) == 2

    # With room in /tmp, slot 1 arrives whole.
    switch.boot()
    switch.expect("APP_COLOUR=" + "W" * 511 + "\r\nOTHER=\r\n")
    switch.expect(hashlib.md5(blob).hexdigest() + "  /tmp/home/bin/blob")
    switch.end()

    # Without the install script the environment file is not applied.
    app = images.application("bare", env_setup="APP_COLOUR red\n", install=False)
    switch = make_switch(slots={1: images.component(images.APPLICATION, app)}, name="bare")
    switch.boot()
    switch.expect("application up: bare\r\nAPP_COLOUR=\r\n")
    assert "Running install script" not in switch.end()


def test_diagnostics_component_is_installed_as_the_program(make_switch):
    diag = images.component(images.DIAGNOSTICS, images.diagnostics("bench"))
    switch = make_switch(slots={1: images.component(images.BOOTLOADER, b"u-boot") + diag})
    switch.boot()
    switch.expect("install diags image")
    switch.expect("diagnostics up: bench")
    switch.end()
    assert "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip" in switch.commands()


def test_debugger_modes_as_the_boot_settings_say(make_switch):
    # The other slot's payload is the gzip-compressed debugger program.
    gdb_program = b"#!/bin/sh\necho \"debugging $1\"\n"
    gdb_slot = images.component(images.APPLICATION, gzip.compress(gdb_program))
    switch = make_switch("--env", "gdbserver=on", "--env", "gdbport=4321", "--env", "memchk=on",
                         slots={1: GOOD1, 2: gdb_slot})
    switch.boot()
    # Remote debugging needs the management port first.
    switch.expect("Confirm: Use DHCP for network configuration? y/N: ")
    switch.console.send("y\r")
    switch.expect("gdbserver (sandbox): :4321 /tmp/home/bin/mp.elf.strip")
    switch.end()
    assert "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4321 /tmp/home/bin/mp.elf.strip\\n" in \
        switch.commands()
    assert switch.rebooted
    # The remote debugger never needs the local one from the other slot.
    assert "gunzip /tmp/gdb.gz" not in switch.commands()

    setenv(switch, "gdbserver=", "memchk=", "gdb=on")
    switch.boot()
    switch.expect("Extracting GDB from image slot 2")
    switch.expect("*** Launching under GDB ***")
    switch.expect("debugging /tmp/home/bin/mp.elf.strip")
    switch.end()
    assert switch.rebooted
    commands = switch.commands()
    assert commands.index("gunzip /tmp/gdb.gz") < commands.index("/tmp/gdb /tmp/home/bin/mp.elf.strip")

    # Slot 2, booted when slot 1 is gone, looks for its debugger in slot 1;
    # without one the start goes on as usual.
    (switch.board / "emmc" / "p1" / "images" / "image1").unlink()
    (switch.board / "emmc" / "p1" / "images" / "image2").write_bytes(GOOD2)
    setenv(switch, "memchk=on")
    switch.boot()
    switch.expect("Extracting GDB from image slot 1")
    switch.expect("Failed to open GDB image (from slot 1)")
    switch.expect("**** GDB mode selected but GDB not available. Please install GDB image ***")
    switch.expect("application up: slot2")
    switch.end()
    assert switch.commands()[-1] == "/bin/backtrace"


def test_garbage_environment_boots_with_defaults_and_the_start_modes(make_switch, tmp_path):
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(bytes((i * 197 + 13) & 0xFF for i in range(0x40000)))
    shows_preload = images.application("slot1", extra='echo "preload: [$LD_PRELOAD]"')
    switch = make_switch("--mtd-file", f"ubootenv={garbage}",
                         slots={1: images.component(images.APPLICATION, shows_preload)})
    switch.boot()
    switch.expect("application up: slot1")
    # Both I2C buses opened, as on the switch.
    assert "couldn't be opened" not in switch.console.before
    switch.expect("preload: []")
    switch.end()
    assert switch.commands()[-1] == "/bin/backtrace"

    # The memory checker preloaded: the program is started directly, not
    # through the start program.
    setenv(switch, "memchk=on")
    start = len(switch.commands())
    switch.boot()
    switch.expect("application up: slot1")
    switch.expect("preload: [libduma.so.0.0.0]")
    switch.end()
    assert "/bin/backtrace" not in switch.commands()[start:]

    # The shell comes once the archive's install script has run.
    setenv(switch, "memchk=", "shell=on")
    switch.boot()
    assert switch.console.expect_exact(["install script of slot1", "Dropping into shell"]) == 0
    switch.expect("Dropping into shell")
    switch.console.sendline("echo typed-in-the-shell; exit")
    switch.expect("typed-in-the-shell")
    switch.expect("Dropping out of shell")
    switch.expect("application up: slot1")
    switch.end()
    assert "/bin/sh\\n" in switch.commands()


def test_version_tells_the_build_and_its_keys(make_switch):
    switch = make_switch(slots={})
    result = subprocess.run([str(ROOT / "sandbox" / "enter"), "--put", f"{LAUNCHER}=/sbin/bootlauncher",
                             str(switch.board), "--", "/sbin/bootlauncher", "--version"],
                            capture_output=True, text=True)
    assert result.stdout.startswith("bootlauncher ")
    assert result.stdout.endswith(", TEST KEYS)\n")
    assert result.returncode == 0
    assert switch.commands() == []


@pytest.mark.parametrize("missing", [
    ("--i2c-absent", "eeprom"),
    pytest.param(("--i2c-buses", "1"), marks=pytest.mark.namespace_only(NO_BUS_0)),
])
def test_absent_eeprom_boots_slot_1_and_leaves_the_eeprom_file_alone(make_switch, missing):
    # The EEPROM does not answer, or its bus has no device node: the
    # configured slot 2 cannot be read, the start goes on with slot 1 and
    # nothing is written. The bus that was never opened is never closed
    # either: the application still has the console for its output.
    switch = make_switch(*missing, "--boot-slot", "2", slots={1: GOOD1, 2: GOOD2})
    before = (switch.board / "eeprom.bin").read_bytes()
    switch.boot()
    if missing[0] == "--i2c-buses":
        switch.expect("ERROR: driver /dev/i2c-0 couldn't be opened\r\n")
        # Each read of the boot settings stops at the bus, before any byte
        # is sent (EBADF).
        switch.expect("I2C error when setting bus 0, device 0xac: 9\r\n")
    switch.expect("Booting image '1'")
    switch.expect("application up: slot1")
    switch.end()
    assert (switch.board / "eeprom.bin").read_bytes() == before
