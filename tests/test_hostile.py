"""Hostile caller objects, containers mutated while they are walked, and leaks."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

import korbix.core.summarizer as summarizer
import reference
from support import context, outcome


def both(name, argument):
    """Runs the native function and the reference on equal fresh inputs."""
    native = context if name == "format_summary_for_context" else getattr(summarizer, name)
    return outcome(native, argument()), outcome(getattr(reference, name), argument())


class ShrinkingList:
    """Messages whose first `get` empties the list being walked."""

    @staticmethod
    def build():
        messages = []

        class Clearing(dict):
            def get(self, key, *default):
                messages.clear()
                return super().get(key, *default)

        messages.extend([Clearing(role="user", content="a"), {"role": "user", "content": "b"}])
        return messages


def growing_list():
    messages = []

    class Appending(dict):
        def get(self, key, *default):
            if len(messages) < 4:
                messages.append({"role": "user", "content": f"added {len(messages)}"})
            return super().get(key, *default)

    messages.append(Appending(role="user", content="first"))
    return messages


def replacing_list():
    # The message is referenced only by the list and is replaced while its
    # own `get` runs: the walk must keep it alive.
    messages = []

    class Replacing(dict):
        def get(self, key, *default):
            messages[0] = {"role": "user", "content": "replacement"}
            gc.collect()
            return super().get(key, *default)

    messages.append(Replacing(role="tool", content="x" * 600, tool_call_id="id"))
    return messages


def mutated_tool_calls():
    calls = []

    class Clearing(dict):
        def get(self, key, *default):
            calls.clear()
            return super().get(key, *default)

    calls.extend([Clearing(name="one"), {"name": "two"}])
    return [{"role": "assistant", "tool_calls": calls}]


class UserOnly(str):
    """A role whose own equality decides: it only equals "user"."""

    def __eq__(self, other):
        return other == "user"

    __hash__ = str.__hash__


def role_that_rewrites_the_message():
    message = {"content": "c", "tool_call_id": "before"}

    class Rewriting:
        def __eq__(self, other):
            message["tool_call_id"] = "after"
            return other == "tool"

    message["role"] = Rewriting()
    return [message]


class OddEq:
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer


class HugeLen:
    def __bool__(self):
        return True

    def __len__(self):
        return sys.maxsize + 1


class CountingContent:
    """Slices and adds like a sequence, recording the calls it receives."""

    def __init__(self):
        self.calls = []

    def __len__(self):
        return 600

    def __getitem__(self, index):
        self.calls.append(index)
        return self

    def __add__(self, other):
        self.calls.append(other)
        return "cut"


class Posing:
    """Claims another class through `__class__`, as mocks and proxies do, so
    that isinstance() accepts it (an exception class claimed is raised
    instead); `get` answers from `data`."""

    def __init__(self, claimed, **data):
        self.claimed, self.data = claimed, data

    @property
    def __class__(self):
        if issubclass(self.claimed, BaseException):
            raise self.claimed("class")
        return self.claimed

    def get(self, key, *default):
        return self.data.get(key, *default)

    def __str__(self):
        return '{"posed": 1}'


class Sly(str):
    """Text whose length, slicing, addition and formatting are its own."""

    def __len__(self):
        return 150

    def __getitem__(self, index):
        return Sly("cut")

    def __add__(self, other):
        return Sly("added")

    def __format__(self, spec):
        return f"<{str.__str__(self)}>"


class SlyText:
    """An object whose str() is a str subclass with methods of its own."""

    def __str__(self):
        return Sly("plain")


def tool_calls(*entries):
    return lambda: [{"role": "assistant", "content": "", "tool_calls": list(entries)}]


@pytest.mark.parametrize(
    ("name", "argument"),
    [
        ("_format_messages_for_summary", ShrinkingList.build),
        ("_format_messages_for_summary", growing_list),
        ("_format_messages_for_summary", replacing_list),
        ("_format_messages_for_summary", mutated_tool_calls),
        ("_fallback_summary", ShrinkingList.build),
        ("_fallback_summary", growing_list),
        ("_format_messages_for_summary", lambda: [{"role": UserOnly("system"), "content": "c"}]),
        ("_format_messages_for_summary", role_that_rewrites_the_message),
        ("_format_messages_for_summary", lambda: [{"role": OddEq([1]), "content": "c"}]),
        ("_format_messages_for_summary", lambda: [{"role": OddEq([]), "content": "c"}]),
        ("_fallback_summary", lambda: [{"role": OddEq([1]), "content": "c"}]),
        ("_format_messages_for_summary", lambda: [{"role": "tool", "content": HugeLen()}]),
        ("_format_messages_for_summary", lambda: [{"role": "tool", "content": "x\ud800" * 300}]),
        ("_format_messages_for_summary", lambda: [{"role": "assistant", "tool_calls": iter([{"name": "g"}])}]),
        # isinstance() honours a `__class__` that claims another class, and
        # runs (and propagates the failure of) the code behind it.
        ("_format_messages_for_summary", tool_calls(Posing(dict, name="posed", arguments={"a": 1}))),
        ("_format_messages_for_summary", tool_calls(Posing(ValueError))),
        ("_format_messages_for_summary", tool_calls({"name": "n", "arguments": Posing(str)})),
        ("_format_messages_for_summary", tool_calls({"name": "n", "arguments": Posing(dict)})),
        # str() may give a str subclass: it is measured, cut and formatted through its own methods.
        ("_format_messages_for_summary", tool_calls({"name": "n", "arguments": SlyText()})),
        ("_brief_args", lambda: {"k": SlyText(), "j": "x" * 101}),
    ],
)
def test_hostile_messages_behave_like_python(name, argument):
    native, python = both(name, argument)
    assert native == python


def test_generic_content_is_cut_through_its_own_slicing_and_addition():
    content = CountingContent()
    text = summarizer._format_messages_for_summary([{"role": "tool", "tool_call_id": 1, "content": content}])
    assert text == "[Tool Result (1)]: cut"
    assert content.calls == [slice(None, 500, None), "... [truncated]"]


def record_cleared_while_rendered():
    goals = ["a", "b", "c"]
    summary = {"goals": goals, "next_steps": ["n"]}

    class Clearing:
        def __format__(self, spec):
            goals.clear()
            summary.pop("next_steps")
            gc.collect()
            return "cleared"

    goals.insert(1, Clearing())
    return summary


def test_record_walk_survives_mutation_while_formatting():
    native, python = both("format_summary_for_context", record_cleared_while_rendered)
    assert native == python
    assert native[1].endswith("  - a\n  - cleared\n")


class AddsKey:
    def __init__(self, target, remove=None):
        self.target, self.remove = target, remove

    def __str__(self):
        if self.remove is not None:
            del self.target[self.remove]
        self.target[object()] = 1
        return "v"


def test_brief_refuses_a_dict_that_changes_size():
    args = {}
    args["a"] = AddsKey(args)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        summarizer._brief_args(args)


class SwapsKey:
    """Removes its own key and adds "c": the size stays, the walk meets a third key."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        del self.target["a"]
        self.target["c"] = 3
        return "v"


