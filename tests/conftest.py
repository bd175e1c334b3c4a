"""Shared helpers: Python stand-ins for the summarizer's logic functions and
small LLM clients whose answers and awaitables the tests control. Also
loads the optional reference-leak mode (``pytest --refleak``)."""

import asyncio
import os
import types

import pytest
from hypothesis import HealthCheck, settings

import korbix.core.summarizer as summarizer

pytest_plugins = ["refleak"]

# The default keeps the suite fast; HYPOTHESIS_PROFILE=long runs many more cases
# (for sanitizer builds or before a release).
settings.register_profile(
    "default", max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("long", parent=settings.get_profile("default"), max_examples=3000)
# CI runs the same examples every time, so that its verdict is the one seen locally with CI=true.
settings.register_profile("ci", parent=settings.get_profile("default"), derandomize=True, database=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci" if os.environ.get("CI") else "default"))


class Answer:
    def __init__(self, content):
        self.content = content


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


@pytest.fixture
def logic(monkeypatch):
    """Stand-ins that follow the documented behaviour closely enough for the
    operation: a one-line transcript per message, the answer text as the
    narrative, and a fallback that counts the messages."""
    calls = types.SimpleNamespace(parse=[], fallback=[])

    def format_messages(messages):
        return "\n".join(f"[{m.get('role', 'unknown')}]: {m.get('content', '')}" for m in messages)

    def parse_summary(text):
        calls.parse.append(text)
        return record_with(summary=text)

    def fallback_summary(messages):
        calls.fallback.append(messages)
        return record_with(summary=f"fallback {len(messages)}")

    monkeypatch.setattr(summarizer, "_format_messages_for_summary", format_messages)
    monkeypatch.setattr(summarizer, "_parse_summary", parse_summary)
    monkeypatch.setattr(summarizer, "_fallback_summary", fallback_summary)
    return calls


MESSAGES = [{"role": "user", "content": "hi"}, {"role": "assistant", "content": "hello"}]


def drive(coroutine, value=None):
    """One manual send; returns ("yield", v) or ("return", v)."""
    try:
        return "yield", coroutine.send(value)
    except StopIteration as stop:
        return "return", stop.value
