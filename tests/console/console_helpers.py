"""The launcher on a virtual switch, driven as an operator on the console.

Each test makes a fresh board, boots bootlauncher-sandbox on it through
sandbox/boot on a pseudo-terminal, and reads the console and the board's
logs afterwards.
"""

import os
import pathlib
import subprocess

import pexpect
import pexpect.fdpexpect

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("BL_BUILD_DIR", ROOT / "build" / "host"))
LAUNCHER = BUILD / "bootlauncher-sandbox"


class Switch:
    def __init__(self, board):
        self.board = board
        self.console = None
        self.relay = None

    def boot(self, speed=1000, timeout=30):
        env = dict(os.environ, SANDBOX_SPEED=str(speed), TERM="dumb")
        self.console = pexpect.spawn(
            str(ROOT / "sandbox" / "boot"), ["--launcher", str(LAUNCHER), str(self.board)],
            env=env, timeout=timeout, encoding="utf-8", codec_errors="replace")
        return self.console

    def boot_on_line(self, link, speed=1000, timeout=30):
        """Boots with the console offered at `link` by sandbox/console-pty,
        and drives it from there, as a terminal program on the serial port
        does."""
        env = dict(os.environ, SANDBOX_SPEED=str(speed), TERM="dumb")
        self.relay = subprocess.Popen(
            [str(ROOT / "sandbox" / "console-pty"), str(link), "--", str(ROOT / "sandbox" / "boot"),
             "--launcher", str(LAUNCHER), str(self.board)],
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

    def end(self, timeout=30):
        """Waits for the switch to stop; the console text it printed last."""
        self.console.expect(pexpect.EOF, timeout=timeout)
        self.console.close()
        return self.console.before

    @property
    def rebooted(self):
        return (self.board / "run" / "rebooted").exists()

    def commands(self):
        return (self.board / "commands.log").read_text().splitlines()

    def calls(self):
        return (self.board / "calls.log").read_text().splitlines()

    def eeprom(self, offset):
        return (self.board / "eeprom.bin").read_bytes()[offset]
