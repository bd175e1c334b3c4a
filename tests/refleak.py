"""Reference-leak mode for the test suite (``pytest --refleak``).

Each selected test runs several times in a row, each time with its whole
setup and teardown, so that every function-scoped fixture starts afresh (a
fixture that records calls or log lines, a monkeypatch, caplog). After a few
warm-up runs (caches, interned strings and lazy imports settle), the
interpreter's allocated blocks and the reference counts of the test's
parameter values are measured around every further run. A test fails when a
measure grows in every measured run: a flat delta is the only accepted
outcome, as in CPython's own leak hunter. The last run is the ordinary one,
whose result is reported.
"""

from __future__ import annotations

import gc
import sys

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = 3
RUNS = 6

_deltas = pytest.StashKey[tuple]()


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


def _snapshot(parameters: list) -> tuple[int, list[int]]:
    gc.collect()
    return sys.getallocatedblocks(), [sys.getrefcount(value) for value in parameters]


class _NextInSameModule:
    """Stands for a following test beside this one: tearing down "up to" it
    finishes the test's own fixtures and keeps those of its module, class and
    session set up (pytest tears down the nodes the next test does not share)."""

    def __init__(self, item: pytest.Item) -> None:
        self._chain = item.listchain()[:-1]

    def listchain(self) -> list:
        return self._chain


def _run_quietly(item: pytest.Item) -> bool:
    """One run with setup and teardown, nothing reported; True if it passed."""
    reports = runtestprotocol(item, nextitem=_NextInSameModule(item), log=False)
    # Captured output and log sections would pile up on the item.
    item._report_sections.clear()
    return all(report.passed or report.skipped for report in reports)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None) -> None:
    config = item.config
    if not config.getoption("--refleak") or item.get_closest_marker("skip"):
        return None
    callspec = getattr(item, "callspec", None)
    parameters = list(callspec.params.values()) if callspec is not None else []
    for _ in range(WARMUPS):
        if not _run_quietly(item):
            return None  # the ordinary run below reports the failure
    block_deltas: list[int] = []
    refcount_deltas: list[list[int]] = []
    for _ in range(config.getoption("--refleak-runs")):
        blocks_before, refs_before = _snapshot(parameters)
        if not _run_quietly(item):
            return None
        blocks_after, refs_after = _snapshot(parameters)
        block_deltas.append(blocks_after - blocks_before)
        refcount_deltas.append([after - before for before, after in zip(refs_before, refs_after)])
    item.stash[_deltas] = (block_deltas, refcount_deltas, list(callspec.params) if callspec else [])
    return None  # the ordinary protocol runs the test once more and reports


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item):
    result = yield  # raises when the test itself failed
    measured = item.stash.get(_deltas, None)
    if measured is None:
        return result
    block_deltas, refcount_deltas, names = measured
    if all(delta > 0 for delta in block_deltas):
        pytest.fail(f"allocated blocks grow on every run: {block_deltas}")
    for index, name in enumerate(names):
        deltas = [run[index] for run in refcount_deltas]
        if all(delta > 0 for delta in deltas):
            pytest.fail(f"references to parameter {name!r} grow on every run: {deltas}")
    return result
