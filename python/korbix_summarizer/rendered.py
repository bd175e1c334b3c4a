"""Reading back what the summarizer renders: its request, the transcript in
it, and the context block of an earlier summary.

The native module sends its client one system text: the prompt, the earlier
summary under one heading when there is one, and the conversation under
another, rendered as the transcript (one line per event). These functions
undo that layout, so that a client can work from the conversation's own
structure instead of from free text.

The transcript is not fully reversible: a content that holds a line starting
like an event ("[User]: ...") reads back as a new event, and tool results
and long argument values arrive cut.
"""

from __future__ import annotations

import ast
import json
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from .schema import SUMMARY_KEYS

__all__ = [
    "CONVERSATION_HEADING",
    "EARLIER_HEADING",
    "Event",
    "parse_context_block",
    "parse_transcript",
    "split_request",
]

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
        if kind is None:
            return
        text = "\n".join(lines)
        if kind == "result":
            text = text.removesuffix(TRUNCATION_MARKER)
        if kind != "call":
            text = _content_parts_text(text)
        events.append(Event(kind, text, name))

    for line in transcript.split("\n"):
        match = _EVENT_START.match(line)
        if match is None:
            lines.append(line)
            continue
        close()
        user, _assistant, tool, result_id = match.groups()
        if user:
            kind, name = "user", ""
        elif tool is not None:
            kind, name = "call", tool
        elif result_id is not None:
            kind, name = "result", result_id
        else:
            kind, name = "assistant", ""
        lines = [line[match.end() :]]
    close()
    return events


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
_BULLET = re.compile(r"\s*(?:[-*+•]|\d{1,3}[.)])\s+(.*)")


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
        if section in ("current_state", "summary"):
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
        if key in ("current_state", "summary"):
            if isinstance(value, str) and value.strip():
                fields[key] = value.strip()
        elif isinstance(value, list):
            fields[key] = [str(item).strip() for item in value if str(item).strip()]
    return fields
