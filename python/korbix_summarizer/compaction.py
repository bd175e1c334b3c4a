"""Context compaction for an agent loop.

``Compactor`` decides when a conversation has outgrown its share of the
agent model's context window, cuts it at a place where no tool call is
separated from its results, has ``korbix.core.summarizer`` condense the
older part, and hands back a new message list: the agent's own leading
system messages, one system message holding the rendered summary, and the
newest messages verbatim.

A span too long for the summarizing model's window is summarized in
consecutive requests, each building on the summary of the one before, so no
message is dropped unread. A failed request raises ``CompactionError`` and
leaves the caller's conversation as it was.

Before a record is committed it is checked against the span it replaces:
the span's identifiers (paths, URLs, versions, error names...) that the
record lost are put back into its key facts (``facts``), and the goals,
decisions and facts of the earlier summary that the new record neither
restates nor settles are carried over (``carryover``). With ``redact=True``
credentials are replaced by markers before anything reaches the summarizer
(``redact``). ``Compactor.prepare`` summarizes the older part of a growing
conversation in the background, so that the turn that reaches the trigger
applies a ready record instead of waiting for one.

The work is split into steps that can be used and tested on their own: the
decisions are pure functions of the message list (``split_leading``,
``atomic_units``, ``choose_cut``, ``take_chunk``, ``summarizer_view``, and
those of the three modules named above); ``Compactor.plan`` applies them to
a conversation, ``Compactor.summarize`` performs the requests and returns
the record, ``Compactor.repair`` completes it with what it lost, and
``Compactor.commit`` builds the new conversation from the plan and the
record.
"""

from __future__ import annotations

import asyncio
import bisect
import contextlib
import contextvars
import dataclasses
import functools
import hashlib
import json
import logging
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, Protocol, cast

from korbix.core import summarizer as _summarizer

from .carryover import as_items, carry_over
from .clients import ANSWER_TOKENS, LOGGER_NAME, UNPARSABLE_ANSWER, WatchedClient, describe_error
from .facts import SpanFacts, repair_items, span_facts
from .redact import redact_messages, redact_text, redact_value
from .rendered import CONVERSATION_HEADING, EARLIER_HEADING, parse_context_block, reading_from
from .schema import RESULT_ROLES, SUMMARY_KEYS, TEXT_KEYS
from .tokens import MESSAGE_OVERHEAD, REPLY_PRIMING, MessageCounter, default_counter

__all__ = [
    "ANSWER_TOKENS",
    "SUMMARY_BANNER",
    "ChunkProgress",
    "CompactionError",
    "CompactionPlan",
    "CompactionResult",
    "Compactor",
    "Layout",
    "SpanSummary",
    "atomic_units",
    "choose_cut",
    "is_summary_message",
    "split_leading",
    "summarizer_view",
    "take_chunk",
]

Message = Mapping[str, Any]

# The summarizer's request: the user turn it ends with. Its answer length
# (ANSWER_TOKENS) and the headings around the earlier summary and the
# transcript are defined with the code that sends and reads requests.
USER_REQUEST: Final = "Summarize the conversation above. Return ONLY the JSON object."
# The earlier name of EARLIER_HEADING.
PREVIOUS_HEADING: Final = EARLIER_HEADING

# Every rendered summary starts with this banner (the rendering of a record
# with no entries), which is how an earlier summary message is recognised.
SUMMARY_BANNER: Final[str] = _summarizer.ConversationSummarizer(None).format_summary_for_context({})  # type: ignore[arg-type]

# Room kept in the target for the summary message that replaces the span:
# the longest answer the summarizer may give, plus the headings around it.
SUMMARY_RESERVE: Final = ANSWER_TOKENS + 64
# A request must leave at least this much room for the transcript.
MIN_TRANSCRIPT_ROOM: Final = 64

SYSTEM_ROLES: Final = ("system", "developer")
# The roles the transcript renders; a message of any other role leaves no line.
TRANSCRIPT_ROLES: Final = ("user", "assistant", "tool")


class CompactionError(Exception):
    """A summarizer request failed; nothing was compacted.

    ``request`` is the number (from 1) of the request that failed; the
    exception that made it fail is chained as ``__cause__``.
    """

    def __init__(self, message: str, *, request: int = 0) -> None:
        super().__init__(message)
        self.request = request


class _Completion(Protocol):
    @property
    def content(self) -> str | None: ...


class SummarizerClient(Protocol):
    """What the summarizer needs from an LLM client."""

    async def complete(
        self, *, messages: list[dict[str, str]], temperature: float, max_tokens: int
    ) -> _Completion: ...


# ---------------------------------------------------------------- decisions


def is_summary_message(message: Message) -> bool:
    """Whether ``message`` is a summary message made by an earlier compaction."""
    content = message.get("content")
    return (
        message.get("role") == "system"
        and isinstance(content, str)
        and content.startswith(SUMMARY_BANNER)
    )


@dataclass(frozen=True, slots=True)
class Layout:
    """Where a conversation's parts lie: indices into the message list.

    ``head`` are the leading system messages (the agent's own prompt),
    ``summaries`` the earlier summary messages among them, and the body, the
    part that may be summarized, starts at ``body_start``.
    """

    head: tuple[int, ...]
    summaries: tuple[int, ...]
    body_start: int


def split_leading(messages: Sequence[Message]) -> Layout:
    """Split off the leading run of system messages and the summaries in it."""
    head: list[int] = []
    summaries: list[int] = []
    index = 0
    while index < len(messages) and messages[index].get("role") in SYSTEM_ROLES:
        (summaries if is_summary_message(messages[index]) else head).append(index)
        index += 1
    return Layout(tuple(head), tuple(summaries), index)


def _call_key(value: object) -> str | int | None:
    return value if isinstance(value, (str, int)) and not isinstance(value, bool) else None


def _blocks(message: Message, kind: str) -> list[Mapping[str, Any]]:
    """The content blocks of type ``kind`` (the Messages API's layout)."""
    content = message.get("content")
    if not isinstance(content, list):
        return []
    return [block for block in content if isinstance(block, dict) and block.get("type") == kind]


