"""Fixtures of the e500 tier: fresh switches on the emulated PowerPC board,
driven with the console tier's own helpers (tests/console)."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "console"))

from console_helpers import E500_LAUNCHER, IMGTOOL, switches  # noqa: E402


@pytest.fixture
def make_switch(tmp_path):
    for needed, how in ((E500_LAUNCHER, "the switch-testkeys preset"), (IMGTOOL, "the host preset")):
        if not needed.exists():
            pytest.fail(f"no {needed}: build {how} first")
    yield from switches(tmp_path, engine="e500")
