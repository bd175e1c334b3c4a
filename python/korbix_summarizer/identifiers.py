"""Concrete identifiers in text: paths, URLs, addresses, versions, tickets, names.

One table of patterns serves two readers, each through a selection of its
rows:

- ``extract_identifiers`` (``EXTRACTIVE``) gives the extractive summarizer
  its key facts. It wants whatever a reader may look for again, so it also
  takes ARNs, version pins, commit hashes, constant and snake_case names and
  text in backticks, and its rules for paths are lenient.
- ``find_identifiers`` (``FIDELITY``) gives the record checks the
  identifiers a summary must keep: each one found counts against a summary
  that leaves it out, so its rules are stricter, and it also takes Windows
  paths, dotfiles and build files, ticket references in words ("issue 42"),
  error names, and URLs whose password was redacted.

A pattern that both read the same way is defined once; where they differ on
purpose, each has a pattern of its own, and the comment says why.
"""

from __future__ import annotations

import bisect
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Final, Literal

from .redact import MARKER_PATTERN

__all__ = [
    "EXTRACTIVE",
    "FIDELITY",
    "IdentifierKind",
    "Rule",
    "extract_identifiers",
    "find",
    "find_identifiers",
]

IdentifierKind = Literal["url", "email", "path", "version", "hash", "ticket", "name", "error"]

LETTER: Final = re.compile(r"[^\W\d_]")
_NUMBER = re.compile(r"\d+")

# ---------------------------------------------------------------- patterns

# URLs; a redaction marker inside one (a password taken out) is part of it.
_URL = re.compile(
    r"\b[a-z][a-z0-9+.-]{1,15}://(?:" + MARKER_PATTERN + r"|[^\s<>\"'`()\[\]{}|\\^])+", re.IGNORECASE
)
_ARN = re.compile(r"\barn:[\w-]+:[\w-]+:[\w-]*:\d*:[^\s'\"`,;)\]]+")

_EMAIL = re.compile(r"\b[\w.%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}\b")

# Paths. Each reader has its pattern and its check: the extractive ones take
# a path of two parts (src/main), the fidelity ones want three parts or a
# file name at the end, and also read Windows paths.
_PATH = re.compile(r"(?<![\w/:.@-])(?:~/|\.{1,2}/|/)?(?:[\w.@+-]+/)+[\w.@+-]*\w/?")
_PATH_POSSESSIVE = re.compile(r"(?<![\w/.~:@-])(?:~|\.{1,2})?/?(?:[\w.@+-]++/)++[\w.@+-]*+")
_WINDOWS_PATH = re.compile(r"\b[A-Za-z]:\\(?:[^\\\s:*?\"'<>|]+\\)*[^\\\s:*?\"'<>|]+")

# File names with a known extension, and build files. The extractive pattern
# names the extensions, but not those that are also attribute names in code
# (self.db, args.key); the fidelity one takes any dotted word and checks its
# last part against EXTENSIONS, and also takes dotfiles.
BUILD_FILES: Final = ("Dockerfile", "Makefile", "Procfile", "Gemfile", "Jenkinsfile", "Vagrantfile")
EXTENSIONS: Final = frozenset(
    """py pyi pyx ipynb js mjs cjs jsx ts tsx go rs java kt kts c cc cpp cxx h hh hpp cs rb php
    swift scala sh bash zsh ps1 bat sql yml yaml json jsonl toml ini cfg conf env md rst txt log
    csv tsv parquet xml htm html css scss vue svelte lock tf tfvars proto gradle mk cmake gguf
    pem crt key pdf png jpg jpeg svg zip tar gz whl so dll exe db sqlite sqlite3""".split()
)
_ATTRIBUTE_NAMES: Final = frozenset({"key", "db", "so"})
_FILE_NAME = re.compile(
    rf"(?<![\w/.-])[\w-]+(?:\.[\w-]+)*\.(?:{'|'.join(sorted(EXTENSIONS - _ATTRIBUTE_NAMES))})\b"
    rf"|\b(?:{'|'.join(BUILD_FILES)})\b",
    re.IGNORECASE,
)
_DOTTED_WORD = re.compile(r"(?<![\w/.\\-])[\w-]++(?:\.[\w-]++)++")
_SPECIAL_FILE = re.compile(
    r"(?<![\w/.\\-])\.(?:env|gitignore|dockerignore|npmrc|bashrc|zshrc|editorconfig)\b"
    rf"|\b(?:{'|'.join(BUILD_FILES)}|CMakeLists\.txt)\b"
)

# Versions: also with a pre-release or build part (1.2.3-rc.1, 2.1.0+cu121),
# and v2.1, but not the start of a longer dotted number (an IP address).
# The extractive reader also takes a pin whole (redis==5.0.1).
_PIN = re.compile(r"\b[A-Za-z][\w.-]*(?:==|>=|<=|~=|@)\d[\w.+-]*")
_VERSION = re.compile(
    r"(?<![\w.])v?\d+\.\d+\.\d+(?:-[0-9A-Za-z]+(?:\.[0-9A-Za-z]+)*)?(?:\+[0-9A-Za-z]+(?:\.[0-9A-Za-z]+)*)?"
    r"(?![\w-]|\.\d)|(?<![\w.])v\d+\.\d+(?![\w-]|\.\d)"
)

