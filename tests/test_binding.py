"""Argument binding of every callable: counts, keywords, exact types, and which refusals carry an entry."""

import collections

import pytest

import korbix.core.summarizer as s
from support import BRIEF, CONTEXT, FALLBACK, INIT, PARSE, SUMMARIZE, TRANSCRIPT, StrSub, module_entries, run_python

C = s.ConversationSummarizer
INSTANCE = C(None)
SUBCLASS_NOTE = (
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False."
)


class Weird:
    pass


def count(name, qualifier, bound, given):
    plural = "" if bound == 1 else "s"
    return f"{name}() takes {qualifier} {bound} positional argument{plural} ({given} given)"


def wrong_type(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


REFUSALS = [
    # (call, message, traceback entry or None, subclass note expected)
    (lambda: C(), count("__init__", "exactly", 2, 1), (INIT, 58), False),
    (lambda: C(1, 2), count("__init__", "exactly", 2, 3), (INIT, 58), False),
    (lambda: C(1, llm_client=2), "__init__() got multiple values for keyword argument 'llm_client'", (INIT, 58), False),
    (lambda: C.__init__(self=INSTANCE), count("__init__", "exactly", 2, 1), (INIT, 58), False),
    (lambda: C.__init__(INSTANCE, 1, 2, x=1), count("__init__", "exactly", 2, 3), (INIT, 58), False),
    (lambda: C(client=1), "__init__() got an unexpected keyword argument 'client'", (INIT, 58), False),
    (lambda: INSTANCE.summarize_messages(), count("summarize_messages", "at least", 2, 1), (SUMMARIZE, 62), False),
    (lambda: INSTANCE.summarize_messages([], None, 3), count("summarize_messages", "at most", 3, 4), (SUMMARIZE, 62), False),
    (lambda: INSTANCE.summarize_messages(existing_summary="x"), count("summarize_messages", "at least", 2, 1),
     (SUMMARIZE, 62), False),
    (lambda: INSTANCE.summarize_messages(None), wrong_type("messages", "list", "NoneType"), None, False),
    (lambda: INSTANCE.summarize_messages([], {}), wrong_type("existing_summary", "str", "dict"), None, False),
    (lambda: INSTANCE.summarize_messages([], 5), wrong_type("existing_summary", "str", "int"), None, False),
    (lambda: INSTANCE.summarize_messages([], StrSub("x")), wrong_type("existing_summary", "str", "StrSub"), None, True),
    (lambda: INSTANCE.summarize_messages(collections.UserList()), wrong_type("messages", "list", "UserList"), None, False),
    (lambda: INSTANCE.format_summary_for_context(), count("format_summary_for_context", "exactly", 2, 1),
     (CONTEXT, 111), False),
    (lambda: INSTANCE.format_summary_for_context(collections.OrderedDict()),
     wrong_type("summary", "dict", "collections.OrderedDict"), None, True),
    (lambda: s._format_messages_for_summary(), count("_format_messages_for_summary", "exactly", 1, 0), (TRANSCRIPT, 161), False),
    (lambda: s._format_messages_for_summary(msgs=[]), "_format_messages_for_summary() got an unexpected keyword argument 'msgs'",
     (TRANSCRIPT, 161), False),
    (lambda: s._format_messages_for_summary([], messages=[]),
     "_format_messages_for_summary() got multiple values for keyword argument 'messages'", (TRANSCRIPT, 161), False),
    (lambda: s._format_messages_for_summary((1,)), wrong_type("messages", "list", "tuple"), None, False),
    (lambda: s._brief_args({}, {}), count("_brief_args", "exactly", 1, 2), (BRIEF, 199), False),
    (lambda: s._brief_args(collections.OrderedDict()), wrong_type("args", "dict", "collections.OrderedDict"), None, True),
    (lambda: s._brief_args([]), wrong_type("args", "dict", "list"), None, False),
    (lambda: s._brief_args(Weird()), wrong_type("args", "dict", "Weird"), None, False),
    (lambda: s._parse_summary(None), wrong_type("text", "str", "NoneType"), None, False),
    (lambda: s._parse_summary(b"{}"), wrong_type("text", "str", "bytes"), None, False),
    (lambda: s._fallback_summary(), count("_fallback_summary", "exactly", 1, 0), (FALLBACK, 274), False),
    (lambda: s._fallback_summary(messages=[], extra=1), "_fallback_summary() got an unexpected keyword argument 'extra'",
     (FALLBACK, 274), False),
    (lambda: s._empty_summary(1), "_empty_summary() takes no arguments (1 given)", None, False),
    (lambda: s._empty_summary(1, x=2), "_empty_summary() takes no keyword arguments", None, False),
    (lambda: s._empty_summary(**{"a": 1}), "_empty_summary() takes no keyword arguments", None, False),
    (lambda: s._brief_args(**{1: 2}), "keywords must be strings", None, False),
    (lambda: s._parse_summary("x", **{StrSub("text"): "y"}), "_parse_summary() got multiple values for keyword argument 'text'",
     (PARSE, 210), False),
]


@pytest.mark.parametrize("call, message, entry, note", REFUSALS)
def test_refusals(call, message, entry, note):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert module_entries(info.value) == ([entry] if entry else [])
    assert getattr(info.value, "__notes__", None) == ([SUBCLASS_NOTE] if note else None)


def test_keywords_bind_like_positionals():
    assert C.format_summary_for_context.__get__(INSTANCE)  # bound method exists
    # A str subclass with the parameter's text names that parameter.
    obj = C.__new__(C)
    C.__init__(**{"self": obj, StrSub("llm_client"): 7})
    assert obj._llm == 7
    assert C(llm_client=3)._llm == 3


def test_refused_init_sets_nothing():
    obj = C.__new__(C)
    with pytest.raises(TypeError):
        C.__init__(obj, 1, 2)
    assert vars(obj) == {}


def test_refused_summarize_creates_no_coroutine():
    import gc
    before = sum(1 for o in gc.get_objects() if type(o).__name__ == "coroutine")
    for _ in range(10):
        with pytest.raises(TypeError):
            INSTANCE.summarize_messages(None)
    after = sum(1 for o in gc.get_objects() if type(o).__name__ == "coroutine")
    assert after == before


def test_str_subclass_keyword_with_failing_equality_propagates():
    class Angry(str):
        def __eq__(self, other):
            raise LookupError("eq")

        __hash__ = str.__hash__

    with pytest.raises(LookupError, match="eq"):
        s._parse_summary(**{Angry("txt"): "x"})


def test_refused_calls_keep_reference_counts_flat():
    import sys

    payload = object()
    before = sys.getrefcount(payload)
    for _ in range(1000):
        for call in (lambda: s._brief_args(payload), lambda: s._brief_args(payload, payload),
                     lambda: s._brief_args(args=payload, other=payload)):
            with pytest.raises(TypeError):
                call()
    assert sys.getrefcount(payload) == before


@pytest.mark.no_refleak  # a fresh interpreter per run
@pytest.mark.parametrize(
    "setup, call",
    [
        ("s.time = types.SimpleNamespace(time=s._empty_summary)", "s._empty_summary()"),
        ("s.json = types.SimpleNamespace(loads=s._parse_summary, JSONDecodeError=ValueError)", "s._parse_summary('x')"),
        ("s.logger = types.SimpleNamespace(warning=s._parse_summary)", "s._parse_summary('not json')"),
    ],
)
def test_module_functions_calling_themselves_hit_the_recursion_limit(setup, call):
    # A module global rebound to one of the module's own functions makes the
    # logic call itself with no Python frame in between; that loop must end in
    # RecursionError, as it would for Python functions, not in a crash. It runs
    # on a thread with a large stack, which the limit fits also in a sanitizer
    # build's larger frames.
    result = run_python(
        f"""
        import threading, types
        import korbix.core.summarizer as s
        {setup}

        def run():
            try:
                {call}
            except RecursionError:
                print("recursion")

        threading.stack_size(64 << 20)
        runner = threading.Thread(target=run)
        runner.start()
        runner.join()
        """,
        check=False,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "recursion"