def _call_ids(message: Message) -> list[str | int]:
    """Ids of the tool calls an assistant message makes: its ``tool_calls``
    (both chat-completions layouts) and its ``tool_use`` content blocks."""
    if message.get("role") != "assistant":
        return []
    calls = message.get("tool_calls")
    keys = [_call_key(block.get("id")) for block in _blocks(message, "tool_use")]
    if isinstance(calls, list):
        keys[:0] = [_call_key(call.get("id")) for call in calls if isinstance(call, dict)]
    return [key for key in keys if key is not None]


def _answered_ids(message: Message) -> list[str | int]:
    """Ids of the calls a message answers: a tool result's ``tool_call_id``,
    or the ``tool_use_id`` of each ``tool_result`` block of a user message."""
    role = message.get("role")
    if role in RESULT_ROLES:
        keys = [_call_key(message.get("tool_call_id"))]
    elif role == "user":
        keys = [_call_key(block.get("tool_use_id")) for block in _blocks(message, "tool_result")]
    else:
        return []
    return [key for key in keys if key is not None]


def _is_result(message: Message) -> bool:
    """Whether the message carries tool results, which a unit never starts with."""
    return message.get("role") in RESULT_ROLES or (
        message.get("role") == "user" and bool(_blocks(message, "tool_result"))
    )


def atomic_units(messages: Sequence[Message]) -> list[range]:
    """The conversation as consecutive units that a cut must not split.

    A unit is one message, or an assistant message that calls tools together
    with every message up to its last tool result; results are matched to
    calls by id (``tool_call_id``, or a ``tool_result`` block's
    ``tool_use_id``; to the latest call with that id), so parallel calls,
    results that arrive late and calls that never got a result are all
    handled. A tool result never starts a unit, so a result whose call is
    unknown stays with the messages before it.
    """
    owner: dict[str | int, int] = {}
    reach = list(range(len(messages)))
    for index, message in enumerate(messages):
        for call_id in _answered_ids(message):
            caller = owner.get(call_id)
            if caller is not None:
                reach[caller] = index
        for call_id in _call_ids(message):
            owner[call_id] = index
    units: list[range] = []
    start = 0
    furthest = -1
    for cut in range(1, len(messages) + 1):
        furthest = max(furthest, reach[cut - 1])
        if furthest < cut and (cut == len(messages) or not _is_result(messages[cut])):
            units.append(range(start, cut))
            start = cut
    return units


def has_pending_calls(messages: Sequence[Message], unit: range) -> bool:
    """Whether an assistant message in ``unit`` has calls still without results."""
    answered = {call_id for i in unit for call_id in _answered_ids(messages[i])}
    return any(call_id not in answered for i in unit for call_id in _call_ids(messages[i]))


def choose_cut(
    units: Sequence[range],
    costs: Sequence[int],
    keep_recent: int,
    budget: int,
    *,
    pending: bool = False,
) -> int:
    """Where the kept tail starts; 0 when nothing can be summarized.

    The tail starts at a unit boundary, holds at least ``keep_recent``
    messages, and grows unit by unit towards the start while the cost of its
    messages stays within ``budget``; the first unit is always summarized.
    ``pending`` (the last unit waits for tool results) forbids an empty
    tail, so results that arrive later still find their call.
    """
    if not units:
        return 0
    total = units[-1].stop
    cuts = [unit.start for unit in units[1:]]
    if not pending:
        cuts.append(total)
    candidates = [cut for cut in cuts if total - cut >= keep_recent]
    if not candidates:
        return 0
    cut = candidates[-1]
    tail = sum(costs[cut:])
    for earlier in reversed(candidates[:-1]):
        grown = tail + sum(costs[earlier:cut])
        if grown > budget:
            break
        cut, tail = earlier, grown
    return cut


def take_chunk(costs: Sequence[int], unit_ends: Sequence[int], start: int, budget: int) -> int:
    """End (exclusive) of the request chunk that starts at message ``start``.

    Whole units are taken while their costs fit ``budget``; a unit that does
    not fit even an empty chunk is taken message by message. The result is
    ``start`` itself when the first message alone does not fit.
    """
    end = start
    used = 0
    for unit_end in unit_ends[bisect.bisect_right(unit_ends, start) :]:
        unit_cost = sum(costs[end:unit_end])
        if used + unit_cost <= budget:
            used += unit_cost
            end = unit_end
            continue
        if end == start:
            while end < unit_end and used + costs[end] <= budget:
                used += costs[end]
                end += 1
        break
    return end


def summarizer_view(message: Message) -> Message:
    """The message as the summarizer is given it.

    The transcript leaves out messages of roles it does not render (a system
    message in the middle of the conversation, for instance); such a message
    with content is handed over as a note in an assistant message instead,
    so that its text is summarized rather than lost.
    """
    role = message.get("role")
    content = message.get("content")
    if role in TRANSCRIPT_ROLES or not content:
        return message
    return {"role": "assistant", "content": f"[{role} message]: {content}"}


def _read_span(
    views: list[Message], previous: str | None, *, redact: bool, carry_over: bool
) -> tuple[list[Message], str | None, dict[str, Any] | None, SpanFacts, int]:
    """What a span's requests and checks read: the messages and the earlier
    summary (with their credentials redacted when ``redact``), the earlier
    summary's record (for ``carry_over``), the span's identifiers, and the
    number of credentials redacted. New objects; ``views`` is not changed."""
    redacted = 0
    if redact:
        views, redacted = redact_messages(views)
        if previous is not None:
            previous, count = redact_text(previous)
            redacted += count
    earlier = parse_context_block(previous) if previous and carry_over else None
    return views, previous, earlier, span_facts(views), redacted


def request_text(previous: str | None, transcript: str) -> str:
    """The system text of a summarizer request, as the module builds it."""
    parts = [_summarizer.SUMMARIZE_PROMPT]
    if previous:
        parts.append(EARLIER_HEADING + previous)
    parts.append(CONVERSATION_HEADING + transcript)
    return "\n".join(parts)


# ---------------------------------------------------------------- results