# Tickets. The extractive pattern wants two digits at least; the fidelity one
# also takes "ISSUE-7", "CVE-2024-3094", "issue 42" and "PR #7".
_TICKET = re.compile(r"\b[A-Z][A-Z0-9]{1,9}-\d{2,}\b|(?<![\w&#])#\d{2,}\b")
# Words before a ticket's number; a word in lower case may also be capitalised.
TICKET_WORDS: Final = ("issue", "ticket", "bug", "PR", "pull request", "merge request", "MR")
_TICKET_OR_REFERENCE = re.compile(
    r"\b[A-Z][A-Z0-9]{1,9}-\d+(?:-\d+)?\b"
    r"|(?<![\w&#/])#\d{2,}\b"
    r"|\b(?:"
    + "|".join(word if word.isupper() else f"[{word[0].upper()}{word[0]}]{word[1:]}" for word in TICKET_WORDS)
    + r")\s+#?\d+\b"
)

# Only the extractive reader: commit hashes, constant and snake_case names,
# text in backticks. Only the fidelity reader: error and exception names.
_HASH = re.compile(r"\b(?=[0-9a-f]*\d)(?=[0-9a-f]*[a-f])[0-9a-f]{7,40}\b")
_CONSTANT = re.compile(r"\b[A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+\b")
_SNAKE = re.compile(r"\b[a-z][a-z0-9]*(?:_[a-z0-9]+)+\b")
_BACKTICKED = re.compile(r"`([^`\n]{2,80})`")
_ERROR = re.compile(
    # At least one letter before the suffix: "KeyError", never "Error" alone.
    r"\b[A-Z][A-Za-z0-9]*?(?:Error|Exception|Exit|Interrupt|Warning|Fault)\b"
    r"|\bE(?:NOENT|ACCES|PERM|EXIST|NOTDIR|ISDIR|INVAL|NOSPC|PIPE|AGAIN|CONNREFUSED|CONNRESET|"
    r"CONNABORTED|TIMEDOUT|HOSTUNREACH|NETUNREACH|ADDRINUSE|ADDRNOTAVAIL|NOMEM|BADF|MFILE|NOTEMPTY|"
    r"ROFS|BUSY|DEADLK|NOTCONN|NOTSUP|OVERFLOW|RANGE)\b"
    r"|\bSIG(?:SEGV|KILL|TERM|ABRT|BUS|ILL|FPE|PIPE|HUP|INT|QUIT)\b|\bOOMKilled\b"
)

NOT_PATHS: Final = frozenset(
    "and/or either/or read/write input/output yes/no true/false on/off client/server he/she his/her "
    "s/he w/o n/a i/o tcp/ip km/h".split()
)
# Prefixes of "WORD-123" that name a standard or a model, not a ticket.
_NOT_TICKETS: Final = frozenset(
    {"UTF", "SHA", "ISO", "AES", "HTTP", "TLS", "SSL", "GPT", "MD", "RSA", "ES", "UCS", "IEC", "TCP", "UDP"}
)


# ---------------------------------------------------------------- checks


def _always(value: str) -> bool:
    return True


def _lenient_path(value: str) -> bool:
    if "/" not in value:
        return True  # a file name with a known extension
    segments = [s for s in value.strip("/").split("/") if s]
    if not segments or not any(LETTER.search(s) for s in segments):
        return False  # 1/3, 2025/03/09
    if value.casefold() in NOT_PATHS:
        return False
    if value.startswith(("/", "~/", "./", "../")) or len(segments) >= 3:
        return True
    return bool(re.search(r"[._-]|\d", value)) or len(segments) == 2 and len(value) >= 7


def _known_file(value: str) -> bool:
    """A file name: a known extension, or a dotfile or build file (all without a dot)."""
    return "." not in value.strip(".") or value.rsplit(".", 1)[1].casefold() in EXTENSIONS


def _strict_path(value: str) -> bool:
    if "/" not in value:
        # A directory whose slash was cut ("e2e/"); "./" and "../" are none.
        return bool(LETTER.search(value)) and _known_file(value)
    if value.casefold() in NOT_PATHS:
        return False
    segments = [segment for segment in value.split("/") if segment not in ("", ".", "..", "~")]
    if not segments or not any(LETTER.search(segment) for segment in segments):
        return False  # 1/2, 2024/03/01
    if value.startswith(("/", "~/", "./", "../")):
        return len(value) >= 3
    last = segments[-1]
    # A relative path: three parts, or a file name with an extension at its end.
    return len(segments) >= 3 or ("." in last.strip(".") and bool(LETTER.search(last.rsplit(".", 1)[-1])))


def _windows_path(value: str) -> bool:
    return "/" not in value or _strict_path(value)


def _has_host(value: str) -> bool:
    scheme, rest = value.split("://", 1)
    host = rest.split("/", 1)[0]
    if scheme.casefold() == "file":
        return len(rest) > 1
    return bool(host) and not host.endswith((":", "@")) and bool(LETTER.search(host) or _NUMBER.search(host))


