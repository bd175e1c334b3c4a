"""Helpers shared by the test modules."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import traceback

# Every traceback entry the module adds names this file; its function names are
# the dotted names below, or a short one such as the coroutine's
# "summarize_messages" and "init korbix.core.summarizer" at import.
SOURCE_FILE = "korbix/core/summarizer.pyx"
MODULE_PREFIX = "korbix.core.summarizer."


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry the module added, outermost first.

    An entry counts as the module's by its file name, so the short names are
    kept too. An entry with a dotted module name but another file name is
    wrong and fails here rather than being silently left out of the list.
    """
    entries = []
    for frame, line in traceback.walk_tb(exc.__traceback__):
        code = frame.f_code
        if code.co_filename == SOURCE_FILE:
            entries.append((code.co_name, line))
        elif code.co_name.startswith(MODULE_PREFIX):
            raise AssertionError(f"entry {code.co_name!r} at line {line} names the file {code.co_filename!r}, "
                                 f"not {SOURCE_FILE!r}")
    return entries


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
