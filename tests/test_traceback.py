"""Traceback entries: one cached code object per line and function name."""

import pytest

from support import run_python

# Two entries at the same line with different names: a refused call of
# summarize_messages (dotted name) and a refused first send of its coroutine
# (short name). Each order runs in a fresh process so the cache starts empty.
REFUSED_CALL = """
try:
    instance.summarize_messages()
except TypeError as exc:
    names.append([(f.f_code.co_name, l) for f, l in traceback.walk_tb(exc.__traceback__)][-1])
"""
REFUSED_SEND = """
coro = instance.summarize_messages([])
try:
    coro.send(1)
except TypeError as exc:
    names.append([(f.f_code.co_name, l) for f, l in traceback.walk_tb(exc.__traceback__)][-1])
"""


@pytest.mark.no_refleak  # a fresh interpreter per run
@pytest.mark.parametrize("first, second", [(REFUSED_CALL, REFUSED_SEND), (REFUSED_SEND, REFUSED_CALL)])
def test_same_line_keeps_each_function_name(first, second):
    result = run_python(
        "import traceback, korbix.core.summarizer as s\n"
        "instance = s.ConversationSummarizer(None)\nnames = []\n"
        + first + second + first + second + "print(sorted(set(names)))\n"
    )
    assert result.stdout.strip() == str(sorted({
        ("korbix.core.summarizer.ConversationSummarizer.summarize_messages", 62),
        ("summarize_messages", 62),
    }))


def test_entry_leaves_the_exception_itself_alone():
    import korbix.core.summarizer as s

    class Boom(Exception):
        pass

    error = Boom("x")

    class Clock:
        @staticmethod
        def time():
            raise error

    saved = s.time
    s.time = Clock
    try:
        with pytest.raises(Boom) as info:
            s._empty_summary()
    finally:
        s.time = saved
    assert info.value is error and info.value.args == ("x",)
    frames = [f for f, _ in __import__("traceback").walk_tb(error.__traceback__)]
    assert frames[-2].f_code.co_name == "korbix.core.summarizer._empty_summary"
    assert frames[-2].f_globals is vars(s)
