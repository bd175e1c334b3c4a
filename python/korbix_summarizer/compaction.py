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

The work is split into steps that can be used and tested on their own: the
decisions are pure functions of the message list (``split_leading``,
``atomic_units``, ``choose_cut``, ``take_chunk``, ``summarizer_view``);
``Compactor.plan`` applies them to a conversation, ``Compactor.summarize``
performs the requests and returns the record, ``Compactor.commit`` builds
the new conversation from the plan and the record.
"""

from __future__ import annotations

import asyncio
import bisect
import contextlib
import contextvars
import logging
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, Protocol, cast

from korbix.core import summarizer as _summarizer

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

# The summarizer's request: its answer length and the texts it puts around
# the earlier summary and the transcript.
ANSWER_TOKENS: Final = 2048
USER_REQUEST: Final = "Summarize the conversation above. Return ONLY the JSON object."
PREVIOUS_HEADING: Final = "\n\n## Previous Summary (build on this):\n"
CONVERSATION_HEADING: Final = "\n\n## Conversation to Summarize:\n"

# Every rendered summary starts with this banner (the rendering of a record
# with no entries), which is how an earlier summary message is recognised.
SUMMARY_BANNER: Final[str] = _summarizer.ConversationSummarizer(None).format_summary_for_context({})  # type: ignore[arg-type]

# Room kept in the target for the summary message that replaces the span:
# the longest answer the summarizer may give, plus the headings around it.
SUMMARY_RESERVE: Final = ANSWER_TOKENS + 64
# A request must leave at least this much room for the transcript.
MIN_TRANSCRIPT_ROOM: Final = 64

SYSTEM_ROLES: Final = ("system", "developer")
RESULT_ROLES: Final = ("tool", "function")
# The roles the transcript renders; a message of any other role leaves no line.
TRANSCRIPT_ROLES: Final = ("user", "assistant", "tool")

LOGGER_NAME: Final = "korbix.summarizer"


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


def _call_ids(message: Message) -> list[str | int]:
    """Ids of the tool calls an assistant message makes (both layouts)."""
    if message.get("role") != "assistant":
        return []
    calls = message.get("tool_calls")
    if not isinstance(calls, list):
        return []
    keys = (_call_key(call.get("id")) for call in calls if isinstance(call, dict))
    return [key for key in keys if key is not None]


def atomic_units(messages: Sequence[Message]) -> list[range]:
    """The conversation as consecutive units that a cut must not split.

    A unit is one message, or an assistant message that calls tools together
    with every message up to its last tool result; results are matched to
    calls by ``tool_call_id`` (to the latest call with that id), so parallel
    calls, results that arrive late and calls that never got a result are
    all handled. A tool result never starts a unit, so a result whose call
    is unknown stays with the messages before it.
    """
    owner: dict[str | int, int] = {}
    reach = list(range(len(messages)))
    for index, message in enumerate(messages):
        if message.get("role") in RESULT_ROLES:
            caller = owner.get(_call_key(message.get("tool_call_id")))  # type: ignore[arg-type]
            if caller is not None:
                reach[caller] = index
        for call_id in _call_ids(message):
            owner[call_id] = index
    units: list[range] = []
    start = 0
    furthest = -1
    for cut in range(1, len(messages) + 1):
        furthest = max(furthest, reach[cut - 1])
        if furthest < cut and (
            cut == len(messages) or messages[cut].get("role") not in RESULT_ROLES
        ):
            units.append(range(start, cut))
            start = cut
    return units


def has_pending_calls(messages: Sequence[Message], unit: range) -> bool:
    """Whether an assistant message in ``unit`` has calls still without results."""
    answered = {
        _call_key(messages[i].get("tool_call_id"))
        for i in unit
        if messages[i].get("role") in RESULT_ROLES
    }
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


def request_text(previous: str | None, transcript: str) -> str:
    """The system text of a summarizer request, as the module builds it."""
    parts = [_summarizer.SUMMARIZE_PROMPT]
    if previous:
        parts.append(PREVIOUS_HEADING + previous)
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
    """The outcome of summarizing a span: the record and how it was made."""

    record: dict[str, Any]
    requests: int
    truncated: tuple[int, ...]
    fallbacks: int


@dataclass(frozen=True, slots=True)
class CompactionResult:
    """The new conversation and what it took to make it.

    ``messages`` is a new list (the caller's list and messages are never
    changed; unchanged messages are the caller's own objects). ``record`` is
    the Summary record rendered into it, or None when nothing was compacted.
    ``compacted`` is how many of the caller's messages the summary message
    replaced (the summarized span and any earlier summary message).
    ``truncated`` holds the indices of messages that alone exceeded the
    summarizer's window and were cut for their request. ``fallbacks``
    counts requests whose record is the module's message-only summary,
    which happens only when the compactor was asked to allow it.
    """

    messages: list[dict[str, Any]]
    record: dict[str, Any] | None
    compacted: int
    requests: int
    tokens_before: int
    tokens_after: int
    truncated: tuple[int, ...] = ()
    fallbacks: int = 0


# ---------------------------------------------------------------- requests


class _WatchedClient:
    """Passes one request to the client and remembers how it went.

    The summarizer turns a client's failure into a message-only record and a
    log line, so the compactor watches the call itself.
    """

    def __init__(self, client: SummarizerClient) -> None:
        self._client = client
        self.called = False
        self.error: Exception | None = None
        self.content: object = None

    async def complete(self, **request: Any) -> Any:
        self.called = True
        try:
            result = await self._client.complete(**request)
        except Exception as error:
            self.error = error
            raise
        self.content = getattr(result, "content", None)
        return result


_error_sink: contextvars.ContextVar[list[str] | None] = contextvars.ContextVar(
    "korbix_compaction_errors", default=None
)


@contextlib.contextmanager
def _module_errors() -> Iterator[list[str]]:
    """The error messages the summarizer logs meanwhile in this task.

    Other tasks and threads log through the same logger at the same time;
    the context variable tells this task's records from theirs.
    """
    logger = logging.getLogger(LOGGER_NAME)
    sink: list[str] = []

    def keep(record: logging.LogRecord) -> bool:
        if record.levelno >= logging.ERROR and _error_sink.get() is sink:
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


def _describe(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


# ---------------------------------------------------------------- compactor


def _share(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= 1:
        raise ValueError(f"{name} must be a share of the window in (0, 1], not {value!r}")
    return float(value)


def _positive(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"{name} must be a positive number of tokens, not {value!r}")
    return value


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
        if count_tokens is None:
            count_tokens, self.tokenizer = default_counter()
        elif callable(count_tokens):
            self.tokenizer = f"custom: {getattr(count_tokens, '__qualname__', repr(count_tokens))}"
        else:
            raise TypeError(f"count_tokens must be a callable(str) -> int, not {count_tokens!r}")
        self._client = client
        self._counter = MessageCounter(count_tokens)
        # Rendering a record does not use the client.
        self._renderer = _summarizer.ConversationSummarizer(None)  # type: ignore[arg-type]

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(context_window={self.context_window}, trigger={self.trigger}, "
            f"target={self.target}, keep_recent={self.keep_recent}, "
            f"summarizer_window={self.summarizer_window}, tokenizer={self.tokenizer!r})"
        )

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
        for number, message in enumerate(messages, 1):
            if not isinstance(message, Mapping):
                raise TypeError(f"message {number} is a {type(message).__name__}, not a dict")
        tokens = self.count(messages)
        if not force and tokens <= self.trigger * self.context_window:
            return None
        layout = split_leading(messages)
        body = messages[layout.body_start :]
        units = atomic_units(body)
        costs = [self._counter.message(message) for message in body]
        fixed = (
            self._counter.messages(messages[i] for i in layout.head)
            + SUMMARY_RESERVE
            + REPLY_PRIMING
        )
        pending = bool(units) and has_pending_calls(body, units[-1])
        cut = choose_cut(
            units, costs, self.keep_recent, int(self.target * self.context_window) - fixed,
            pending=pending,
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
        """Summarize the plan's span in as many requests as its size needs."""
        views = [summarizer_view(messages[i]) for i in plan.span]
        if self._client is None:
            return SpanSummary(_summarizer._fallback_summary(_dicts(views)), 0, (), 1)
        texts = [self._transcript([view]) for view in views]
        # A rendered message costs its tokens plus the line break joining it.
        costs = [self._counter.uncached(text) + 1 if text else 0 for text in texts]
        unit_ends = [unit.stop for unit in atomic_units(views)]
        previous = plan.earlier_summary
        truncated: list[int] = []
        fallbacks = 0
        record: dict[str, Any] | None = None
        start = 0
        request = 0
        while start < len(views):
            request += 1
            chunk, end, tokens, cut = self._fit_chunk(views, texts, costs, unit_ends, start, previous)
            if cut:
                truncated.append(plan.span[start])
            if progress is not None:
                progress(ChunkProgress(request, plan.span[start], plan.span[end - 1], plan.span, tokens))
            record, failed = await self._request(chunk, previous, request)
            fallbacks += failed
            previous = self._renderer.format_summary_for_context(record)
            start = end
        assert record is not None  # the span is never empty
        return SpanSummary(record, request, tuple(truncated), fallbacks)

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
        """
        snapshot = list(messages)
        plan = self.plan(snapshot, force=force)
        if plan is None:
            tokens = self.count(snapshot)
            return CompactionResult(_dicts(snapshot), None, 0, 0, tokens, tokens)
        summary = await self.summarize(snapshot, plan, progress=progress)
        return self.commit(snapshot, plan, summary)

    # ------------------------------------------------------------ requests

    def _transcript(self, messages: list[Message]) -> str:
        try:
            return _summarizer._format_messages_for_summary(_dicts(messages))
        except Exception as error:
            raise ValueError(f"a message cannot be rendered for the summarizer: {_describe(error)}") from error

    def _request_tokens(self, previous: str | None, transcript: str) -> int:
        """Tokens of a request with this earlier summary and transcript, answer included."""
        counter = self._counter
        system = MESSAGE_OVERHEAD + counter.text("system") + counter.uncached(request_text(previous, transcript))
        user = counter.message({"role": "user", "content": USER_REQUEST})
        return system + user + REPLY_PRIMING + ANSWER_TOKENS

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
            raise CompactionError(
                f"summarizer_window ({self.summarizer_window} tokens) leaves no room for the "
                f"conversation after the prompt, the earlier summary and the {ANSWER_TOKENS} "
                "answer tokens"
            )
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
        nothing, or when the module could not use the answer and built its
        message-only record instead.
        """
        assert self._client is not None
        watched = _WatchedClient(self._client)
        summarizer = _summarizer.ConversationSummarizer(watched)
        started = time.monotonic()
        record: dict[str, Any] | None = None
        problem: str | None
        cause: BaseException | None
        try:
            with _module_errors() as logged:
                async with asyncio.timeout(self.timeout):
                    record = await summarizer.summarize_messages(_dicts(chunk), previous)
        except TimeoutError as error:
            # The client's own errors stay inside the summarizer: this is the deadline.
            problem, cause = f"timed out after {time.monotonic() - started:.1f} s", error
        except Exception as error:
            problem, cause = f"failed: {_describe(error)}", error
        else:
            problem, cause = self._answer_problem(watched, record, chunk, logged)
        if problem is None and record is not None:
            return record, False
        if self.allow_fallback:
            return record or _summarizer._fallback_summary(_dicts(chunk)), True
        raise CompactionError(f"summarizer request {request} {problem}", request=request) from cause

    @staticmethod
    def _answer_problem(
        watched: _WatchedClient,
        record: dict[str, Any] | None,
        chunk: list[Message],
        logged: list[str],
    ) -> tuple[str | None, BaseException | None]:
        if watched.error is not None:
            return f"failed: {_describe(watched.error)}", watched.error
        content = watched.content
        if not watched.called or content is None or content == "":
            return "got no answer", ValueError(f"the summarizer model answered {content!r}")
        if not isinstance(content, str):
            return "got an answer that is not text", TypeError(
                f"the answer's content is a {type(content).__name__}, not text"
            )
        if record is None or _is_fallback(record, chunk):
            reason = logged[-1] if logged else "the summarizer fell back to a message-only summary"
            return f"got an answer the summarizer could not use ({reason})", RuntimeError(reason)
        return None, None
