"""The concrete identifiers of a conversation, and whether a summary kept them.

A summary written by an LLM may drop a file path, a URL or an error name
that the agent will need again. These functions find such identifiers
deterministically (no model involved), measure which of them a Summary
record mentions, and build short items for the ones it lost, quoted from the
conversation, so that they can be put back into the record's "key_facts".

Identifiers (``identifiers.find_identifiers``): URLs, e-mail addresses,
file paths (absolute, relative, home, Windows) and file names with a known
extension, ticket and issue ids (PROJ-123, #123, "issue 42"), version
numbers (1.2.3, 1.2.3-rc.1, v2.1; also the version of a pin such as
redis==5.0.1), and error and exception names (KeyError,
ConnectionRefusedError, ENOENT, SIGSEGV). They are looked for in user and
assistant text, in tool-call arguments (each argument value on its own) and
in tool results, in full: also the parts that the summarizer's transcript
leaves out of a long tool result.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from .identifiers import TICKET_WORDS, IdentifierKind, find_identifiers
from .schema import RESULT_ROLES, tool_call_fields

__all__ = [
    "IdentifierKind",
    "Occurrence",
    "SpanFacts",
    "find_identifiers",
    "message_texts",
    "record_text",
    "repair_items",
    "span_facts",
]


# ---------------------------------------------------------------- where they occur


def _content_text(content: object) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        parts = (part.get("text") if isinstance(part, Mapping) else part for part in content)
        return "\n".join(part for part in parts if isinstance(part, str))
    return ""


def _strings(value: object, key: str = "") -> Iterator[tuple[str, str]]:
    """(argument name, text) of every text inside a tool call's arguments."""
    if isinstance(value, str):
        yield key, value
    elif isinstance(value, Mapping):
        for name, item in value.items():
            yield from _strings(item, str(name))
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from _strings(item, key)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        yield key, str(value)


def _call_parts(call: Mapping[str, Any]) -> tuple[str, object]:
    name, arguments = tool_call_fields(call)
    if isinstance(arguments, str):
        try:
            arguments = json.loads(arguments)
        except ValueError:
            pass
    return name if isinstance(name, str) else "tool", arguments


def message_texts(messages: Sequence[Mapping[str, Any]]) -> Iterator[tuple[int, str, str]]:
    """(message index, source, text) of every text in the messages that may hold identifiers.

    The source says where the text was: "user", "assistant", "argument path
    of read_file", "result of read_file".
    """
    tools: dict[object, str] = {}
    for index, message in enumerate(messages):
        role = message.get("role")
        if role in RESULT_ROLES:
            name = tools.get(message.get("tool_call_id")) or message.get("name")
            yield index, f"result of {name}" if isinstance(name, str) else "tool result", _content_text(
                message.get("content")
            )
            continue
        text = _content_text(message.get("content"))
        if text:
            yield index, role if isinstance(role, str) else "message", text
        calls = message.get("tool_calls")
        for call in calls if isinstance(calls, list) else ():
            if not isinstance(call, Mapping):
                continue
            name, arguments = _call_parts(call)
            call_id = call.get("id")
            if isinstance(call_id, (str, int)):
                tools[call_id] = name
            for key, value in _strings(arguments):
                yield index, f"argument {key} of {name}" if key else f"call of {name}", value


@dataclass(frozen=True, slots=True)
class Occurrence:
    """One identifier of a span: how often and where it occurs.

    ``count`` is the number of messages it occurs in, ``first`` and
    ``last`` the indices of the first and the last of them; ``source`` and ``context`` describe that
    last occurrence (a short quote of the text around it).
    """

    identifier: str
    kind: IdentifierKind
    count: int
    first: int
    last: int
    source: str
    context: str


@dataclass(frozen=True, slots=True)
class SpanFacts:
    """The identifiers of a span, ranked: most frequent first, then most recent."""

    occurrences: tuple[Occurrence, ...]

    def missing(self, record: Mapping[str, Any]) -> tuple[Occurrence, ...]:
        """The identifiers that the record does not mention, in rank order."""
        text = record_text(record).casefold()
        return tuple(item for item in self.occurrences if not _mentioned(item, text))

    def fidelity(self, record: Mapping[str, Any]) -> float:
        """The share of the identifiers that the record mentions (1.0 when there are none)."""
        if not self.occurrences:
            return 1.0
        return 1 - len(self.missing(record)) / len(self.occurrences)