def test_brief_refuses_more_keys_than_it_started_with():
    def args():
        result = {"a": None, "b": 2}
        result["a"] = SwapsKey(result)
        return result

    native, python = both("_brief_args", args)
    assert native == python == ("raised", RuntimeError, "dictionary keys changed during iteration")


def test_brief_survives_a_same_size_change():
    args = {"a": None, "b": 2}
    args["a"] = AddsKey(args, remove="b")
    text = summarizer._brief_args(args)
    assert text.startswith("a=v, <object object at ")


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_hostile_cases_do_not_crash_under_gc_pressure():
    # Run apart: a use of a freed object would kill the test runner itself.
    script = textwrap.dedent(
        """
        import gc, sys
        sys.path.insert(0, ".")
        gc.set_threshold(1, 1, 1)
        import test_hostile as cases
        for _ in range(30):
            for build in (cases.ShrinkingList.build, cases.growing_list, cases.replacing_list,
                          cases.mutated_tool_calls):
                cases.summarizer._format_messages_for_summary(build())
                cases.summarizer._fallback_summary(build())
            try:
                cases.test_brief_refuses_a_dict_that_changes_size()
                cases.test_brief_survives_a_same_size_change()
                cases.test_record_walk_survives_mutation_while_formatting()
            except BaseException as exc:
                sys.exit(f"unexpected {exc!r}")
        """
    )
    # Run from this directory, so that `import test_hostile` finds this file wherever pytest was started.
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script], capture_output=True, text=True, timeout=120,
                            cwd=os.path.dirname(os.path.abspath(__file__)))
    assert result.returncode == 0, result.stderr[-2000:]


# ---- reference counts and allocations stay flat ------------------------------


class BadStr:
    def __str__(self):
        raise ValueError("no text")


CONVERSATION = [
    {"role": "system", "content": "s"},
    {"role": "user", "content": "please \U0001f600"},
    {"role": "assistant", "content": "ok", "tool_calls": [
        {"function": {"name": "read", "arguments": json.dumps({"path": "/p" * 80})}},
        {"name": "bad", "arguments": "{not json"},
        {"name": "list", "arguments": [1, 2]},
    ]},
    {"role": "tool", "tool_call_id": "c1", "content": "r" * 800},
]
FAILING_CONVERSATION = [{"role": "assistant", "tool_calls": [{"arguments": {"v": BadStr()}}]}]
FULL_RECORD = {"goals": ["g"], "progress": ("p",), "current_state": "s", "key_facts": {"k": 1}, "summary": "t"}
LEAK_CASES = [
    (summarizer._format_messages_for_summary, CONVERSATION),
    (summarizer._format_messages_for_summary, FAILING_CONVERSATION),
    (summarizer._brief_args, {"a": "x" * 300, 2: None}),
    (summarizer._brief_args, {"a": BadStr()}),
    (summarizer._parse_summary, "```json\n" + json.dumps({"goals": ["a"], "summary": "s"}) + "\n```"),
    (summarizer._parse_summary, "not json at all"),
    (summarizer._parse_summary, "[1, 2]"),
    (summarizer._fallback_summary, CONVERSATION),
    (summarizer._fallback_summary, [{"role": "user", "content": 5}]),
    (context, FULL_RECORD),
    (context, {"goals": 5}),
]


def run_quietly(function, argument):
    try:
        function(argument)
    except Exception:  # noqa: BLE001 - failure paths are measured too
        pass


@pytest.mark.parametrize(("function", "argument"), LEAK_CASES)
def test_no_leaks(monkeypatch, function, argument):
    monkeypatch.setattr(summarizer, "logger", types.SimpleNamespace(warning=lambda message: None))
    watched = [argument]
    if isinstance(argument, list):
        watched += argument
    elif isinstance(argument, dict):
        watched += list(argument.values())
    for _ in range(200):
        run_quietly(function, argument)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(3000):
        run_quietly(function, argument)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getallocatedblocks() - blocks < 100