@dataclass(frozen=True, slots=True)
class CompactionPlan:
    """What a compaction replaces, as indices into the caller's list.

    The new conversation is the messages at ``head``, the summary message,
    and everything from ``span.stop`` on. ``span`` is summarized;
    ``replaced`` are the earlier summary messages, whose text
    (``earlier_summary``) the new summary builds on.
    """

    head: tuple[int, ...]
    replaced: tuple[int, ...]
    earlier_summary: str | None
    span: range
    tokens_before: int


@dataclass(frozen=True, slots=True)
class ChunkProgress:
    """One summarizer request about to be sent."""

    request: int
    first: int  # index of the chunk's first message in the caller's list
    last: int  # index of its last message
    span: range
    tokens: int  # tokens of the request, the answer's allowance included


@dataclass(frozen=True, slots=True)
class SpanSummary:
    """The outcome of summarizing a span: the record and how it was made.

    ``facts`` are the span's identifiers as the summarizer was given them;
    ``fidelity`` is the share of them that the summarizer's record mentions,
    ``fidelity_repaired`` the share after ``Compactor.repair`` (None before
    it), ``repaired`` the key facts the repair added. ``retried`` says that
    the last request was repeated because of ``min_fidelity``. ``carried``
    are the earlier summary's items put back into the record, ``dropped``
    the items that the bound on list lengths took out of it. ``redacted``
    counts the credentials replaced in what the summarizer was sent.
    """

    record: dict[str, Any]
    requests: int
    truncated: tuple[int, ...]
    fallbacks: int
    facts: SpanFacts = SpanFacts(())
    fidelity: float | None = None
    fidelity_repaired: float | None = None
    repaired: tuple[str, ...] = ()
    retried: bool = False
    carried: tuple[str, ...] = ()
    dropped: tuple[str, ...] = ()
    redacted: int = 0


@dataclass(frozen=True, slots=True)
class CompactionResult:
    """The new conversation and what it took to make it.

    ``messages`` is a new list (the caller's list and messages are never
    changed; unchanged messages are the caller's own objects). ``record`` is
    the Summary record rendered into it, or None when nothing was compacted.
    ``compacted`` is how many of the caller's messages the summary message
    replaced (the summarized span and any earlier summary message).
    ``requests`` counts the summarizer requests this call made (a record
    prepared in the background made its requests before). ``truncated``
    holds the indices of messages that alone exceeded the summarizer's
    window and were cut for their request. ``fallbacks`` counts requests
    whose record is the module's message-only summary, which happens only
    when the compactor was asked to allow it.

    The checks of the record: ``identifiers`` is the number of identifiers
    in the summarized span, ``fidelity`` the share of them that the
    summarizer's record mentioned and ``fidelity_repaired`` the share after
    the missing ones were added to the key facts (``repaired``, the items
    added). ``retried`` says that the last request was repeated because its
    fidelity was below ``min_fidelity``. ``carried`` are goals, decisions
    and facts of the earlier summary that the new record had left out and
    that were put back; ``dropped`` are items the bound on list lengths
    took out. ``redacted`` counts the credentials replaced before the
    summarizer saw them. ``prepared`` says that the record was prepared in
    the background by ``Compactor.prepare``; ``prepare_error`` is the error
    of a background preparation that failed since the last ``compact``.
    """

    messages: list[dict[str, Any]]
    record: dict[str, Any] | None
    compacted: int
    requests: int
    tokens_before: int
    tokens_after: int
    truncated: tuple[int, ...] = ()
    fallbacks: int = 0
    identifiers: int = 0
    fidelity: float | None = None
    fidelity_repaired: float | None = None
    repaired: tuple[str, ...] = ()
    retried: bool = False
    carried: tuple[str, ...] = ()
    dropped: tuple[str, ...] = ()
    redacted: int = 0
    prepared: bool = False
    prepare_error: CompactionError | None = None


# ---------------------------------------------------------------- requests


_error_sink: contextvars.ContextVar[list[str] | None] = contextvars.ContextVar(
    "korbix_compaction_errors", default=None
)


@contextlib.contextmanager
def _module_errors() -> Iterator[list[str]]:
    """The error messages the summarizer logs meanwhile in this task, and
    its warning that it could not parse an answer.

    Other tasks and threads log through the same logger at the same time;
    the context variable tells this task's records from theirs.
    """
    logger = logging.getLogger(LOGGER_NAME)
    sink: list[str] = []

    def keep(record: logging.LogRecord) -> bool:
        if _error_sink.get() is sink and (
            record.levelno >= logging.ERROR or record.getMessage() == UNPARSABLE_ANSWER
        ):
            sink.append(record.getMessage())
        return True

    token = _error_sink.set(sink)
    logger.addFilter(keep)
    try:
        yield sink
    finally:
        logger.removeFilter(keep)
        _error_sink.reset(token)


def _dicts(messages: Sequence[Message]) -> list[dict[str, Any]]:
    """The messages as the module's list argument (it reads them through ``get``)."""
    return cast(list[dict[str, Any]], list(messages))


