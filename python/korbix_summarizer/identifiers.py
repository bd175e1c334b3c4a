"""Concrete identifiers in text: paths, URLs, addresses, versions, hashes."""

from __future__ import annotations

import re
from typing import Literal

__all__ = ["IdentifierKind", "extract_identifiers"]

_LETTER = re.compile(r"[^\W\d_]")

_URL = re.compile(r"\b[a-z][a-z0-9+.-]{1,15}://[^\s'\"<>`()\[\]{},;|]+", re.IGNORECASE)
_ARN = re.compile(r"\barn:[\w-]+:[\w-]+:[\w-]*:\d*:[^\s'\"`,;)\]]+")
_EMAIL = re.compile(r"\b[\w.+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}\b")
_PATH = re.compile(r"(?<![\w/:.@-])(?:~/|\.{1,2}/|/)?(?:[\w.@+-]+/)+[\w.@+-]*\w/?")
_FILE = re.compile(
    r"(?<![\w/.-])[\w-]+(?:\.[\w-]+)*\.(?:py|pyi|pyx|js|mjs|cjs|jsx|ts|tsx|go|rs|java|kt|c|cc|cpp|"
    r"h|hpp|cs|rb|php|swift|scala|sh|bash|ps1|sql|ya?ml|json|jsonl|toml|ini|cfg|conf|env|md|rst|"
    r"txt|log|csv|tsv|parquet|xml|html?|css|scss|vue|svelte|lock|tf|proto|gradle|mk|gguf)\b"
    r"|\b(?:Dockerfile|Makefile|Procfile|Gemfile|Jenkinsfile|Vagrantfile)\b",
    re.IGNORECASE,
)
_PIN = re.compile(r"\b[A-Za-z][\w.-]*(?:==|>=|<=|~=|@)\d[\w.+-]*")
_VERSION = re.compile(r"(?<![\w.])v?\d+\.\d+\.\d+(?:[-+][0-9A-Za-z.]+)?\b")
_HASH = re.compile(r"\b(?=[0-9a-f]*\d)(?=[0-9a-f]*[a-f])[0-9a-f]{7,40}\b")
_TICKET = re.compile(r"\b[A-Z][A-Z0-9]{1,9}-\d{2,}\b|(?<![\w&#])#\d{2,}\b")
_CONSTANT = re.compile(r"\b[A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+\b")
_SNAKE = re.compile(r"\b[a-z][a-z0-9]*(?:_[a-z0-9]+)+\b")
_BACKTICKED = re.compile(r"`([^`\n]{2,80})`")
_NOT_PATHS = frozenset(
    "and/or either/or read/write input/output yes/no true/false on/off client/server "
    "he/she his/her s/he w/o n/a i/o tcp/ip km/h".split()
)
_NOT_TICKETS = frozenset({"UTF", "SHA", "ISO", "AES", "HTTP", "TLS", "MD", "GPT", "ES"})

IdentifierKind = Literal["url", "path", "email", "version", "hash", "ticket", "name"]


def extract_identifiers(text: str) -> list[tuple[str, IdentifierKind]]:
    """The concrete identifiers of ``text``, in order of appearance.

    URLs and ARNs, e-mail addresses, file paths and file names, version pins
    and numbers, commit hashes, ticket ids, constant names, snake_case names
    and text in backticks. A path inside a URL or a file name inside a path
    is not reported again.
    """
    found: list[tuple[int, str, IdentifierKind]] = []
    taken: list[tuple[int, int]] = []

    def free(start: int, end: int) -> bool:
        return all(end <= s or start >= e for s, e in taken)

    def take(pattern: re.Pattern[str], kind: IdentifierKind, group: int = 0) -> None:
        for match in pattern.finditer(text):
            start, end = match.span(group)
            value = match.group(group).rstrip(".,:;!?'\")]}")
            if not value or not free(start, start + len(value)) or not _plausible(value, kind):
                continue
            taken.append((start, start + len(value)))
            found.append((start, value, kind))

    take(_URL, "url")
    take(_ARN, "url")
    take(_EMAIL, "email")
    take(_BACKTICKED, "name", 1)
    take(_PIN, "version")
    take(_PATH, "path")
    take(_FILE, "path")
    take(_VERSION, "version")
    take(_HASH, "hash")
    take(_TICKET, "ticket")
    take(_CONSTANT, "name")
    take(_SNAKE, "name")
    found.sort(key=lambda item: item[0])
    return [(value, kind) for _, value, kind in found]


def _plausible(value: str, kind: IdentifierKind) -> bool:
    if kind == "path":
        if "/" not in value:
            return True  # a file name with a known extension
        segments = [s for s in value.strip("/").split("/") if s]
        if not segments or not any(_LETTER.search(s) for s in segments):
            return False  # 1/3, 2025/03/09
        if value.casefold() in _NOT_PATHS:
            return False
        if value.startswith(("/", "~/", "./", "../")) or len(segments) >= 3:
            return True
        return bool(re.search(r"[._-]|\d", value)) or len(segments) == 2 and len(value) >= 7
    if kind == "ticket":
        return value.startswith("#") or value.split("-")[0] not in _NOT_TICKETS
    if kind == "name":
        return len(value) >= 4 and not value.isdigit()
    return True
