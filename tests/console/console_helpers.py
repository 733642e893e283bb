"""The launcher on a virtual switch, driven as an operator on the console.

Each test makes a fresh board, boots bootlauncher-sandbox on it through
sandbox/boot on a pseudo-terminal, and reads the console and the board's
logs afterwards. The e500 tier drives the same helpers with the other
engine: the shipped PowerPC launcher on sandbox/boot-e500.
"""

import os
import pathlib
import subprocess

import pexpect
import pexpect.fdpexpect

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("BL_BUILD_DIR", ROOT / "build" / "host"))
LAUNCHER = BUILD / "bootlauncher-sandbox"
IMGTOOL = BUILD / "imgtool"
E500_LAUNCHER = pathlib.Path(os.environ.get("BL_E500_LAUNCHER",
                                            ROOT / "build" / "switch-testkeys" / "bootlauncher"))
# Each engine: the program that boots a board, and the launcher it boots.
ENGINES = {"namespace": ("boot", LAUNCHER), "e500": ("boot-e500", E500_LAUNCHER)}
KEYS = ROOT / "keys" / "test"
OPTIONS = ("Please select one of the following options:\r\n"
           "\tT) Configure networking and tftp download an image\r\n"
           "\tX) Use xmodem 1K to serial download an image\r\n"
           "\tP) Physical presence (low security mode)\r\n"
           "\tF) Filesystem check\r\n"
           "\tR) Reboot\r\n"
           "\tE) Exit\r\n")
PROMPT = "\r\nOption? : "
SERIAL = "VKT3390A0001"  # the serial number of every board mkboard makes
# A start on the emulated PowerPC board takes real seconds, where the
# namespace engine's count as fast as they are counted: its waits are longer.
E500_TIMEOUT = 120

# Why a console scenario runs on the namespace engine only (its
# namespace_only marker names one of these).
FLASH_CUTS = "power cuts at flash requests (mtd/power-cut-after)"
FLASH_READ_FAILS = "flash partitions whose reads fail (mtd/read-fails)"
SCRIPTED_ANSWERS = "scripted answers and failures of fake programs (--answer)"
INSTALLER_ALONE = "the installer alone, run by install_driver in a namespace board"
NOT_ON_FAT = "stick entries FAT cannot hold (links, FIFOs): the e500 stick is a FAT filesystem"
LIVE_BOARD = "the board's files changed while the switch runs (the e500 engine runs on copies)"
FLASH_FILESYSTEM = "the flash user filesystem (JFFS2, flashfs/), which the e500 board does not map"
NO_BUS_0 = "no device node for I2C bus 0: the e500 board's bus 0 is the machine's own controller"
EEPROM_PROTECTED = "a write-protected EEPROM (eeprom-write-protected), which the e500 board does not model"


def signed(tmp_path, kind, payload, version, name, key="production", options=()):
    """A format-3 component made by imgtool, signed with a test key (more
    imgtool pack options, such as --alias TYPE, in `options`)."""
    source = tmp_path / f"{name}.payload"
    source.write_bytes(payload)
    out = tmp_path / f"{name}.img"
    subprocess.run([str(IMGTOOL), "pack", "-o", str(out), "--type", kind, "--version", version,
                    *options, "--sign", str(KEYS / f"{key}.key.pem"), str(source)], check=True,
                   capture_output=True)
    return out.read_bytes()


def signed_bootloader(tmp_path, payload, version, name):
    """A signed boot loader whose payload carries at 0xF0 its version block,
    the last 12 bytes of its own header, as the switch reads its installed
    version back from flash (imgtool refuses one without it). The header
    depends only on the sizes: a first pack tells what goes there."""
    loader = bytearray(payload)
    first = signed(tmp_path, "bootloader", bytes(loader), version, name,
                   options=("--allow-version-block-mismatch",))
    loader[0xF4:0x100] = first[4:16]
    return signed(tmp_path, "bootloader", bytes(loader), version, name)


def openssl(direction, serial, data):
    """The key files' cipher by the openssl command (-d or -e): AES-128-CBC,
    the key the serial number and a fixed filler, a fixed IV."""
    key = serial.encode().ljust(12, b"\0").hex() + "3ca55e91"
    return subprocess.run(["openssl", "enc", direction, "-aes-128-cbc", "-nopad", "-K", key,
                           "-iv", "6b21d4089f73e2154ac637b0580df982"], input=data,
                          capture_output=True, check=True).stdout


def at_menu(switch):
    """Waits for the rescue menu's option list and prompt; the text the last
    action printed before them."""
    switch.expect(OPTIONS + PROMPT)
    return switch.console.before


def choose(switch, key):
    """At the option prompt, types one key."""
    switch.console.send(key)


def tftp_download(switch, name):
    """At the option prompt: a TFTP download of `name` from 192.0.2.1, the
    port set up by hand."""
    choose(switch, "t")
    for prompt, answer in (("IP addr    :", "192.0.2.2"), ("Netmask    :", "255.255.255.0"),
                           ("Gateway    :", ""), ("Server addr:", "192.0.2.1"),
                           ("Image Filename: ", name)):
        switch.expect(prompt)
        switch.console.send(answer + "\r")
    switch.expect(f"Installing image {name} from TFTP server 192.0.2.1\r\n")


FAST_WAIT = "... Waiting for the <Enter> key to be hit before the download can start..."
RESTORE_WAIT = "... Waiting for the <ENTER> key to be hit..."


def press_after_reminder(switch, key, reminder, wanted):
    """Types the key that ends a speed-switch wait once the wait has begun
    (the first reminder shows; a key typed while the line settings change
    is dropped, as on the switch), then waits for the wanted text."""
    switch.expect(reminder)
    switch.console.send(key)
    switch.expect(wanted)
    return switch.console.before


