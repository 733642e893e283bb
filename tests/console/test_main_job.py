"""scripts/sandbox, the README's main job, as a newcomer runs it."""

import os

import pexpect

from console_helpers import ROOT


def run_sandbox(tmp_path, engine, *options):
    """The main job, on the e500 board with --e500 (its options before the
    board options after "--")."""
    env = dict(os.environ, TERM="dumb")
    on_e500 = ["--e500"] if engine == "e500" else []
    return pexpect.spawn(str(ROOT / "scripts" / "sandbox"),
                         ["--board", str(tmp_path / "board"), "--speed", "1000", *on_e500,
                          *options],
                         env=env, timeout=300, encoding="utf-8", codec_errors="replace",
                         cwd=str(ROOT))


def test_default_switch_boots_slot_1_and_powers_off_on_enter(tmp_path, engine):
    console = run_sandbox(tmp_path, engine)
    console.expect_exact("Booting image '1'")
    console.expect_exact("Booted from image slot 1, application version 1.0.0.1.")
    console.expect_exact("SWITCH_ROLE=leaf SWITCH_SITE=sandbox-slot1")
    console.expect_exact("Press Enter to power off the virtual switch.")
    console.sendline("")
    console.expect(pexpect.EOF)
    console.close()
    assert console.exitstatus == 0


def test_damaged_configured_slot_falls_back_to_the_other(tmp_path, engine):
    console = run_sandbox(tmp_path, engine, "--slot", "2", "--damage", "2", "--shell",
                          "--", "--rtc", "2030-01-02 03:04:05")
    console.expect_exact("Booting image '2'")
    console.expect_exact("Image2 CRC failed, trying Image1 now.")
    console.expect_exact("Dropping into shell")
    console.sendline("exit")
    console.expect_exact("Booted from image slot 1, application version 1.0.0.1.")
    # The application shows the commands the launcher ran where the board
    # is its own folder (the namespace engine's /sandbox/board).
    if engine == "namespace":
        console.expect_exact("date 010203042030.05")
    console.expect_exact("Press Enter to power off the virtual switch.")
    console.sendline("")
    console.expect(pexpect.EOF)