def _ticket(value: str) -> bool:
    if value[0].isupper() and "-" in value:
        return value.split("-", 1)[0] not in _NOT_TICKETS
    return True  # #123, issue 42


def _name(value: str) -> bool:
    return len(value) >= 4 and not value.isdigit()


# ---------------------------------------------------------------- the table


_TRAILING: Final = ".,:;!?'\")]}"


@dataclass(frozen=True, slots=True)
class Rule:
    """A pattern, the kind of identifier it finds, and the check a match must pass.

    ``needle`` is a text that every match contains (texts without it are not
    scanned); ``group`` is the group of the match that is the identifier.
    ``trailing`` is cut from the end of a match, and with ``slash`` then a
    trailing slash too.
    """

    pattern: re.Pattern[str]
    kind: IdentifierKind
    plausible: Callable[[str], bool] = _always
    needle: str = ""
    group: int = 0
    trailing: str = _TRAILING
    slash: bool = False


# Rules that both readers apply.
URL: Final = Rule(_URL, "url", _has_host, needle="://", trailing=_TRAILING + ">*")
EMAIL: Final = Rule(_EMAIL, "email", needle="@")

# The readers' rules in order of precedence: a text taken by an earlier rule
# (a path inside a URL, a file name inside a path) is not reported again.
EXTRACTIVE: Final[tuple[Rule, ...]] = (
    URL,
    Rule(_ARN, "url", needle="arn:"),
    EMAIL,
    Rule(_BACKTICKED, "name", _name, needle="`", group=1),
    Rule(_PIN, "version"),
    Rule(_PATH, "path", _lenient_path, needle="/"),
    Rule(_FILE_NAME, "path", _lenient_path),
    Rule(_VERSION, "version", needle="."),
    Rule(_HASH, "hash"),
    Rule(_TICKET, "ticket", _ticket),
    Rule(_CONSTANT, "name", _name, needle="_"),
    Rule(_SNAKE, "name", _name, needle="_"),
)
FIDELITY: Final[tuple[Rule, ...]] = (
    URL,
    EMAIL,
    Rule(_WINDOWS_PATH, "path", _windows_path, needle=":\\", slash=True),
    Rule(_PATH_POSSESSIVE, "path", _strict_path, needle="/", slash=True),
    Rule(_DOTTED_WORD, "path", _known_file, needle="."),
    Rule(_SPECIAL_FILE, "path", _known_file),
    Rule(_VERSION, "version", needle="."),
    Rule(_TICKET_OR_REFERENCE, "ticket", _ticket),
    Rule(_ERROR, "error"),
)


def find(text: str, rules: Sequence[Rule]) -> list[tuple[int, int, str, IdentifierKind]]:
    """The identifiers that ``rules`` find in ``text`` as (start, end, identifier, kind), in order."""
    found: list[tuple[int, int, str, IdentifierKind]] = []
    # The spans taken by earlier rules: disjoint, sorted by start and so by end too.
    starts: list[int] = []
    ends: list[int] = []
    for rule in rules:
        if rule.needle not in text:
            continue
        group = rule.group
        added: list[tuple[int, int]] = []
        for match in rule.pattern.finditer(text):
            start = match.start(group)
            value = match.group(group).rstrip(rule.trailing)
            if rule.slash and len(value) > 1:
                value = value.rstrip("/")
            end = start + len(value)
            if not value:
                continue
            # Of the spans that start before this one ends, only the last may reach into it.
            before = bisect.bisect_left(starts, end)
            if (before and ends[before - 1] > start) or not rule.plausible(value):
                continue
            added.append((start, end))
            found.append((start, end, value, rule.kind))
        if added:
            # One rule's matches never overlap each other (finditer's are
            # disjoint and a value lies inside its match), so they join the
            # taken spans only after the rule.
            spans = sorted([*zip(starts, ends, strict=True), *added])
            starts = [span[0] for span in spans]
            ends = [span[1] for span in spans]
    found.sort()
    return found


def extract_identifiers(text: str) -> list[tuple[str, IdentifierKind]]:
    """The concrete identifiers of ``text`` for the extractive summarizer, in order of appearance.

    URLs and ARNs, e-mail addresses, file paths and file names, version pins
    and numbers, commit hashes, ticket ids, constant names, snake_case names
    and text in backticks. A path inside a URL or a file name inside a path
    is not reported again.
    """
    return [(value, kind) for _, _, value, kind in find(text, EXTRACTIVE)]


def find_identifiers(text: str) -> list[tuple[int, int, str, IdentifierKind]]:
    """The identifiers of ``text`` that the record checks count, as (start, end, identifier, kind), in order.

    URLs (also with a redacted password), e-mail addresses, file paths
    (absolute, relative, home, Windows) and file names with a known
    extension, ticket and issue ids (PROJ-123, #123, "issue 42"), version
    numbers (1.2.3, 1.2.3-rc.1, v2.1; also the version of a pin such as
    redis==5.0.1), and error and exception names (KeyError, ENOENT, SIGSEGV).
    """
    return find(text, FIDELITY)
