"""Helpers shared by the test modules."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import traceback

SOURCE_FILE = "korbix/core/summarizer.pyx"


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry the module added, outermost first."""
    return [
        (frame.f_code.co_name, line)
        for frame, line in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == SOURCE_FILE
    ]


def run_python(code: str, *, check: bool = True) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter (for start-up behaviour and crash-prone cases)."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result
