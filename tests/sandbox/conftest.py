"""Fixtures of the sandbox's own tests."""

import pytest

from sandbox_helpers import mkboard


@pytest.fixture
def board(tmp_path):
    path = tmp_path / "board"
    mkboard(path)
    return path
