"""Failures: traceback entries, the logged warning, module globals resolved at call time."""

import builtins
import json
import sys
import types

import pytest

import korbix.core.summarizer as summarizer
from support import (BRIEF, CONTEXT, FALLBACK, PARSE, TRANSCRIPT, Boom, RecordingLogger, SubDict, context,
                     module_entries, without_time)


class BadFormat:
    def __format__(self, spec):
        raise Boom("format")


class IntFormat:
    def __format__(self, spec):
        return 7


class BadStr:
    def __str__(self):
        raise Boom("str")


class BadBool:
    def __bool__(self):
        raise Boom("bool")


class BadEq:
    __hash__ = None

    def __eq__(self, other):
        raise Boom("eq")


class GetFails:
    """A record whose `get` raises for one key."""

    def __init__(self, key, **data):
        self.key, self.data = key, data

    def get(self, key, *default):
        if key == self.key:
            raise Boom("get")
        return self.data.get(key, *default)

    def __getitem__(self, key):
        return self.data[key]


def failing_items():
    yield "first"
    raise Boom("next")


def call(**entry):
    return [{"role": "assistant", "tool_calls": [entry]}]


CASES = [
    (summarizer._format_messages_for_summary, [None], AttributeError, [(TRANSCRIPT, 165)]),
    (summarizer._format_messages_for_summary, [GetFails("content")], Boom, [(TRANSCRIPT, 166)]),
    (summarizer._format_messages_for_summary, [{"role": BadEq()}], Boom, [(TRANSCRIPT, 168)]),
    (summarizer._format_messages_for_summary, [{"role": "tool", "content": 42}], TypeError, [(TRANSCRIPT, 174)]),
    (summarizer._format_messages_for_summary, [{"role": "tool", "content": set(range(501))}], TypeError,
     [(TRANSCRIPT, 175)]),
    (summarizer._format_messages_for_summary, [{"role": "tool", "tool_call_id": BadFormat()}], Boom,
     [(TRANSCRIPT, 176)]),
    (summarizer._format_messages_for_summary, [{"role": "assistant", "content": BadBool()}], Boom,
     [(TRANSCRIPT, 178)]),
    (summarizer._format_messages_for_summary, [{"role": "assistant", "content": IntFormat()}], TypeError,
     [(TRANSCRIPT, 179)]),
    (summarizer._format_messages_for_summary, [{"role": "assistant", "tool_calls": 5}], TypeError,
     [(TRANSCRIPT, 181)]),
    (summarizer._format_messages_for_summary, call(name="n", arguments={}, function=None), AttributeError,
     [(TRANSCRIPT, 183)]),
    (summarizer._format_messages_for_summary, call(arguments=SubDict()), TypeError, [(TRANSCRIPT, 191)]),
    (summarizer._format_messages_for_summary, call(arguments={"v": BadStr()}), Boom,
     [(TRANSCRIPT, 191), (BRIEF, 203)]),
    (summarizer._format_messages_for_summary, call(name=BadFormat()), Boom, [(TRANSCRIPT, 192)]),
    (summarizer._format_messages_for_summary, [{"role": "user", "content": BadFormat()}], Boom,
     [(TRANSCRIPT, 194)]),
    (summarizer._brief_args, {BadFormat(): 1}, Boom, [(BRIEF, 206)]),
    (summarizer._parse_summary, "[1]", AttributeError, [(PARSE, 235)]),
    (summarizer._fallback_summary, [None], AttributeError, [(FALLBACK, 280)]),
    (summarizer._fallback_summary, [{"role": "user", "content": BadBool()}], Boom, [(FALLBACK, 280)]),
    (summarizer._fallback_summary, [{"role": "user", "content": "a"}, {"role": "user", "content": 5}], TypeError,
     [(FALLBACK, 282)]),
    (summarizer._fallback_summary, [{"role": "user", "content": frozenset(range(201))}], TypeError,
     [(FALLBACK, 283)]),
    (summarizer._fallback_summary, [{"role": "user", "content": list(range(201))}], TypeError, [(FALLBACK, 283)]),
    (context, {"progress": 5}, TypeError, [(CONTEXT, 124)]),
    (context, {"goals": ["ok", BadFormat()]}, Boom, [(CONTEXT, 119)]),
    (context, {"current_state": BadFormat()}, Boom, [(CONTEXT, 129)]),
    # A generator: exhausted after one run.
    pytest.param(context, {"key_facts": failing_items()}, Boom, [(CONTEXT, 139)], marks=pytest.mark.no_refleak),
    (context, {"summary": BadBool()}, Boom, [(CONTEXT, 155)]),
]


@pytest.mark.parametrize(("function", "argument", "error", "entries"), CASES)
def test_failure_carries_the_entry_of_the_failing_step(function, argument, error, entries):
    with pytest.raises(error) as caught:
        function(argument)
    assert module_entries(caught.value) == entries


