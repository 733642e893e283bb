"""Fixtures of the console tests: fresh switches, stopped at the end."""

import subprocess

import pytest

from console_helpers import LAUNCHER, ROOT, Switch


@pytest.fixture
def make_switch(tmp_path):
    if not LAUNCHER.exists():
        pytest.fail(f"no launcher at {LAUNCHER}: build the host preset first")
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
        switch = Switch(board)
        switches.append(switch)
        return switch

    yield make
    for switch in switches:
        switch.stop()
