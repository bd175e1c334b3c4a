"""Reading back what the summarizer renders: its request, the transcript in
it, and the context block of an earlier summary.

The native module sends its client one system text: the prompt, the earlier
summary under one heading when there is one, and the conversation under
another, rendered as the transcript (one line per event). These functions
undo that layout, so that a client can work from the conversation's own
structure instead of from free text.

The transcript is not fully reversible: a content that holds a line starting
like an event ("[User]: ...") reads back as a new event, and tool results
and long argument values arrive cut. While a caller summarizes inside
``reading_from(messages)``, ``transcript_events`` takes each event from its
own message instead, so such a line stays inside the content that holds it.
"""

from __future__ import annotations

import ast
import contextlib
import contextvars
import json
import re
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from .schema import SUMMARY_KEYS, TEXT_KEYS

__all__ = [
    "CONVERSATION_HEADING",
    "EARLIER_HEADING",
    "Event",
    "parse_context_block",
    "parse_transcript",
    "reading_from",
    "split_request",
    "transcript_events",
]

# The headings the native summarizer puts around the earlier summary and the
# transcript in its request (the Compactor builds its requests with them too).
CONVERSATION_HEADING = "\n\n## Conversation to Summarize:\n"
EARLIER_HEADING = "\n\n## Previous Summary (build on this):\n"

TRUNCATION_MARKER = "... [truncated]"
EventKind = Literal["user", "assistant", "call", "result"]


@dataclass(frozen=True, slots=True)
class Event:
    """One event of a transcript: a user turn, an assistant reply, a tool
    call (``name`` is the tool, ``text`` the argument brief) or a tool result
    (``name`` is the tool call id)."""

    kind: EventKind
    text: str
    name: str = ""


def split_request(messages: Sequence[Mapping[str, Any]]) -> tuple[str | None, str]:
    """The earlier summary (or None) and the transcript of a summarizer request.

    The request's system message is the prompt, optionally the earlier
    summary under its heading, then the transcript under its heading.
    Raises ``ValueError`` for a request without a conversation section.
    """
    system = next(
        (m.get("content") for m in messages if isinstance(m, Mapping) and m.get("role") == "system"),
        None,
    )
    if not isinstance(system, str):
        raise ValueError("the request has no system message with text")
    earlier_at = system.find(EARLIER_HEADING)
    search_from = earlier_at + len(EARLIER_HEADING) if earlier_at >= 0 else 0
    conversation_at = system.find(CONVERSATION_HEADING, search_from)
    if conversation_at < 0:
        raise ValueError(
            "the request holds no conversation (no '## Conversation to Summarize:' section); "
            "GroundedClient answers the requests of korbix.core.summarizer"
        )
    transcript = system[conversation_at + len(CONVERSATION_HEADING) :]
    earlier = None
    if earlier_at >= 0:
        # The module joins its parts with "\n": one before the next heading.
        earlier = system[search_from:conversation_at].removesuffix("\n") or None
    return earlier, transcript


_EVENT_START = re.compile(
    r"\[(?:(User)|(Assistant)|Assistant called (.*?)|Tool Result \((.*?)\))\]: "
)


def parse_transcript(transcript: str) -> list[Event]:
    """Read a rendered transcript back into its events.

    A line that starts like an event starts one; any other line continues the
    event before it (contents may span lines). Text before the first event is
    ignored. Tool results lose the cut marker the renderer appended.
    """
    events: list[Event] = []
    kind: EventKind | None = None
    name = ""
    lines: list[str] = []

    def close() -> None:
        if kind is not None:
            events.append(_event(kind, "\n".join(lines), name))

    for line in transcript.split("\n"):
        match = _EVENT_START.match(line)
        if match is None:
            lines.append(line)
            continue
        close()
        kind, name = _kind_of(match)
        lines = [line[match.end() :]]
    close()
    return events


def _kind_of(match: re.Match[str]) -> tuple[EventKind, str]:
    user, _assistant, tool, result_id = match.groups()
    if user:
        return "user", ""
    if tool is not None:
        return "call", tool
    if result_id is not None:
        return "result", result_id
    return "assistant", ""


def _event(kind: EventKind, text: str, name: str) -> Event:
    if kind == "result":
        text = text.removesuffix(TRUNCATION_MARKER)
    if kind != "call":
        text = _content_parts_text(text)
    return Event(kind, text, name)


_source_messages: contextvars.ContextVar[tuple[Any, ...] | None] = contextvars.ContextVar(
    "korbix_summarizer_source_messages", default=None
)


@contextlib.contextmanager
def reading_from(messages: Sequence[Any]) -> Iterator[None]:
    """Summarize ``messages`` inside this block to let ``transcript_events``
    read the request's transcript from the messages themselves.

    It holds for the current task and the tasks and threads it starts.
    """
    token = _source_messages.set(tuple(messages))
    try:
        yield
    finally:
        _source_messages.reset(token)