@pytest.mark.parametrize(
    ("function", "argument", "message"),
    [
        (summarizer._format_messages_for_summary, [{"role": "tool", "content": set(range(501))}],
         "'set' object is unsliceable"),
        (summarizer._format_messages_for_summary, [{"role": "tool", "content": 42}], "object of type 'int' has no len()"),
        (summarizer._format_messages_for_summary, [{"role": "assistant", "content": IntFormat()}],
         "__format__ must return a str, not int"),
        (summarizer._fallback_summary, [{"role": "user", "content": frozenset(range(201))}],
         "'frozenset' object is unsliceable"),
        (context, {"progress": 5}, "'int' object is not iterable"),
    ],
)
def test_failure_texts(function, argument, message):
    with pytest.raises(TypeError) as caught:
        function(argument)
    assert str(caught.value) == message


def test_dict_subclass_arguments_are_refused_with_the_note():
    with pytest.raises(TypeError) as caught:
        summarizer._format_messages_for_summary(call(arguments=SubDict()))
    assert str(caught.value) == "Argument 'args' has incorrect type (expected dict, got SubDict)"
    assert "rejects subclasses of builtin types" in caught.value.__notes__[0]


def test_truth_test_that_removes_the_entry_fails_the_second_lookup():
    summary = {}

    class Vanishing:
        def __bool__(self):
            del summary["next_steps"]
            return True

    summary["next_steps"] = Vanishing()
    with pytest.raises(KeyError) as caught:
        context(summary)
    assert module_entries(caught.value) == [(CONTEXT, 151)]


# ---- the warning and the handled exception ----------------------------------


def test_warning_is_logged_while_the_decoding_error_is_handled(monkeypatch):
    calls = []
    monkeypatch.setattr(summarizer, "logger",
                        RecordingLogger(lambda level, args, kwargs: calls.append((args, kwargs, sys.exception()))))
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        summarizer._parse_summary("not json")
        assert sys.exception() is outer
    assert sys.exception() is None
    [(args, kwargs, handled)] = calls
    assert args == ("Could not parse summary JSON, using fallback",) and kwargs == {}
    assert isinstance(handled, json.JSONDecodeError)
    assert module_entries(handled) == [(PARSE, 232)]


def test_no_warning_for_other_failures(caplog):
    with pytest.raises(AttributeError):
        summarizer._parse_summary("[]")
    assert caplog.records == []


def test_failure_inside_the_handler_chains_to_the_decoding_error(monkeypatch):
    monkeypatch.delattr(summarizer, "logger")
    with pytest.raises(NameError, match="name 'logger' is not defined") as caught:
        summarizer._parse_summary("not json")
    assert module_entries(caught.value) == [(PARSE, 246)]
    assert isinstance(caught.value.__context__, json.JSONDecodeError)
    assert sys.exception() is None


# ---- module globals resolved at each call -----------------------------------


class ModuleSubclass(types.ModuleType):
    pass


def namespace(kind, **attributes):
    """An object offering `attributes` as a plain object, a module holding
    them, a module handing them out from its `__getattr__`, or a module of a
    ModuleType subclass."""
    if kind == "object":
        return types.SimpleNamespace(**attributes)
    module = (ModuleSubclass if kind == "module subclass" else types.ModuleType)("stand_in")
    if kind == "module __getattr__":
        def module_getattr(name):
            try:
                return attributes[name]
            except KeyError:
                raise AttributeError(name) from None

        module.__getattr__ = module_getattr
    else:
        vars(module).update(attributes)
    return module


NAMESPACE_KINDS = ["object", "module", "module __getattr__", "module subclass"]


def fake_json(loads, decode_error=json.JSONDecodeError, kind="object"):
    return namespace(kind, loads=loads, JSONDecodeError=decode_error)


@pytest.mark.parametrize("kind", NAMESPACE_KINDS)
def test_rebound_json_is_used_by_the_parser(monkeypatch, kind):
    monkeypatch.setattr(summarizer, "json", fake_json(lambda text: {"summary": f"<{text}>"}, kind=kind))
    assert summarizer._parse_summary(" x ")["summary"] == "<x>"


def test_module_without_the_attribute_raises_its_own_error(monkeypatch):
    # The failed `json.loads` is being handled when the clause's own
    # `json.JSONDecodeError` fails in turn, as in Python.
    monkeypatch.setattr(summarizer, "json", namespace("module"))
    with pytest.raises(AttributeError, match="^module 'stand_in' has no attribute 'JSONDecodeError'$") as caught:
        summarizer._parse_summary("{}")
    assert module_entries(caught.value) == [(PARSE, 245)]
    first = caught.value.__context__
    assert str(first) == "module 'stand_in' has no attribute 'loads'"
    assert module_entries(first) == [(PARSE, 232)]


