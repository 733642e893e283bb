"""Fixtures of the e500 tier: fresh switches on the emulated PowerPC board,
driven with the console tier's own helpers (tests/console)."""

import pathlib
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "console"))

from console_helpers import E500_LAUNCHER, IMGTOOL, ROOT, Switch  # noqa: E402


@pytest.fixture
def make_switch(tmp_path):
    for needed, how in ((E500_LAUNCHER, "the switch preset"), (IMGTOOL, "the host preset")):
        if not needed.exists():
            pytest.fail(f"no {needed}: build {how} first")
    switches = []

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
        switch = Switch(board, engine="e500")
        switches.append(switch)
        return switch

    yield make
    for switch in switches:
        switch.stop()