def _without_time(record: Mapping[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in record.items() if key != "created_at"}


def _is_fallback(record: Mapping[str, Any], chunk: Sequence[Message]) -> bool:
    """Whether ``record`` is the module's message-only record of ``chunk``."""
    try:
        fallback = _summarizer._fallback_summary(_dicts(chunk))
    except Exception:
        return False  # then the module could not have built it either
    return _without_time(record) == _without_time(fallback)


def _normalised(record: Mapping[str, Any]) -> dict[str, Any]:
    """The record with each list entry a list of texts (a lone text is one
    item) and each text entry a text, so that no entry is rendered one
    character per item or fails the rendering."""
    normalised = dict(record)
    for key in SUMMARY_KEYS:
        value = record.get(key)
        if key not in TEXT_KEYS:
            normalised[key] = as_items(value)
        elif isinstance(value, (list, tuple)):
            normalised[key] = "; ".join(as_items(value))
        elif not isinstance(value, str):
            normalised[key] = "" if value is None else str(value)
    return normalised


def _latest(earlier: CompactionError | None, later: CompactionError | None) -> CompactionError | None:
    """The later of two background errors, with the earlier one as its context."""
    if later is None or later is earlier:
        return earlier
    if earlier is not None and later.__context__ is None:
        later.__context__ = earlier
    return later


# ---------------------------------------------------------------- compactor


def _share(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= 1:
        raise ValueError(f"{name} must be a share of the window in (0, 1], not {value!r}")
    return float(value)


def _positive(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"{name} must be a positive number of tokens, not {value!r}")
    return value


def _count_of(name: str, value: int, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{name} must be a whole number >= {minimum}, not {value!r}")
    return value


def _check_messages(messages: Sequence[Message]) -> None:
    for number, message in enumerate(messages, 1):
        if not isinstance(message, Mapping):
            raise TypeError(f"message {number} is a {type(message).__name__}, not a dict")


def _digest(messages: Sequence[Message]) -> bytes:
    """A fingerprint of the messages' content (not of their identity)."""
    digest = hashlib.blake2b(digest_size=16)
    for message in messages:
        try:
            text = json.dumps(message, sort_keys=True, ensure_ascii=False, default=repr)
        except (TypeError, ValueError):  # keys that cannot be sorted, cycles
            text = repr(message)
        digest.update(text.encode("utf-8", "surrogatepass") + b"\0")
    return digest.digest()


def _shifted(progress: Callable[[ChunkProgress], None] | None, shift: int) -> Callable[[ChunkProgress], None] | None:
    """``progress`` told the indices of the caller's list, for a list ``shift`` messages shorter."""
    if progress is None or shift == 0:
        return progress

    def report(chunk: ChunkProgress) -> None:
        span = range(chunk.span.start + shift, chunk.span.stop + shift)
        progress(ChunkProgress(chunk.request, chunk.first + shift, chunk.last + shift, span, chunk.tokens))

    return report


# A span of more tokens has its credentials redacted and its identifiers
# found in a worker thread, so that the event loop goes on meanwhile (that
# takes about 0.3 s per megabyte of text).
OFF_LOOP_TOKENS: Final = 8_192
# Tokens kept in the target for each key fact the repair may add.
REPAIR_TOKENS: Final = 64
# Identifiers listed at most in a retry's request.
RETRY_IDENTIFIERS: Final = 40
RETRY_HEADING: Final = "### Identifiers of this conversation that the summary must keep"


@dataclass(frozen=True, slots=True)
class _Preparation:
    """A summary being made in the background for the first ``plan.span.stop`` messages."""

    task: asyncio.Task[SpanSummary | CompactionError]
    plan: CompactionPlan
    digest: bytes
    prefix: tuple[Message, ...]


class Compactor:
    """Keeps an agent's conversation within its model's context window.

    ``client`` summarizes (any object with an async ``complete``, such as
    ``OpenAICompatibleClient``); None makes every summary the module's
    message-only record (the first request and the message count), without
    any LLM. ``context_window`` is the agent model's window in tokens;
    compaction is due above ``trigger`` of it and aims at ``target`` of it.
    At least ``keep_recent`` of the newest messages stay verbatim.
    ``summarizer_window`` is the summarizing model's window (default: the
    same). ``count_tokens`` counts the tokens of a text (default: the best
    tokenizer available offline; ``tokenizer`` names what is in use).

    ``timeout`` bounds each summarizer request in seconds (None: no bound).
    ``allow_fallback`` commits the module's message-only record for a
    request that failed instead of raising ``CompactionError``.

    What is checked before a record is committed:

    - ``max_repairs`` (12): at most this many of the span's identifiers
      that the record does not mention are added to its key facts, quoted
      from the span, the most frequent and then the most recent first
      (``korbix_summarizer.facts``); 0 only measures.
    - ``min_fidelity`` (None): when the record mentions a smaller share of
      the span's identifiers, the last request is sent once more with the
      missing identifiers listed after the earlier summary, and the record
      that mentions more of them is kept (a retry that fails raises
      ``CompactionError`` as any request does).
    - ``carry_over`` (True): goals, decisions and facts of the earlier
      summary that the new record neither restates nor shows settled are
      put back, and every list is bounded to ``max_items`` (16) items,
      oldest merged or dropped first (the rule is given in
      ``korbix_summarizer.carryover``).
    - ``redact`` (False): credentials in the messages and the earlier
      summary are replaced by markers such as "[redacted: api key]" before
      any request (``korbix_summarizer.redact``). Off by default because
      the summarizer is asked to keep the credentials an agent needs.

    ``prepare_at`` (default: halfway between ``target`` and ``trigger``) is
    the share of the window above which ``prepare`` starts summarizing the
    older part of the conversation in the background. The compactor owns
    that task: ``aclose`` (or leaving ``async with``) cancels it.
    """

    def __init__(
        self,
        client: SummarizerClient | None,
        context_window: int = 32_000,
        trigger: float = 0.75,
        target: float = 0.5,
        keep_recent: int = 6,
        summarizer_window: int | None = None,
        count_tokens: Callable[[str], int] | None = None,
        *,
        timeout: float | None = 300.0,
        allow_fallback: bool = False,
        max_repairs: int = 12,
        min_fidelity: float | None = None,
        carry_over: bool = True,
        max_items: int = 16,
        redact: bool = False,
        prepare_at: float | None = None,
    ) -> None:
        self.context_window = _positive("context_window", context_window)
        self.trigger = _share("trigger", trigger)
        self.target = _share("target", target)
        if self.target > self.trigger:
            raise ValueError(f"target ({target!r}) must not exceed trigger ({trigger!r})")
        if isinstance(keep_recent, bool) or not isinstance(keep_recent, int) or keep_recent < 0:
            raise ValueError(f"keep_recent must be a number of messages >= 0, not {keep_recent!r}")
        self.keep_recent = keep_recent
        self.summarizer_window = (
            context_window
            if summarizer_window is None
            else _positive("summarizer_window", summarizer_window)
        )
        if timeout is not None and not timeout > 0:  # NaN too
            raise ValueError(f"timeout must be positive or None, not {timeout!r}")
        self.timeout = timeout
        self.allow_fallback = allow_fallback
        self.max_repairs = _count_of("max_repairs", max_repairs, 0)
        if min_fidelity is not None and (
            isinstance(min_fidelity, bool)
            or not isinstance(min_fidelity, (int, float))
            or not 0 <= min_fidelity <= 1
        ):
            raise ValueError(f"min_fidelity must be a share in [0, 1] or None, not {min_fidelity!r}")
        self.min_fidelity = min_fidelity
        self.carry_over = bool(carry_over)
        self.max_items = _count_of("max_items", max_items, 1)
        self.redact = bool(redact)
        if prepare_at is None:
            self.prepare_at = (self.target + self.trigger) / 2
        else:
            self.prepare_at = _share("prepare_at", prepare_at)
            if self.prepare_at > self.trigger:
                raise ValueError(f"prepare_at ({prepare_at!r}) must not exceed trigger ({trigger!r})")
        if count_tokens is None:
            count_tokens, self.tokenizer = default_counter()
        elif callable(count_tokens):
            self.tokenizer = f"custom: {getattr(count_tokens, '__qualname__', repr(count_tokens))}"
        else:
            raise TypeError(f"count_tokens must be a callable(str) -> int, not {count_tokens!r}")
        self._client = client
        self._counter = MessageCounter(count_tokens)
        if client is not None:
            room = self.summarizer_window - self._request_tokens(None, "")
            if room < MIN_TRANSCRIPT_ROOM:
                raise ValueError(self._no_room("the prompt"))
        # Rendering a record does not use the client.
        self._renderer = _summarizer.ConversationSummarizer(None)  # type: ignore[arg-type]
        # Room kept in the target for the summary message and the facts a repair adds.
        self._summary_reserve = SUMMARY_RESERVE + self.max_repairs * REPAIR_TOKENS
        self._preparation: _Preparation | None = None
        # Preparations cancelled and not yet ended, which aclose waits for.
        self._cancelled: set[asyncio.Task[Any]] = set()
        # The error of a failed preparation, until a compaction reports it.
        self._background_error: CompactionError | None = None

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(context_window={self.context_window}, trigger={self.trigger}, "
            f"target={self.target}, keep_recent={self.keep_recent}, "
            f"summarizer_window={self.summarizer_window}, tokenizer={self.tokenizer!r})"
        )

    async def __aenter__(self) -> Compactor:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    # ------------------------------------------------------------ counting

    def count(self, messages: Sequence[Message]) -> int:
        """Tokens of the conversation as a request of the agent's model."""
        return self._counter.conversation(messages)

    def needs_compaction(self, messages: Sequence[Message]) -> bool:
        """Whether the conversation exceeds ``trigger`` of the context window."""
        return self.count(messages) > self.trigger * self.context_window

    # ------------------------------------------------------------ steps

    def plan(self, messages: Sequence[Message], *, force: bool = False) -> CompactionPlan | None:
        """What to summarize, or None when nothing is due or nothing can be cut."""
        _check_messages(messages)
        tokens = self.count(messages)
        if not force and tokens <= self.trigger * self.context_window:
            return None
        return self._plan(messages, tokens, self.target)

    def _plan(self, messages: Sequence[Message], tokens: int, share: float) -> CompactionPlan | None:
        """The plan whose kept tail, with the summary, fits ``share`` of the window."""
        layout = split_leading(messages)
        body = messages[layout.body_start :]
        units = atomic_units(body)
        costs = [self._counter.message(message) for message in body]
        fixed = (
            self._counter.messages(messages[i] for i in layout.head)
            + self._summary_reserve
            + REPLY_PRIMING
        )
        pending = bool(units) and has_pending_calls(body, units[-1])
        cut = choose_cut(
            units, costs, self.keep_recent, int(share * self.context_window) - fixed, pending=pending
        )
        if cut == 0:
            return None
        earlier = "\n\n".join(messages[i]["content"] for i in layout.summaries) or None
        return CompactionPlan(
            head=layout.head,
            replaced=layout.summaries,
            earlier_summary=earlier,
            span=range(layout.body_start, layout.body_start + cut),
            tokens_before=tokens,
        )

    async def summarize(
        self,
        messages: Sequence[Message],
        plan: CompactionPlan,
        *,
        progress: Callable[[ChunkProgress], None] | None = None,
    ) -> SpanSummary:
        """Summarize the plan's span in as many requests as its size needs.

        With ``carry_over``, each request's record is merged with the one it
        builds on (the earlier summary for the first request). With
        ``min_fidelity``, a last record that mentions too few of the span's
        identifiers is asked for once more.
        """
        views = [summarizer_view(messages[i]) for i in plan.span]
        read = functools.partial(
            _read_span, views, plan.earlier_summary, redact=self.redact, carry_over=self.carry_over
        )
        if self._counter.messages(views) > OFF_LOOP_TOKENS:
            # Nothing is kept from a cancelled read: its thread ends unheeded.
            views, previous, earlier, facts, redacted = await asyncio.to_thread(read)
        else:
            views, previous, earlier, facts, redacted = read()
        if self._client is None:
            only, kept, lost = self._merged(earlier, _summarizer._fallback_summary(_dicts(views)))
            return SpanSummary(
                only, 0, (), 1, facts, facts.fidelity(only), carried=kept, dropped=lost, redacted=redacted
            )
        texts = [self._transcript([view]) for view in views]
        # A rendered message costs its tokens plus the line break joining it.
        costs = [self._counter.uncached(text) + 1 if text else 0 for text in texts]
        unit_ends = [unit.stop for unit in atomic_units(views)]
        truncated: list[int] = []
        fallbacks = 0
        carried: list[str] = []
        dropped: list[str] = []
        record: dict[str, Any] | None = None
        last: tuple[list[Message], str | None, Mapping[str, Any] | None, int, int, bool] | None = None
        start = 0
        request = 0
        while start < len(views):
            request += 1
            chunk, end, tokens, cut = self._fit_chunk(views, texts, costs, unit_ends, start, previous)
            if cut:
                truncated.append(plan.span[start])
            if progress is not None:
                progress(ChunkProgress(request, plan.span[start], plan.span[end - 1], plan.span, tokens))
            answer, failed = await self._request(chunk, previous, request)
            last = (chunk, previous, earlier, plan.span[start], plan.span[end - 1], failed)
            fallbacks += failed
            record, more, gone = self._merged(earlier, answer)
            carried += more
            dropped += gone
            earlier = record
            previous = self._renderer.format_summary_for_context(record)
            start = end
        assert record is not None and last is not None  # the span is never empty
        fidelity = facts.fidelity(record)
        retried = False
        if self.min_fidelity is not None and fidelity < self.min_fidelity:
            chunk, before, basis, first, final, failed = last
            request += 1
            note = self._retry_note(before, chunk, facts.missing(record))
            if progress is not None:
                tokens = self._request_tokens(note, self._transcript(chunk))
                progress(ChunkProgress(request, first, final, plan.span, tokens))
            answer, failed_again = await self._request(chunk, note, request)
            again, more, gone = self._merged(basis, answer)
            retried = True
            if facts.fidelity(again) >= fidelity:
                record, fidelity = again, facts.fidelity(again)
                fallbacks += failed_again - failed
                carried += more
                dropped += gone
        return SpanSummary(
            record, request, tuple(truncated), fallbacks, facts, fidelity, None, (), retried,
            tuple(dict.fromkeys(carried)), tuple(dict.fromkeys(dropped)), redacted,
        )

    def repair(self, summary: SpanSummary) -> SpanSummary:
        """The summary with the identifiers its record lost added to the key facts."""
        record = dict(summary.record)
        items = repair_items(summary.facts.missing(record), self.max_repairs)
        if items:
            record["key_facts"] = as_items(record.get("key_facts")) + items
        if self.redact:
            # Everything sent was redacted; this also covers what the model made up.
            record = {key: redact_value(value)[0] for key, value in record.items()}
        return dataclasses.replace(
            summary, record=record, repaired=tuple(items), fidelity_repaired=summary.facts.fidelity(record)
        )

    def commit(
        self, messages: Sequence[Message], plan: CompactionPlan, summary: SpanSummary
    ) -> CompactionResult:
        """The new conversation: the head, the summary message, the tail."""
        block = self._renderer.format_summary_for_context(summary.record)
        new = _dicts([messages[i] for i in plan.head])
        new.append({"role": "system", "content": block})
        new.extend(_dicts(messages[plan.span.stop :]))
        return CompactionResult(
            messages=new,
            record=summary.record,
            compacted=len(plan.span) + len(plan.replaced),
            requests=summary.requests,
            tokens_before=plan.tokens_before,
            tokens_after=self.count(new),
            truncated=summary.truncated,
            fallbacks=summary.fallbacks,
            identifiers=len(summary.facts.occurrences),
            fidelity=summary.fidelity,
            fidelity_repaired=summary.fidelity_repaired,
            repaired=summary.repaired,
            retried=summary.retried,
            carried=summary.carried,
            dropped=summary.dropped,
            redacted=summary.redacted,
        )

    async def compact(
        self,
        messages: Sequence[Message],
        force: bool = False,
        *,
        progress: Callable[[ChunkProgress], None] | None = None,
    ) -> CompactionResult:
        """Compact the conversation when it exceeds the trigger (or ``force``).

        Returns the input unchanged (as a new list, with ``record`` None)
        when nothing is due or no safe cut leaves anything to summarize.
        Raises ``CompactionError`` when a summarizer request fails; the
        caller's conversation is then as it was. ``progress`` is called
        before each request.

        A record that ``prepare`` made in the background is applied when
        the conversation still begins with the messages it summarizes
        (compared by content) and the cut after them is still safe; the
        newer messages are kept verbatim when the result fits under the
        trigger, and otherwise the oldest of them are summarized on top of
        the prepared record. A preparation still running is waited for; one
        whose messages changed is discarded. The error of a preparation
        that failed is reported as ``prepare_error`` while the compaction
        is made as if there had been none.
        """
        snapshot = list(messages)
        _check_messages(snapshot)
        tokens = self.count(snapshot)
        if not force and tokens <= self.trigger * self.context_window:
            return CompactionResult(_dicts(snapshot), None, 0, 0, tokens, tokens)
        # Taken in one step, so that a concurrent prepare() starts afresh.
        preparation, self._preparation = self._preparation, None
        error, self._background_error = self._background_error, None
        try:
            ready, failure = await self._take(preparation, snapshot)
            error = _latest(error, failure)
            if ready is not None:
                result = await self._apply(snapshot, tokens, *ready, progress)
            else:
                result = await self._compact_now(snapshot, tokens, progress)
        except BaseException:
            # Reported by the next compaction instead.
            self._background_error = _latest(error, self._background_error)
            raise
        return dataclasses.replace(result, prepare_error=error) if error is not None else result

    async def _compact_now(
        self, snapshot: list[Message], tokens: int, progress: Callable[[ChunkProgress], None] | None
    ) -> CompactionResult:
        plan = self._plan(snapshot, tokens, self.target)
        if plan is None:
            return CompactionResult(_dicts(snapshot), None, 0, 0, tokens, tokens)
        summary = self.repair(await self.summarize(snapshot, plan, progress=progress))
        return self.commit(snapshot, plan, summary)

    # ------------------------------------------------------------ background

    def prepare(self, messages: Sequence[Message]) -> bool:
        """Start summarizing the older part of the conversation in the background.

        Meant for every turn that does not compact: below ``prepare_at`` of
        the window, or while a preparation for these messages runs or is
        ready, it costs a count from the cache. Above it, a task of the
        running event loop summarizes the span that a compaction at the
        trigger would replace, leaving room for the messages that arrive
        meanwhile; the next ``compact`` applies its record. A preparation
        for messages that were since changed or removed is cancelled and a
        new one started. Returns whether a preparation for these messages
        is running or ready. Must be called in a running event loop.
        """
        loop = asyncio.get_running_loop()
        snapshot = list(messages)
        current = self._preparation
        if current is not None:
            if current.task.get_loop() is loop and self._same_start(current, snapshot):
                return True
            self._preparation = None
            self._background_error = _latest(self._background_error, self._discard(current))
        tokens = self.count(snapshot)
        if tokens <= self.prepare_at * self.context_window:
            return False
        _check_messages(snapshot)
        # The tail must leave room for what arrives until the trigger.
        plan = self._plan(snapshot, tokens, self.target - (self.trigger - self.prepare_at))
        if plan is None:
            return False
        prefix = tuple(snapshot[: plan.span.stop])
        task = loop.create_task(self._prepared(snapshot, plan), name="korbix-compaction-prepare")
        self._preparation = _Preparation(task, plan, _digest(prefix), prefix)
        return True

    async def aclose(self) -> None:
        """Cancel the background preparation and wait until it has ended.

        An error of a preparation that no compaction reported is logged as
        a warning on the "korbix.summarizer" logger.
        """
        preparation, self._preparation = self._preparation, None
        if preparation is not None:
            self._background_error = _latest(self._background_error, self._discard(preparation))
        loop = asyncio.get_running_loop()
        waiting = [task for task in self._cancelled if task.get_loop() is loop]
        if waiting:
            await asyncio.wait(waiting)
        error, self._background_error = self._background_error, None
        if error is not None:
            logging.getLogger(LOGGER_NAME).warning(
                "A background summary failed and no compaction reported it: %s", error
            )

    async def _prepared(self, snapshot: list[Message], plan: CompactionPlan) -> SpanSummary | CompactionError:
        """The background task: the repaired summary, or the error that stopped it.

        Errors are returned, not raised, so that they wait for the next
        compaction instead of surfacing in the event loop's handler.
        """
        try:
            return self.repair(await self.summarize(snapshot, plan))
        except CompactionError as error:
            return error
        except Exception as error:
            failure = CompactionError(f"the background summary failed: {describe_error(error)}")
            failure.__cause__ = error
            return failure

    def _same_start(self, preparation: _Preparation, snapshot: Sequence[Message]) -> bool:
        """Whether the conversation still begins with the prepared messages (same objects, or same content)."""
        prefix = preparation.prefix
        if len(snapshot) < len(prefix):
            return False
        if all(a is b for a, b in zip(prefix, snapshot, strict=False)):
            return True
        return _digest(snapshot[: len(prefix)]) == preparation.digest

    def _discard(self, preparation: _Preparation) -> CompactionError | None:
        """Cancel a preparation; the error it ended with, if it had ended with one."""
        task = preparation.task
        if not task.done():
            loop = task.get_loop()
            if loop is asyncio.get_running_loop():
                task.cancel()
                self._cancelled.add(task)
                task.add_done_callback(self._cancelled.discard)
            elif not loop.is_closed():  # a task of another thread's loop
                loop.call_soon_threadsafe(task.cancel)
            return None
        outcome = None if task.cancelled() else task.result()
        return outcome if isinstance(outcome, CompactionError) else None

    async def _take(
        self, preparation: _Preparation | None, snapshot: list[Message]
    ) -> tuple[tuple[CompactionPlan, SpanSummary] | None, CompactionError | None]:
        """The prepared plan and summary when they still apply, and a background error."""
        if preparation is None:
            return None, None
        task = preparation.task
        plan = preparation.plan
        stop = plan.span.stop
        still = (
            task.get_loop() is asyncio.get_running_loop()
            and len(snapshot) > stop
            and _digest(snapshot[:stop]) == preparation.digest
            # A result that arrived since for a call of the span would be cut off from it.
            and any(unit.start == stop - plan.span.start for unit in atomic_units(snapshot[plan.span.start :]))
        )
        if not still:
            return None, self._discard(preparation)
        # Waiting for a preparation still running; cancelling compact cancels it.
        outcome = await task
        if isinstance(outcome, CompactionError):
            return None, outcome
        return (plan, outcome), None

    async def _apply(
        self,
        snapshot: list[Message],
        tokens: int,
        plan: CompactionPlan,
        summary: SpanSummary,
        progress: Callable[[ChunkProgress], None] | None,
    ) -> CompactionResult:
        """The conversation with the prepared record in place of its span."""
        plan = dataclasses.replace(plan, tokens_before=tokens)
        applied = dataclasses.replace(self.commit(snapshot, plan, summary), requests=0, prepared=True)
        if applied.tokens_after <= self.trigger * self.context_window:
            return applied
        # Still too long: summarize the oldest of the newer messages on top of it.
        interim = applied.messages
        later = self._plan(interim, applied.tokens_after, self.target)
        if later is None:
            return applied
        shift = plan.span.stop - (len(plan.head) + 1)
        summary = self.repair(await self.summarize(interim, later, progress=_shifted(progress, shift)))
        result = self.commit(interim, later, summary)
        return dataclasses.replace(
            result,
            compacted=applied.compacted + result.compacted - 1,  # less the prepared summary message
            tokens_before=tokens,
            truncated=tuple(index + shift for index in result.truncated),
            prepared=True,
        )

    # ------------------------------------------------------------ record checks

    def _merged(
        self, earlier: Mapping[str, Any] | None, record: dict[str, Any]
    ) -> tuple[dict[str, Any], tuple[str, ...], tuple[str, ...]]:
        """The record merged with the one it builds on: the record, carried and dropped items.

        Either way its lists are lists of texts and its texts are texts,
        whatever shape the model gave them.
        """
        record = _normalised(record)
        if not self.carry_over:
            return record, (), ()
        merged = carry_over(earlier or {}, record, limit=self.max_items)
        return merged.record, merged.carried, merged.dropped

    def _retry_note(self, previous: str | None, chunk: list[Message], missing: Sequence[Any]) -> str | None:
        """The earlier summary of a retry, followed by the identifiers the first answer lost.

        As many identifiers are listed as the request has room for.
        """
        names = [f"  - {item.identifier}" for item in missing[:RETRY_IDENTIFIERS]]
        transcript = self._transcript(chunk)
        while names:
            note = "\n\n".join(part for part in (previous, RETRY_HEADING + "\n" + "\n".join(names)) if part)
            if self._request_tokens(note, transcript) <= self.summarizer_window:
                return note
            names.pop()
        return previous

    # ------------------------------------------------------------ requests

    def _transcript(self, messages: list[Message]) -> str:
        try:
            return _summarizer._format_messages_for_summary(_dicts(messages))
        except Exception as error:
            raise ValueError(f"a message cannot be rendered for the summarizer: {describe_error(error)}") from error

    def _request_tokens(self, previous: str | None, transcript: str) -> int:
        """Tokens of a request with this earlier summary and transcript, answer included."""
        counter = self._counter
        system = MESSAGE_OVERHEAD + counter.text("system") + counter.uncached(request_text(previous, transcript))
        user = counter.message({"role": "user", "content": USER_REQUEST})
        return system + user + REPLY_PRIMING + ANSWER_TOKENS

    def _no_room(self, taken_by: str) -> str:
        """Why the summarizer window leaves too little room for a transcript
        once ``taken_by`` and the answer have theirs."""
        return (
            f"summarizer_window ({self.summarizer_window} tokens) leaves no room for the "
            f"conversation after {taken_by} and the {ANSWER_TOKENS} answer tokens"
        )

    def _fit_chunk(
        self,
        views: list[Message],
        texts: list[str],
        costs: list[int],
        unit_ends: list[int],
        start: int,
        previous: str | None,
    ) -> tuple[list[Message], int, int, bool]:
        """The next chunk, its end, its request's tokens, and whether it was cut.

        The chunk is chosen by estimated costs, then checked against the
        exact count of the request and shortened while it does not fit.
        """
        room = self.summarizer_window - self._request_tokens(previous, "")
        if room < MIN_TRANSCRIPT_ROOM:
            raise CompactionError(self._no_room("the prompt, the earlier summary"))
        end = take_chunk(costs, unit_ends, start, room)
        while end > start:
            transcript = "\n".join(text for text in texts[start:end] if text)
            tokens = self._request_tokens(previous, transcript)
            if tokens <= self.summarizer_window:
                return views[start:end], end, tokens, False
            # The estimate was a little short: end the chunk a unit earlier.
            earlier = [unit_end for unit_end in unit_ends if start < unit_end < end]
            end = earlier[-1] if earlier else end - 1
        # The first message alone does not fit: cut it for this request.
        over = 0
        while True:
            stand_in = self._shrunk(views[start], room - over)
            tokens = self._request_tokens(previous, self._transcript([stand_in]))
            if tokens <= self.summarizer_window:
                return [stand_in], start + 1, tokens, True
            over += tokens - self.summarizer_window

    def _shrunk(self, view: Message, room: int) -> dict[str, Any]:
        """A stand-in for a message too long for any request, cut to ``room`` tokens."""
        role = "user" if view.get("role") == "user" else "assistant"
        text = self._transcript([view]).removeprefix(f"[{role.capitalize()}]: ")

        def stand_in(keep: int) -> dict[str, Any]:
            marker = (
                f"\n[... {len(text) - keep:,} of its {len(text):,} characters were cut to fit "
                "the summarizer's window]"
            )
            return {"role": role, "content": text[:keep] + marker}

        def fits(keep: int) -> bool:
            return self._counter.uncached(self._transcript([stand_in(keep)])) + 1 <= room

        if not fits(0):
            raise CompactionError(
                f"summarizer_window ({self.summarizer_window} tokens) is too small to hold "
                "even the start of a message"
            )
        # The longest prefix that fits lies in [low, high]. Probing upwards
        # from a likely size first keeps a huge message from being counted
        # whole again and again.
        low, high, step = 0, len(text), 4 * room
        while low + step < high and fits(low + step):
            low, step = low + step, step * 2
        high = min(high, low + step)
        while low < high:
            middle = (low + high + 1) // 2
            if fits(middle):
                low = middle
            else:
                high = middle - 1
        return stand_in(low)

    async def _request(
        self, chunk: list[Message], previous: str | None, request: int
    ) -> tuple[dict[str, Any], bool]:
        """One summarizer request: the record, and whether it is the fallback.

        A request fails when the client raises, times out or answers
        nothing, or when the module could not use the answer (it built its
        message-only record, or could not parse the answer as JSON). The
        fallback is always the message-only record, never the raw answer.
        """
        assert self._client is not None
        watched = WatchedClient(self._client)
        summarizer = _summarizer.ConversationSummarizer(watched)
        started = time.monotonic()
        record: dict[str, Any] | None = None
        problem: str | None
        cause: BaseException | None
        try:
            chunk_messages = _dicts(chunk)
            with _module_errors() as logged, reading_from(chunk_messages):
                async with asyncio.timeout(self.timeout):
                    record = await summarizer.summarize_messages(chunk_messages, previous)
        except TimeoutError as error:
            # The client's own errors stay inside the summarizer: this is the deadline.
            problem, cause = f"timed out after {time.monotonic() - started:.1f} s", error
        except Exception as error:
            problem, cause = f"failed: {describe_error(error)}", error
        else:
            problem, cause = self._answer_problem(watched, record, chunk, logged)
        if problem is None and record is not None:
            return record, False
        if self.allow_fallback:
            return _summarizer._fallback_summary(_dicts(chunk)), True
        raise CompactionError(f"summarizer request {request} {problem}", request=request) from cause

    @staticmethod
    def _answer_problem(
        watched: WatchedClient,
        record: dict[str, Any] | None,
        chunk: list[Message],
        logged: list[str],
    ) -> tuple[str | None, BaseException | None]:
        if watched.error is not None:
            return f"failed: {describe_error(watched.error)}", watched.error
        content = watched.content
        if not watched.called or content is None or content == "":
            return "got no answer", ValueError(f"the summarizer model answered {content!r}")
        if not isinstance(content, str):
            return "got an answer that is not text", TypeError(
                f"the answer's content is a {type(content).__name__}, not text"
            )
        if record is None or UNPARSABLE_ANSWER in logged or _is_fallback(record, chunk):
            reason = logged[-1] if logged else "the summarizer fell back to a message-only summary"
            return f"got an answer the summarizer could not use ({reason})", RuntimeError(reason)
        return None, None
