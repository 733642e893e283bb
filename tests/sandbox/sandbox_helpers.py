"""Helpers for the sandbox's own tests: boards, and commands run inside."""

import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
MKBOARD = ROOT / "sandbox" / "mkboard"
ENTER = ROOT / "sandbox" / "enter"
BUILD = pathlib.Path(os.environ.get("BL_BUILD_DIR", ROOT / "build" / "host"))


def mkboard(path, *options, check=True):
    result = subprocess.run([str(MKBOARD), str(path), *options], capture_output=True, text=True)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def enter(board, script, puts=(), timeout=60, env=None):
    """Runs a busybox shell script inside the board's switch."""
    args = [str(ENTER)]
    for put in puts:
        args += ["--put", put]
    args += [str(board), "--", "sh", "-c", script]
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout,
                          env=env, stdin=subprocess.DEVNULL)
