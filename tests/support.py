"""Helpers and test doubles shared by the test modules of the native module
(the client and command-line tests have theirs in tools_support.py, and take
the rendering helpers from here)."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import textwrap
import traceback

import korbix.core.summarizer as summarizer

# Every traceback entry the module adds names this file; its function names are
# the dotted names below, or a short one such as the coroutine's
# "summarize_messages" and "init korbix.core.summarizer" at import.
SOURCE_FILE = "korbix/core/summarizer.pyx"
MODULE_PREFIX = "korbix.core.summarizer."
INIT = MODULE_PREFIX + "ConversationSummarizer.__init__"
SUMMARIZE = MODULE_PREFIX + "ConversationSummarizer.summarize_messages"
CONTEXT = MODULE_PREFIX + "ConversationSummarizer.format_summary_for_context"
TRANSCRIPT = MODULE_PREFIX + "_format_messages_for_summary"
BRIEF = MODULE_PREFIX + "_brief_args"
PARSE = MODULE_PREFIX + "_parse_summary"
FALLBACK = MODULE_PREFIX + "_fallback_summary"
EMPTY_SUMMARY = MODULE_PREFIX + "_empty_summary"


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


# ---- records and outcomes --------------------------------------------------------


def without_time(record):
    """A record without its time stamp, which no two builds share."""
    assert isinstance(record["created_at"], float)
    return {key: value for key, value in record.items() if key != "created_at"}


def outcome(function, *args):
    """The result of a call, or the type and text of what it raised."""
    try:
        result = function(*args)
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return ("raised", type(exc), str(exc))
    if isinstance(result, dict) and "created_at" in result:
        result = without_time(result)
    return ("returned", result)


def context(summary):
    return summarizer.ConversationSummarizer.format_summary_for_context(None, summary)


# The rendering through a bound method, as a caller of the module does.
RENDER = summarizer.ConversationSummarizer(None).format_summary_for_context
# The heading of every context block, the whole block of an empty record.
BANNER = "## Conversation History Summary\n*(Earlier messages were summarized to save context space)*\n"


# ---- test doubles ----------------------------------------------------------------


class Answer:
    def __init__(self, content):
        self.content = content


class Boom(Exception):
    pass


class SubDict(dict):
    """A dict subclass that keeps dict's own `get`."""


class StrSub(str):
    pass


class Steps:
    """An awaitable that yields each of `values` and then returns `result`;
    it records what it was sent and whether it was closed or thrown into."""

    def __init__(self, values=("tick",), result=None):
        self.values = list(values)
        self.result = result
        self.received = []
        self.thrown = []
        self.closed = False

    def __await__(self):
        try:
            for value in self.values:
                self.received.append((yield value))
        except GeneratorExit:
            self.closed = True
            raise
        except BaseException as error:
            self.thrown.append(error)
            raise
        return self.result


class Client:
    """`complete` records its keyword arguments and returns `awaitable(kwargs)`."""

    def __init__(self, content='{"summary": "ok"}', awaitable=None):
        self.calls = []
        self.content = content
        self.awaitable = awaitable

    def complete(self, **kwargs):
        self.calls.append(kwargs)
        if self.awaitable is not None:
            return self.awaitable(kwargs)
        return self._answer()

    async def _answer(self):
        await asyncio.sleep(0)
        return Answer(self.content)


def record_with(**fields):
    record = summarizer._empty_summary()
    record.update(fields)
    return record


MESSAGES = [{"role": "user", "content": "hi"}, {"role": "assistant", "content": "hello"}]


def drive(coroutine, value=None):
    """One manual send; returns ("yield", v) or ("return", v)."""
    try:
        return "yield", coroutine.send(value)
    except StopIteration as stop:
        return "return", stop.value


class RecordingLogger:
    """Stands in for `logger`: each `warning` or `error` call is handed to
    `record(level, args, kwargs)`, and the call of level `failing` then raises."""

    def __init__(self, record, failing=None):
        self.record, self.failing = record, failing

    def _log(self, level, *args, **kwargs):
        self.record(level, args, kwargs)
        if level == self.failing:
            raise RuntimeError(f"logger.{level} failed")

    def warning(self, *args, **kwargs):
        self._log("warning", *args, **kwargs)

    def error(self, *args, **kwargs):
        self._log("error", *args, **kwargs)
