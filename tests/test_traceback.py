"""Traceback entries: one cached code object per line and function name."""

import gc

import pytest

from support import EMPTY_SUMMARY, SOURCE_FILE, SUMMARIZE, Boom, run_python

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
    assert result.stdout.strip() == str(sorted({(SUMMARIZE, 62), ("summarize_messages", 62)}))


def test_entry_leaves_the_exception_itself_alone():
    import korbix.core.summarizer as s

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
    assert frames[-2].f_code.co_name == EMPTY_SUMMARY
    assert frames[-2].f_globals is vars(s)


def module_frame(exc):
    frames = [frame for frame, _ in __import__("traceback").walk_tb(exc.__traceback__)
              if frame.f_code.co_filename == SOURCE_FILE]
    assert len(frames) == 1
    return frames[0]


def failed_decode():
    import korbix.core.summarizer as s

    try:
        s._parse_summary("[1]")  # parsed, but a list has no `get`
    except AttributeError as exc:
        return exc
    raise AssertionError("no failure")


def test_entry_frames_are_never_shared_and_always_look_new():
    first = failed_decode()
    second = failed_decode()
    # Two live tracebacks never show one frame.
    assert module_frame(first) is not module_frame(second)

    frame = module_frame(second)
    frame.f_trace = lambda *args: None
    frame.f_trace_lines = False
    frame.f_trace_opcodes = True
    del first, second, frame  # nothing holds the frames any more
    gc.collect()
    for _ in range(3):
        fresh = module_frame(failed_decode())
        assert (fresh.f_trace, fresh.f_trace_lines, fresh.f_trace_opcodes) == (None, True, False)
        assert fresh.f_lineno == 235 and fresh.f_back is None and dict(fresh.f_locals) == {}
        assert fresh.f_globals is __import__("korbix.core.summarizer", fromlist=["x"]).__dict__


def test_reset_that_runs_python_code_never_shares_a_frame():
    # Resetting the kept frame drops its f_trace, whose finalizer fails in
    # the module at the same line while the outer entry is being made.
    inner = []

    class Tracer:
        def __call__(self, *args):
            return None

        def __del__(self):
            inner.append(failed_decode())

    first = failed_decode()
    module_frame(first).f_trace = Tracer()
    del first
    gc.collect()
    outer = failed_decode()
    assert len(inner) == 1
    assert module_frame(outer) is not module_frame(inner[0])
    assert module_frame(outer).f_trace is None and module_frame(inner[0]).f_trace is None
