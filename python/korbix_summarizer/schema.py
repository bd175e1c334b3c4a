"""JSON shapes: the answer the summarizer asks its LLM for, and the tool
calls of a chat message."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = [
    "LIST_KEYS",
    "RESULT_ROLES",
    "SUMMARY_KEYS",
    "TEXT_KEYS",
    "summary_json_schema",
    "tool_call_fields",
]

# The keys of the answer, in the order the summarizer's prompt lists them
# (the native record adds "created_at", which the answer does not carry).
SUMMARY_KEYS: tuple[str, ...] = (
    "goals",
    "progress",
    "current_state",
    "key_decisions",
    "key_facts",
    "blockers",
    "next_steps",
    "summary",
)
TEXT_KEYS = frozenset({"current_state", "summary"})
# The keys whose values are lists of strings, in the same order.
LIST_KEYS: tuple[str, ...] = tuple(key for key in SUMMARY_KEYS if key not in TEXT_KEYS)


def summary_json_schema(
    *,
    max_items: int | None = None,
    max_item_chars: int | None = None,
    max_text_chars: int | None = None,
) -> dict[str, Any]:
    """JSON schema of the answer: an array of strings for each of the
    LIST_KEYS, a string for each of the TEXT_KEYS.

    The optional bounds cap list lengths and string lengths. A constrained
    decoder that enforces them always closes the object within a known
    number of tokens, so a small model cannot run into the token limit
    halfway through the JSON.
    """
    item: dict[str, Any] = {"type": "string"}
    if max_item_chars is not None:
        item["maxLength"] = max_item_chars
    array: dict[str, Any] = {"type": "array", "items": item}
    if max_items is not None:
        array["maxItems"] = max_items
    text: dict[str, Any] = {"type": "string"}
    if max_text_chars is not None:
        text["maxLength"] = max_text_chars
    return {
        "type": "object",
        "properties": {key: (text if key in TEXT_KEYS else array) for key in SUMMARY_KEYS},
        "required": list(SUMMARY_KEYS),
        "additionalProperties": False,
    }


# The roles of a message that carries a tool's result.
RESULT_ROLES: tuple[str, ...] = ("tool", "function")

_NO_FUNCTION: Mapping[str, Any] = {}


def tool_call_fields(call: Mapping[str, Any]) -> tuple[object, object]:
    """The name and the arguments of a tool call, as given: either flat
    (``{"name", "arguments"}``) or under "function" (the OpenAI layout);
    a flat field wins."""
    function = call.get("function")
    nested = function if isinstance(function, Mapping) else _NO_FUNCTION
    return call.get("name", nested.get("name")), call.get("arguments", nested.get("arguments"))
