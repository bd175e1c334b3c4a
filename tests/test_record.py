"""The empty Summary record."""

import json
import sys
import time
import types

import pytest

import korbix.core.summarizer as s
from korbix_summarizer.schema import SUMMARY_KEYS
from support import EMPTY_SUMMARY, module_entries

KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers", "next_steps", "summary",
        "created_at"]


def test_empty_record_shape():
    before = time.time()
    record = s._empty_summary()
    after = time.time()
    assert list(record) == KEYS == [*SUMMARY_KEYS, "created_at"]
    assert type(record) is dict
    assert record["current_state"] == "" and record["summary"] == ""
    assert type(record["created_at"]) is float and before <= record["created_at"] <= after
    lists = [record[k] for k in KEYS if isinstance(record[k], list)]
    assert len(lists) == 6 and all(v == [] for v in lists)
    assert len({id(v) for v in lists}) == 6
    assert list(json.loads(json.dumps(record))) == KEYS


def test_records_share_nothing():
    first, second = s._empty_summary(), s._empty_summary()
    first["goals"].append("x")
    assert second["goals"] == [] and first is not second


@pytest.mark.no_refleak  # adding and removing a builtin leaves dict noise
def test_time_is_resolved_at_call_time(monkeypatch):
    monkeypatch.setattr(s, "time", types.SimpleNamespace(time=lambda: "stamp"))
    assert s._empty_summary()["created_at"] == "stamp"
    monkeypatch.delattr(s, "time")
    with pytest.raises(NameError) as info:
        s._empty_summary()
    assert str(info.value) == "name 'time' is not defined"
    assert module_entries(info.value) == [(EMPTY_SUMMARY, 270)]
    # Found among the builtins when the module has no such name.
    monkeypatch.setattr("builtins.time", types.SimpleNamespace(time=lambda: 1.5), raising=False)
    assert s._empty_summary()["created_at"] == 1.5


def test_failing_clock_propagates(monkeypatch):
    def broken():
        raise OSError("clock")

    monkeypatch.setattr(s, "time", types.SimpleNamespace(time=broken))
    with pytest.raises(OSError, match="clock") as info:
        s._empty_summary()
    assert module_entries(info.value) == [(EMPTY_SUMMARY, 270)]


def test_no_leaks():
    import gc
    for _ in range(100):
        s._empty_summary()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        s._empty_summary()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
