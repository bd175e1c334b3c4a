"""Fixtures: Python stand-ins for the summarizer's logic functions, the
stub endpoint and conversation file of the client and command-line tests, and
the hypothesis profiles. Also loads the optional reference-leak mode
(``pytest --refleak``). The test doubles themselves are in support.py."""

import json
import os
import types

import pytest
from hypothesis import HealthCheck, settings

import korbix.core.summarizer as summarizer
from support import record_with

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


@pytest.fixture
def stub():
    """A loopback OpenAI-compatible endpoint; see tools_support.StubEndpoint."""
    # Imported here: the native-module tests need none of the client stack.
    from tools_support import StubEndpoint

    with StubEndpoint() as endpoint:
        yield endpoint


@pytest.fixture
def conversation_file(request, tmp_path):
    """The requesting test module's MESSAGES, written as a JSON list."""
    path = tmp_path / "conversation.json"
    path.write_text(json.dumps(request.module.MESSAGES))
    return path
