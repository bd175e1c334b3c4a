"""Shared by the coverage-guided fuzz targets: the reference under coverage,
outcome comparison, and a periodic leak check.

Coverage guidance comes from the plain-Python reference, which atheris
instruments: its branches are the module's branches, so inputs that reach new
paths of the reference are kept. Every input runs through both the native
module and the reference; they must agree, and the native side must neither
crash nor leak.
"""

from __future__ import annotations

import gc
import math
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

with atheris.instrument_imports(include=["reference", "json"]):
    import json  # noqa: F401 - instrumented so that decoding paths count as coverage
    import reference

import korbix.core.summarizer as native


class RecordingLogger:
    def __init__(self) -> None:
        self.lines: list[tuple[str, tuple]] = []

    def warning(self, *args, **kwargs):
        self.lines.append(("warning", args, tuple(kwargs)))

    def error(self, *args, **kwargs):
        self.lines.append(("error", args, tuple(kwargs)))


def comparable(value):
    if type(value) is dict and "created_at" in value:
        stamp = value["created_at"]
        if type(stamp) is not float or not math.isfinite(stamp):
            raise AssertionError(f"bad time stamp {stamp!r}")
        return {key: item for key, item in value.items() if key != "created_at"}
    return value


def outcome(function, argument):
    try:
        return ("returned", comparable(function(argument)))
    except Exception as error:  # noqa: BLE001 - every failure is compared
        return ("raised", type(error).__name__, str(error))


def run_both(name: str, make_argument):
    """Runs the function of that name on both sides with fresh equal
    arguments and the logger replaced; fails when they disagree."""
    results = []
    for module in (native, reference):
        logger = RecordingLogger()
        saved = module.logger
        module.logger = logger
        try:
            results.append((outcome(getattr(module, name), make_argument()), logger.lines))
        finally:
            module.logger = saved
    # NaN never equals itself, so two fresh arguments holding NaN compare
    # unequal; their reprs still tell a real difference.
    if results[0] != results[1] and repr(results[0]) != repr(results[1]):
        raise AssertionError(f"native and reference disagree:\n native:    {results[0]!r}\n reference: {results[1]!r}")


class LeakWatch:
    """Every `period` inputs, repeats the current one and fails when the
    interpreter's allocated blocks keep growing."""

    def __init__(self, period: int = 5000, repeats: int = 300) -> None:
        self.period, self.repeats, self.count = period, repeats, 0

    def __call__(self, run) -> None:
        self.count += 1
        if self.count % self.period:
            return
        for _ in range(20):
            run()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(self.repeats):
            run()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        if grown > self.repeats // 2:
            raise AssertionError(f"{grown} blocks more after {self.repeats} repeats of one input")
