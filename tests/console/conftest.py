"""Fixtures of the console tests: fresh switches, stopped at the end."""

import pytest

from console_helpers import LAUNCHER, switches


@pytest.fixture
def make_switch(tmp_path):
    if not LAUNCHER.exists():
        pytest.fail(f"no launcher at {LAUNCHER}: build the host preset first")
    yield from switches(tmp_path)