def transcript_events(transcript: str) -> list[Event]:
    """The events of a request's transcript.

    Inside ``reading_from(messages)``, when the messages render to exactly
    this transcript, each event comes from its own message, so a content
    that holds a line starting like an event ("[User]: ..." in a tool
    result) stays one event. Otherwise the text is read back as
    ``parse_transcript`` reads it.
    """
    source = _source_messages.get()
    if source is not None:
        events = _events_of_messages(source, transcript)
        if events is not None:
            return events
    return parse_transcript(transcript)


def _events_of_messages(messages: Sequence[Any], transcript: str) -> list[Event] | None:
    """One event per rendered part of each message (an assistant's text and
    each of its tool calls are parts of their own), or None when the parts do
    not join to ``transcript``."""
    from korbix.core.summarizer import _format_messages_for_summary as render

    parts: list[dict[str, Any]] = []
    for message in messages:
        if not isinstance(message, dict):
            return None
        calls = message.get("tool_calls")
        if message.get("role") == "assistant" and calls and isinstance(calls, list):
            parts.append({"role": "assistant", "content": message.get("content", "")})
            parts.extend({"role": "assistant", "content": "", "tool_calls": [call]} for call in calls)
        else:
            parts.append(message)
    rendered: list[str] = []
    events: list[Event] = []
    try:
        for part in parts:
            text = render([part])
            if not text:
                continue
            match = _EVENT_START.match(text)
            if match is None:
                return None
            kind, name = _kind_of(match)
            rendered.append(text)
            events.append(_event(kind, text[match.end() :], name))
    except Exception:  # noqa: BLE001 - any message the renderer refuses: read the text instead
        return None
    return events if "\n".join(rendered) == transcript else None


def _content_parts_text(text: str) -> str:
    """The text parts of a content that was a list of parts (shown as a
    Python list), or the text itself."""
    if not (text.startswith("[{") and text.endswith("}]")) or len(text) > 200_000:
        return "" if text == "None" else text
    try:
        parts = ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return text
    if isinstance(parts, list):
        texts = [p["text"] for p in parts if isinstance(p, dict) and isinstance(p.get("text"), str)]
        if texts:
            return "\n".join(texts)
    return text


_SECTIONS = {
    "original goals": "goals",
    "goals": "goals",
    "progress so far": "progress",
    "progress": "progress",
    "current state": "current_state",
    "key decisions": "key_decisions",
    "key facts": "key_facts",
    "issues & resolutions": "blockers",
    "blockers": "blockers",
    "next steps": "next_steps",
    "narrative summary": "summary",
    "summary": "summary",
}
_HEADING = re.compile(r"#{1,6}\s+(.*?)\s*#*\s*")
# What starts a list item in Markdown: a bullet, or a number and "." or ")".
LIST_MARKER = r"(?:[-*+•]|\d{1,3}[.)])"
_BULLET = re.compile(r"\s*" + LIST_MARKER + r"\s+(.*)")


def parse_context_block(text: str) -> dict[str, Any]:
    """The sections of an earlier summary, as record fields.

    Reads the Markdown context block the summarizer renders (a heading per
    section, list items as bullets) and also a Summary record given as JSON.
    Text in no known section (a free-form earlier summary) becomes the
    narrative.
    """
    stripped = text.strip()
    if stripped.startswith("{"):
        try:
            document = json.loads(stripped)
        except json.JSONDecodeError:
            document = None
        if isinstance(document, dict):
            return _record_fields(document)

    fields: dict[str, Any] = {}
    loose: list[str] = []
    section: str | None = None
    in_block = False
    for line in text.split("\n"):
        heading = _HEADING.fullmatch(line)
        if heading is not None:
            title = heading.group(1).strip().casefold()
            section = _SECTIONS.get(title)
            in_block = section is not None or title == "conversation history summary"
            continue
        if section is None:
            if line.strip() and not (in_block and line.startswith("*(")):
                loose.append(line.strip())
            continue
        if section in TEXT_KEYS:
            if line.strip():
                fields[section] = f"{fields.get(section, '')} {line.strip()}".strip()
            continue
        items: list[str] = fields.setdefault(section, [])
        bullet = _BULLET.fullmatch(line)
        if bullet is not None:
            if bullet.group(1).strip():
                items.append(bullet.group(1).strip())
        elif line.strip() and items:
            items[-1] = f"{items[-1]} {line.strip()}"
        elif line.strip():
            items.append(line.strip())
    if loose and not fields.get("summary"):
        fields["summary"] = " ".join(loose)
    return fields


def _record_fields(document: Mapping[str, Any]) -> dict[str, Any]:
    fields: dict[str, Any] = {}
    for key in SUMMARY_KEYS:
        value = document.get(key)
        if key in TEXT_KEYS:
            if isinstance(value, str) and value.strip():
                fields[key] = value.strip()
        elif isinstance(value, list):
            fields[key] = [str(item).strip() for item in value if str(item).strip()]
    return fields