def blinks(switch):
    """The lit periods of the location LED since led.log was emptied, counted
    as the operator does."""
    return sum(1 for line in (switch.board / "led.log").read_text().splitlines()
               if int(line.split()[1], 16) & 0x03 == 0x01)


def establish_presence(switch, timeout=None):
    """P at the rescue menu, answered as an operator does: y, a key to
    start, then the blinks of the location LED counted from led.log. The
    count, and the text before the menu comes back."""
    (switch.board / "led.log").write_text("")
    choose(switch, "p")
    switch.expect("Do you wish to continue y/N? ")
    switch.console.send("y")
    switch.expect("Hit a key to start the test.")
    switch.console.send(" ")
    switch.expect("How many times did the LED blink? ", timeout=timeout)
    count = blinks(switch)
    switch.console.send(f"{count}\r")
    return count, at_menu(switch)


def switches(tmp_path, engine="namespace"):
    """The make_switch fixture of a tier: makes boards in tmp_path with
    sandbox/mkboard (slot images given as bytes) and their switches on the
    engine; stops every switch when the test is over."""
    made = []

    def make(*options, slots=None, name="board"):
        board = tmp_path / name
        files = []
        for slot, data in (slots or {}).items():
            path = tmp_path / f"{name}-slot{slot}.img"
            path.write_bytes(data)
            files += ["--slot", f"{slot}={path}"]
        result = subprocess.run([str(ROOT / "sandbox" / "mkboard"), str(board), *files, *options],
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        switch = Switch(board, engine=engine)
        made.append(switch)
        return switch

    yield make
    seen = os.environ.get("BL_COMMANDS_SEEN")
    for switch in made:
        switch.stop()
        # The e500 tier gathers what the real programs were given to run.
        log = switch.board / "commands.log"
        if seen and engine == "e500" and log.exists():
            with open(seen, "a") as out:
                out.write(log.read_text())


class Switch:
    def __init__(self, board, engine="namespace"):
        self.board = board
        self.engine = engine
        self.console = None
        self.relay = None
        script, launcher = ENGINES[engine]
        self.command = [str(ROOT / "sandbox" / script), "--launcher", str(launcher)]

    def boot(self, speed=1000, timeout=30, options=()):
        """Starts the switch; `options` go to the engine (--tmp-size, and the
        e500 engine's faults: --power-cut MOMENT and the rest)."""
        env = dict(os.environ, SANDBOX_SPEED=str(speed), TERM="dumb")
        if self.engine == "e500":
            timeout = max(timeout, E500_TIMEOUT)
        self.console = pexpect.spawn(self.command[0],
                                     self.command[1:] + list(options) + [str(self.board)],
                                     env=env, timeout=timeout, encoding="utf-8",
                                     codec_errors="replace")
        if os.environ.get("BL_CONSOLE_LOG"):
            # For a developer reading a failure: all the console said.
            self.console.logfile_read = open(os.environ["BL_CONSOLE_LOG"], "a")
        return self.console

    def boot_on_line(self, link, speed=1000, timeout=30):
        """Boots with the console offered at `link` by sandbox/console-pty,
        and drives it from there, as a terminal program on the serial port
        does."""
        env = dict(os.environ, SANDBOX_SPEED=str(speed), TERM="dumb")
        self.relay = subprocess.Popen(
            [str(ROOT / "sandbox" / "console-pty"), str(link), "--", *self.command, str(self.board)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.relay.stdout.readline()  # the line is up
        line = os.open(link, os.O_RDWR | os.O_NOCTTY)
        self.console = pexpect.fdpexpect.fdspawn(line, timeout=timeout, encoding="utf-8",
                                                 codec_errors="replace")
        return self.console

    def stop(self):
        if self.relay is not None and self.relay.poll() is None:
            self.relay.terminate()
            self.relay.wait(timeout=30)
        if isinstance(self.console, pexpect.fdpexpect.fdspawn):
            if self.console.isalive():
                self.console.close()
        elif self.console is not None and self.console.isalive():
            self.console.terminate(force=True)

    def expect(self, text, timeout=None):
        self.console.expect_exact(text, timeout=timeout if timeout is not None else -1)

    def end(self, timeout=30, status=None):
        """Waits for the switch to stop; the console text it printed last.
        The engine's exit status must be `status`; on the e500 engine it
        must be 0 unless `status` says otherwise (a run it could not write
        back ends with 125, a fault whose moment never came with 3)."""
        if self.engine == "e500":
            timeout = max(timeout, E500_TIMEOUT)
        self.console.expect(pexpect.EOF, timeout=timeout)
        self.console.close()
        if status is None and self.engine == "e500":
            status = 0
        if status is not None:
            ended = self.relay.wait(timeout=timeout) if self.relay is not None \
                else self.console.exitstatus
            assert ended == status, \
                f"the engine ended with status {ended}, not {status}:\n{self.console.before}"
        return self.console.before

    @property
    def rebooted(self):
        return (self.board / "run" / "rebooted").exists()

    def commands(self):
        """The command lines the launcher gave the shell (and the programs
        it started in its place). The e500 engine writes them back when the
        run has ended: read earlier, its log would be the last run's."""
        assert self.engine == "namespace" or self.console is None or \
            not self.console.isalive(), "the e500 board is written back when the run has ended"
        return (self.board / "commands.log").read_text().splitlines()

    def calls(self):
        """The fake programs' calls; the e500 engine runs the real ones,
        whose work is checked instead (a check of an empty log would pass
        there whatever the launcher did)."""
        assert self.engine == "namespace", "calls.log holds the namespace engine's fakes only"
        return (self.board / "calls.log").read_text().splitlines()

    def eeprom(self, offset):
        return (self.board / "eeprom.bin").read_bytes()[offset]