CONTEXT_CHARS: Final = 90


def _quote(text: str, start: int, end: int) -> str:
    """The line around ``text[start:end]``, cut at words to about CONTEXT_CHARS characters."""
    line_start = text.rfind("\n", 0, start) + 1
    line_end = text.find("\n", end)
    line_end = len(text) if line_end < 0 else line_end
    room = max(0, CONTEXT_CHARS - (end - start)) // 2
    left = max(line_start, start - room)
    right = min(line_end, end + room)
    if left > line_start:
        space = text.find(" ", left, start)
        left = space + 1 if space >= 0 else left
    if right < line_end:
        space = text.rfind(" ", end, right)
        right = space if space >= 0 else right
    quote = " ".join(text[left:right].split())
    return ("..." if left > line_start else "") + quote + ("..." if right < line_end else "")


def span_facts(messages: Sequence[Mapping[str, Any]]) -> SpanFacts:
    """The identifiers of the messages, counted and ranked."""
    seen: dict[str, list[Any]] = {}
    for index, source, text in message_texts(messages):
        for start, end, value, kind in find_identifiers(text):
            entry = seen.get(value)
            if entry is None:
                seen[value] = [kind, 1, index, index, source, text, start, end]
            else:
                # Counted once per message: a log repeating a name is one mention.
                entry[1] += entry[3] != index
                entry[3:] = [index, source, text, start, end]
    occurrences = [
        Occurrence(value, kind, count, first, last, source, _quote(text, start, end))
        for value, (kind, count, first, last, source, text, start, end) in seen.items()
    ]
    occurrences.sort(key=lambda item: (-item.count, -item.last, item.first))
    return SpanFacts(tuple(occurrences))


# ---------------------------------------------------------------- mentions and repair


def record_text(record: Mapping[str, Any]) -> str:
    """Every text of a record's eight entries, one per line."""
    lines: list[str] = []
    for key, value in record.items():
        if key == "created_at":
            continue
        if isinstance(value, (list, tuple)):
            lines.extend(str(item) for item in value)
        elif isinstance(value, Mapping):
            lines.extend(str(item) for item in value)
        elif value is not None:
            lines.append(str(value))
    return "\n".join(lines)


_NUMBER = re.compile(r"\d+")
_TICKET_WORDS: Final = "|".join(word.casefold() for word in TICKET_WORDS)


def _mentioned(item: Occurrence, folded_text: str) -> bool:
    if item.identifier.casefold() in folded_text:
        return True
    if item.kind == "ticket" and not item.identifier[0].isupper() or item.identifier.startswith(("#", "PR", "MR")):
        # "#42", "issue 42" and "PR #42" may all be written for the same number.
        number = _NUMBER.search(item.identifier)
        if number is not None:
            pattern = rf"(?:#|\b(?:{_TICKET_WORDS})\s+#?){number.group()}\b"
            return re.search(pattern, folded_text) is not None
    return False


MAX_ITEM_CHARS: Final = 200


def repair_item(item: Occurrence) -> str:
    """A key fact naming the identifier, with where it occurred and a quote around it."""
    if item.context.strip(".") == item.identifier:
        return f"{item.identifier} ({item.source})"
    text = f'{item.identifier} ({item.source}: "{item.context}")'
    if len(text) <= MAX_ITEM_CHARS:
        return text
    return f"{item.identifier} ({item.source})"[:MAX_ITEM_CHARS]


def repair_items(missing: Iterable[Occurrence], limit: int) -> list[str]:
    """Key facts for the first ``limit`` missing identifiers, in rank order.

    An identifier that the quote of an item added before already holds is
    not given an item of its own.
    """
    items: list[str] = []
    said = ""
    for item in missing:
        if len(items) >= limit:
            break
        if _mentioned(item, said):
            continue
        items.append(repair_item(item))
        said += "\n" + items[-1].casefold()
    return items
