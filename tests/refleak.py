"""Reference-leak mode for the test suite (``pytest --refleak``).

Each selected test runs several times in a row. After a few warm-up runs
(caches, interned strings and lazy imports settle), the interpreter's
allocated blocks and the reference counts of the test's own arguments
(fixture and parameter values) are measured around every further run. A test
fails when a measure grows in every measured run: a flat delta is the only
accepted outcome, as in CPython's own leak hunter.
"""

from __future__ import annotations

import gc
import sys

import pytest

WARMUPS = 3
RUNS = 6


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("refleak")
    group.addoption("--refleak", action="store_true", help="run each test repeatedly and fail on growing memory")
    group.addoption("--refleak-runs", type=int, default=RUNS, help="measured runs per test")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "no_refleak: skip this test in the reference-leak mode")


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if not config.getoption("--refleak"):
        return
    skip = pytest.mark.skip(reason="not repeatable in the reference-leak mode")
    for item in items:
        function = getattr(item, "obj", None)
        # Hypothesis keeps a growing example database and shrink state per test.
        if item.get_closest_marker("no_refleak") or hasattr(function, "hypothesis"):
            item.add_marker(skip)


def _snapshot(arguments: dict) -> tuple[int, list[int]]:
    gc.collect()
    return sys.getallocatedblocks(), [sys.getrefcount(value) for value in arguments.values()]


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function):
    config = pyfuncitem.config
    if not config.getoption("--refleak"):
        yield
        return
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    function = pyfuncitem.obj
    for _ in range(WARMUPS):
        function(**arguments)
    block_deltas: list[int] = []
    refcount_deltas: list[list[int]] = []
    for _ in range(config.getoption("--refleak-runs")):
        blocks_before, refs_before = _snapshot(arguments)
        function(**arguments)
        blocks_after, refs_after = _snapshot(arguments)
        block_deltas.append(blocks_after - blocks_before)
        refcount_deltas.append([after - before for before, after in zip(refs_before, refs_after)])
    outcome = yield  # the normal run of the test
    if outcome.excinfo is not None:
        return
    if all(delta > 0 for delta in block_deltas):
        pytest.fail(f"allocated blocks grow on every run: {block_deltas}")
    for index, name in enumerate(arguments):
        deltas = [run[index] for run in refcount_deltas]
        if all(delta > 0 for delta in deltas):
            pytest.fail(f"references to argument {name!r} grow on every run: {deltas}")