@pytest.mark.parametrize("kind", NAMESPACE_KINDS)
def test_rebound_time_is_used_for_the_time_stamp(monkeypatch, kind):
    monkeypatch.setattr(summarizer, "time", namespace(kind, time=lambda: 12.5))
    assert summarizer._empty_summary()["created_at"] == 12.5
    assert summarizer._parse_summary("{}")["created_at"] == 12.5


@pytest.mark.parametrize("kind", NAMESPACE_KINDS)
def test_rebound_json_error_class_is_matched(monkeypatch, kind):
    def loads(text):
        raise LookupError(text)

    monkeypatch.setattr(summarizer, "json", fake_json(loads, LookupError, kind=kind))
    assert summarizer._format_messages_for_summary(call(name="t", arguments="{}")) == "[Assistant called t]: {}"
    assert summarizer._parse_summary("{}")["summary"] == "{}"


def test_error_of_another_class_propagates_from_its_step(monkeypatch):
    def loads(text):
        raise ValueError("plain")

    monkeypatch.setattr(summarizer, "json", fake_json(loads))
    with pytest.raises(ValueError) as caught:
        summarizer._parse_summary("{}")
    assert module_entries(caught.value) == [(PARSE, 232)]
    with pytest.raises(ValueError) as caught:
        summarizer._format_messages_for_summary(call(arguments="{}"))
    assert module_entries(caught.value) == [(TRANSCRIPT, 187)]


def test_answer_object_raising_a_decoding_error_takes_the_fallback(monkeypatch):
    class Answer:
        def get(self, key, default):
            raise json.JSONDecodeError("odd", "doc", 0)

    monkeypatch.setattr(summarizer, "json", fake_json(lambda text: Answer()))
    assert summarizer._parse_summary("x")["summary"] == "x"


def test_non_class_error_attribute_is_refused_while_matching(monkeypatch):
    monkeypatch.setattr(summarizer, "json", fake_json(lambda text: 1 / 0, decode_error="nope"))
    with pytest.raises(TypeError, match="catching classes that do not inherit from BaseException") as caught:
        summarizer._parse_summary("x")
    assert module_entries(caught.value) == [(PARSE, 245)]
    assert isinstance(caught.value.__context__, ZeroDivisionError)


def test_missing_json_fails_in_the_clause_too(monkeypatch):
    monkeypatch.delattr(summarizer, "json")
    with pytest.raises(NameError) as caught:
        summarizer._format_messages_for_summary(call(arguments="{}"))
    assert module_entries(caught.value) == [(TRANSCRIPT, 188)]
    assert module_entries(caught.value.__context__) == [(TRANSCRIPT, 187)]
    with pytest.raises(NameError) as caught:
        summarizer._parse_summary("{}")
    assert module_entries(caught.value) == [(PARSE, 245)]


def test_builtins_are_searched_after_the_module(monkeypatch):
    monkeypatch.delattr(summarizer, "json")
    monkeypatch.setattr(builtins, "json", fake_json(lambda text: {"goals": 1}), raising=False)
    assert summarizer._parse_summary("{}")["goals"] == 1


def test_rebound_brief_and_time_are_used(monkeypatch):
    monkeypatch.setattr(summarizer, "_brief_args", lambda args: 42)
    monkeypatch.setattr(summarizer, "time", types.SimpleNamespace(time=lambda: 5.0))
    assert summarizer._format_messages_for_summary(call(name="t")) == "[Assistant called t]: 42"
    assert summarizer._parse_summary("{}")["created_at"] == 5.0
    assert summarizer._parse_summary("x")["created_at"] == 5.0
    assert summarizer._fallback_summary([])["created_at"] == 5.0


def test_brief_rebound_in_the_middle_of_a_walk_is_used_from_the_next_call_on(monkeypatch):
    class Rebinds:
        def __str__(self):
            monkeypatch.setattr(summarizer, "_brief_args", lambda args: "rebound")
            return "v"

    messages = [{"role": "assistant", "tool_calls": [{"name": "a", "arguments": {"k": Rebinds()}},
                                                     {"name": "b", "arguments": {"k": 1}}]}]
    assert summarizer._format_messages_for_summary(messages) == (
        "[Assistant called a]: k=v\n[Assistant called b]: rebound")


@pytest.mark.parametrize(
    ("function", "argument", "line"),
    [(summarizer._parse_summary, "{}", 243), (summarizer._parse_summary, "x", 256),
     (summarizer._fallback_summary, [], 299)],
)
def test_missing_time(monkeypatch, function, argument, line):
    monkeypatch.delattr(summarizer, "time")
    with pytest.raises(NameError, match="name 'time' is not defined") as caught:
        function(argument)
    assert module_entries(caught.value) == [(function.__module__ + "." + function.__qualname__, line)]


def test_fallback_keeps_the_first_request_object():
    content = ["part"]
    record = summarizer._fallback_summary([{"role": "user", "content": content}])
    assert record["goals"][0] is content
    assert without_time(record)["summary"].endswith("Primary request: ['part']")
