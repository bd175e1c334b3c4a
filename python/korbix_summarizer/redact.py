"""Credentials taken out of the text that a summarizer is sent.

Tool outputs and pasted configuration carry API keys, tokens and
passwords; a summary request sends them to a third party, and the summary
keeps them in the agent's context. ``redact_text`` replaces each credential
it recognises by a marker naming its kind, such as "[redacted: api key]";
``redact_message`` does the same for a chat message (its content and its
tool calls' arguments) and returns a new message, never changing the one
it was given.

Recognised: API keys of OpenAI, Anthropic, Google, Stripe, GitHub, GitLab,
Slack, npm and Hugging Face by their prefixes; AWS access key ids; bearer
tokens, JWTs and basic credentials in Authorization headers; passwords in
URLs (user:password@host) and in ``curl -u``; private-key blocks (also one
cut off before its END line); and values assigned to names that end in
password, token, secret or key (``DB_PASSWORD=...``, ``"api_key": "..."``,
``aws_secret_access_key = ...``, ``--token ...``). Only the secret is
replaced: the name, the URL around a password and the word "Bearer" stay.

Hashes, UUIDs, commit ids, base64 data and values that are clearly no
secret (empty, null, ``$VAR``, ``<placeholder>``, ``os.environ[...]``,
``settings.SECRET_KEY``) stay as they are.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Mapping
from typing import Any, Final

__all__ = ["MARKER", "redact_message", "redact_text", "redact_value"]

MARKER: Final = "[redacted: {kind}]"

_Replace = Callable[[re.Match[str]], str | None]


def _marker(kind: str) -> str:
    return MARKER.format(kind=kind)


def _whole(kind: str, check: Callable[[str], bool] | None = None) -> _Replace:
    def replace(match: re.Match[str]) -> str | None:
        return _marker(kind) if check is None or check(match.group()) else None

    return replace


def _group(kind: str, group: str = "secret") -> _Replace:
    """Replace only the named group (the secret), keeping what is around it."""

    def replace(match: re.Match[str]) -> str | None:
        start, end = match.span(group)
        whole_start = match.start()
        text = match.group()
        return text[: start - whole_start] + _marker(kind) + text[end - whole_start :]

    return replace


def _mixed(text: str) -> bool:
    """Random-looking: upper and lower case letters and digits (a key, not a slug)."""
    tail = text.split("-", 1)[-1]
    return any(c.isdigit() for c in tail) and any(c.isupper() for c in tail) and any(c.islower() for c in tail)


# ---------------------------------------------------------------- assignments

_SECRET_WORD = r"(?:password|passwd|passphrase|pwd|secret|token|api[_-]?key|apikey|access[_-]?key|private[_-]?key|credentials?)"
_NAME = re.compile(rf"(?i)^[\w.-]*{_SECRET_WORD}$")
_PLACEHOLDER = re.compile(
    r"""(?ix)^(?:|null|none|nil|true|false|undefined|required|optional|string|str|redacted|hidden|changeme?|
    \$.*|<.*|\{\{.*|%.*|\*+|x+|\.{2,}.*|\[redacted.*|(?:os|process|env|config|settings|self|this)\b.*|
    .*\(.*|[A-Za-z_]\w*(?:\.[A-Za-z_]\w*)+|[a-z]+_[a-z_]*(?:password|token|secret|key))$"""
)


def _assignment(match: re.Match[str]) -> str | None:
    value = match.group("value")
    quoted = value[:1] in "\"'" and len(value) >= 2
    inner = value[1:-1] if quoted else value
    if _PLACEHOLDER.match(inner):
        return None
    if not quoted and ":" in match.group("sep") and not _looks_secret(inner):
        return None  # "the token: expired" is prose, not a credential
    if "key" in match.re.groupindex:  # a command-line option: --password ...
        key = match.group("key")
    else:
        key = _name_before(match.string, match.start()) + match.group("word")
    if not quoted and len(inner) < 3 or inner.casefold() == key.lstrip("-").casefold():
        return None  # too short for a credential, or a variable passed on (password=password)
    replaced = value[0] + _marker(_kind_of(key)) + value[-1] if quoted else _marker(_kind_of(key))
    return match.group()[: match.start("value") - match.start()] + replaced


def _looks_secret(value: str) -> bool:
    """An unquoted value after a colon: long, or with digits or symbols in it."""
    if len(value) >= 8:
        return True
    return len(value) >= 6 and any(not c.isalpha() for c in value)


def _kind_of(name: str) -> str:
    folded = name.casefold()
    if "pass" in folded or "pwd" in folded:
        return "password"
    if "aws" in folded and "secret" in folded:
        return "aws secret key"
    if "private" in folded:
        return "private key"
    if "secret" in folded:
        return "secret"
    if "token" in folded:
        return "token"
    if "credential" in folded:
        return "credentials"
    return "api key"


# A value assigned to a name that ends in a secret word: the match starts at
# that word (scanning for it is far cheaper than for every name), and the
# rest of the name is read back from the text before it.
_ASSIGNMENT = re.compile(
    rf"""(?P<word>{_SECRET_WORD})(?P<quote>["']?)(?P<sep>[ \t]*(?::|=|:=|=>)[ \t]*)"""
    r"""(?P<value>"[^"\n]*"|'[^'\n]*'|[^\s,;&"'<>{}()\[\]]+)""",
    re.IGNORECASE,
)
_NAME_CHARS: Final = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-")


def _name_before(text: str, end: int) -> str:
    start = end
    while start > 0 and text[start - 1] in _NAME_CHARS:
        start -= 1
    return text[start:end]


_Rule = tuple[re.Pattern[str], _Replace, tuple[str, ...]]

# The rules, each with the texts one of which its match contains (in lower
# case for the rules that ignore case), so that a text without any is not
# scanned. Applied in this order: the specific forms first, so that an
# assignment whose value is a known key is named by the key's kind.
_RULES: Final[tuple[_Rule, ...]] = (
    (
        re.compile(
            r"-----BEGIN (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----.*?"
            r"(?:-----END (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----|\Z)",
            re.DOTALL,
        ),
        _whole("private key"),
        ("PRIVATE KEY",),
    ),
    (
        re.compile(r"\b[a-z][a-z0-9+.-]{1,15}://[^\s:/@\"'<>]+:(?P<secret>[^\s@/\"'<>]+)@(?=[\w\[])", re.IGNORECASE),
        _group("password"),
        ("://",),
    ),
    (re.compile(r"\bhttps://hooks\.slack\.com/services/[A-Za-z0-9/_-]+"), _whole("slack webhook"), ("hooks.slack",)),
    (re.compile(r"(?i)\bbearer\s+(?P<secret>[A-Za-z0-9._~+/-]{16,}=*)"), _group("bearer token"), ("bearer",)),
    (
        re.compile(r"""(?i)\bauthorization["']?\s*[:=]\s*["']?basic\s+(?P<secret>[A-Za-z0-9+/]{8,}={0,2})"""),
        _group("basic credentials"),
        ("basic",),
    ),
    (re.compile(r"(?:^|(?<=\s))-u\s+['\"]?[^\s:'\"]+:(?P<secret>[^\s'\"@]+)"), _group("password"), ("-u",)),
    (re.compile(r"\beyJ[A-Za-z0-9_-]{8,}\.eyJ[A-Za-z0-9_-]{8,}\.[A-Za-z0-9_-]{8,}"), _whole("jwt"), ("eyJ",)),
    (re.compile(r"\bsk-ant-[A-Za-z0-9_-]{20,}"), _whole("api key"), ("sk-ant-",)),
    (re.compile(r"\bsk-(?:proj-|svcacct-|admin-)?[A-Za-z0-9_-]{20,}"), _whole("api key", _mixed), ("sk-",)),
    (
        re.compile(r"\b(?:sk|rk)_(?:live|test)_[0-9A-Za-z]{10,}\b|\bwhsec_[A-Za-z0-9]{20,}\b"),
        _whole("api key"),
        ("k_live_", "k_test_", "whsec_"),
    ),
    (re.compile(r"\bAIza[0-9A-Za-z_-]{35}(?![0-9A-Za-z_-])"), _whole("api key"), ("AIza",)),
    (
        re.compile(r"\bgh[pousr]_[A-Za-z0-9]{36,}\b|\bgithub_pat_[A-Za-z0-9_]{22,}\b"),
        _whole("github token"),
        ("ghp_", "gho_", "ghu_", "ghs_", "ghr_", "github_pat_"),
    ),
    (re.compile(r"\bglpat-[A-Za-z0-9_-]{20,}\b"), _whole("gitlab token"), ("glpat-",)),
    (re.compile(r"\bxox[abposr]-[A-Za-z0-9-]{10,}\b"), _whole("slack token"), ("xox",)),
    (re.compile(r"\bnpm_[A-Za-z0-9]{36}\b"), _whole("npm token"), ("npm_",)),
    (re.compile(r"\bhf_[A-Za-z]{34}\b"), _whole("hugging face token"), ("hf_",)),
    (re.compile(r"\b(?:AKIA|ASIA|ABIA|ACCA)[0-9A-Z]{16}\b"), _whole("aws access key"), ("AKIA", "ASIA", "ABIA", "ACCA")),
    (
        re.compile(
            rf"""(?P<key>(?<![\w-])--[\w-]*{_SECRET_WORD})(?P<sep>[= ]+)(?P<value>"[^"\n]*"|'[^'\n]*'|[^\s"']+)""",
            re.IGNORECASE,
        ),
        _assignment,
        ("--",),
    ),
    (_ASSIGNMENT, _assignment, ("pass", "pwd", "secret", "token", "key", "credential")),
)
_CASELESS: Final = frozenset(id(pattern) for pattern, _, _ in _RULES if pattern.flags & re.IGNORECASE)


def redact_text(text: str) -> tuple[str, int]:
    """The text with its credentials replaced by markers, and how many were replaced."""
    count = 0

    def apply(replace: _Replace) -> Callable[[re.Match[str]], str]:
        def substitute(match: re.Match[str]) -> str:
            nonlocal count
            replaced = replace(match)
            if replaced is None:
                return match.group()
            count += 1
            return replaced

        return substitute

    lowered = text.lower()
    for pattern, replace, needles in _RULES:
        haystack = lowered if id(pattern) in _CASELESS else text
        if any(needle in haystack for needle in needles):
            before = count
            text = pattern.sub(apply(replace), text)
            if count != before:
                lowered = text.lower()
    return text, count


# ---------------------------------------------------------------- messages


def redact_value(value: object, key: str | None = None) -> tuple[object, int]:
    """A value of a message with its credentials replaced (the same object when none were)."""
    if isinstance(value, str):
        if key is not None and _NAME.match(key) and not _PLACEHOLDER.match(value) and len(value) >= 3:
            if not value.startswith("[redacted"):
                return _marker(_kind_of(key)), 1
        return redact_text(value)
    if isinstance(value, Mapping):
        total = 0
        items: dict[Any, Any] = {}
        for name, item in value.items():
            items[name], count = redact_value(item, name if isinstance(name, str) else None)
            total += count
        return (items, total) if total else (value, 0)
    if isinstance(value, (list, tuple)):
        total = 0
        values: list[Any] = []
        for item in value:
            redacted, count = redact_value(item, key)
            values.append(redacted)
            total += count
        return (values, total) if total else (value, 0)
    return value, 0


def _redact_arguments(arguments: object) -> tuple[object, int]:
    if isinstance(arguments, str):
        try:
            decoded = json.loads(arguments)
        except ValueError:
            return redact_text(arguments)
        redacted, count = redact_value(decoded)
        return (json.dumps(redacted, ensure_ascii=False), count) if count else (arguments, 0)
    return redact_value(arguments)


def _redact_call(call: object) -> tuple[object, int]:
    if not isinstance(call, Mapping):
        return call, 0
    total = 0
    new = dict(call)
    if "arguments" in call:
        new["arguments"], total = _redact_arguments(call["arguments"])
    function = call.get("function")
    if isinstance(function, Mapping) and "arguments" in function:
        arguments, count = _redact_arguments(function["arguments"])
        if count:
            new["function"] = {**function, "arguments": arguments}
            total += count
    return (new, total) if total else (call, 0)


def redact_message(message: Mapping[str, Any]) -> tuple[Mapping[str, Any], int]:
    """The message with its credentials replaced, and how many were.

    Reads the content (text, content parts or any JSON value) and the tool
    calls' arguments (JSON text or a dict; values under a name such as
    "password" are replaced whole). Returns the message itself when nothing
    was replaced, else a new dict; the message given is never changed.
    """
    total = 0
    changed: dict[str, Any] = {}
    if "content" in message:
        content, count = redact_value(message.get("content"))
        if count:
            changed["content"] = content
            total += count
    calls = message.get("tool_calls")
    if isinstance(calls, list):
        new_calls = []
        in_calls = 0
        for call in calls:
            redacted, count = _redact_call(call)
            new_calls.append(redacted)
            in_calls += count
        if in_calls:
            changed["tool_calls"] = new_calls
            total += in_calls
    if not changed:
        return message, 0
    return {**message, **changed}, total
