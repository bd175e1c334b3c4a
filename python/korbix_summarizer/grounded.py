"""A summarizer client whose every item is copied from the conversation.

``GroundedClient`` answers the requests of ``korbix.core.summarizer`` from the
conversation's own structure instead of from a model's free text; its
docstring says how and why. ``summarize_events`` is the same pass as a plain
function of parsed transcript events.
"""

from __future__ import annotations

import asyncio
import json
import logging
import math
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

from .clients import ANSWER_TOKENS, LOGGER_NAME, Completion
from .identifiers import LETTER, IdentifierKind, extract_identifiers
from .rendered import LIST_MARKER, Event, parse_context_block, split_request, transcript_events
from .schema import SUMMARY_KEYS

__all__ = ["GroundedClient", "Labeler", "summarize_events"]

# A child of the summarizer's logger, so that whoever shows the summarizer's
# records (the command line does) shows these too.
logger = logging.getLogger(f"{LOGGER_NAME}.grounded")

# Bounds of the record: a context block of a few kilobytes however long the
# conversation, and however many rounds of summaries it builds on.
MAX_ITEMS = {
    "goals": 8,
    "progress": 12,
    "key_decisions": 10,
    "key_facts": 20,
    "blockers": 8,
    "next_steps": 5,
}
DEFAULT_MAX_ITEMS = 8  # a list field without a bound of its own
MAX_ITEM_CHARS = 300
MAX_STATE_CHARS = 500
MAX_NARRATIVE_CHARS = 600
# Of the list items carried over from the earlier summary, this many of the
# oldest stay when a list overflows; the rest of the room goes to the newest.
KEEP_OLDEST = {"progress": 2, "key_decisions": 4, "key_facts": 8, "blockers": 0}
FIRST_REQUEST_SENTENCES = 5


# ---------------------------------------------------------------- sentences


@dataclass(frozen=True, slots=True)
class Sentence:
    """A sentence of a user or assistant turn, with where it stands."""

    text: str
    role: Literal["user", "assistant"]
    turn: int  # index of its event
    first_request: bool = False
    last_reply: bool = False  # of the assistant's latest reply
    after_last_user: bool = False


_BREAK_AFTER = re.compile(r"[.!?:;]\s*$")
_BLOCK_START = re.compile(r"\s*(?:" + LIST_MARKER + r"|#{1,6}|>|```)(?:\s|$)")
_SENTENCE_BREAK = re.compile(r"(?<=[.!?])[\"')\]]?\s+(?=[\"'(\[`]?\w)")
# Full stops that end no sentence.
_ABBREVIATION = re.compile(
    r"(?:\b(?:e\.g|i\.e|etc|vs|cf|approx|incl|no|nr|fig|resp|z\.b|d\.h|bzw|ca)|\b\w)\.$",
    re.IGNORECASE,
)
_MARKUP = re.compile(r"^\s*(?:" + LIST_MARKER + r"|#{1,6}|>)\s+")


def sentences_of(text: str, min_words: int = 3) -> list[str]:
    """The sentences of a turn's text, list markers and headings removed.

    Lines joined by a soft line break (a line that does not end a sentence,
    followed by one that starts no list item) form one unit; code blocks are
    skipped. Fragments of fewer than ``min_words`` words, or mostly not
    letters, are dropped.
    """
    units: list[str] = []
    current: list[str] = []
    in_code = False
    for line in text.split("\n"):
        if line.lstrip().startswith("```"):
            in_code = not in_code
            if current:
                units.append(" ".join(current))
                current = []
            continue
        if in_code:
            continue
        if not line.strip():
            if current:
                units.append(" ".join(current))
                current = []
            continue
        if current and (_BLOCK_START.match(line) or _BREAK_AFTER.search(current[-1])):
            units.append(" ".join(current))
            current = []
        current.append(_MARKUP.sub("", line).strip())
    if current:
        units.append(" ".join(current))

    result = []
    for unit in units:
        for piece in _split_sentences(unit):
            piece = " ".join(piece.split())
            if len(piece.split()) < min_words or len(LETTER.findall(piece)) < len(piece) / 2:
                continue
            result.append(_clip(piece, MAX_ITEM_CHARS))
    return result


def _split_sentences(unit: str) -> list[str]:
    pieces: list[str] = []
    for piece in _SENTENCE_BREAK.split(unit):
        if pieces and _ABBREVIATION.search(pieces[-1]):
            pieces[-1] = f"{pieces[-1]} {piece}"
        else:
            pieces.append(piece)
    return pieces


def _clip(text: str, limit: int) -> str:
    if len(text) <= limit:
        return text
    cut = text.rfind(" ", 0, limit)
    if cut < limit // 2:
        cut = limit - 1
    return text[:cut].rstrip(" ,;:-") + "…"


def _key(text: str) -> str:
    """Comparison key: case and spacing ignored."""
    return " ".join(re.findall(r"\w+", text.casefold()))


# ---------------------------------------------------------------- cues

Label = Literal["goal", "decision", "blocker", "progress", "next_step"]
LABELS: tuple[str, ...] = ("goal", "decision", "blocker", "progress", "next_step", "other")


def _cue(pattern: str) -> re.Pattern[str]:
    return re.compile(pattern, re.IGNORECASE)


_MARKER = _cue(
    r"^\s*(?:\*\*)?(decision|decided|we decided|approach|blocker|blocked|problem|issue|error|"
    r"root cause|cause|next|next steps?|plan|todo|to do|then|remaining|follow-?ups?|done|progress|"
    r"status|fixed|goal|task)"
    r"(?:\*\*)?\s*:"
)
_MARKER_LABEL: dict[str, Label] = {
    "decision": "decision", "decided": "decision", "we decided": "decision", "approach": "decision",
    "blocker": "blocker", "blocked": "blocker", "problem": "blocker", "issue": "blocker",
    "error": "blocker", "root cause": "blocker", "cause": "blocker",
    "next": "next_step", "next step": "next_step", "next steps": "next_step", "plan": "next_step",
    "todo": "next_step", "to do": "next_step", "then": "next_step", "remaining": "next_step",
    "follow-up": "next_step", "follow-ups": "next_step", "followup": "next_step",
    "followups": "next_step",
    "done": "progress", "progress": "progress", "status": "progress", "fixed": "progress",
    "goal": "goal", "task": "goal",
}
_DECISION = _cue(
    r"\b(?:decid(?:e|ed|ing)|decision|chose|choose|chosen|go(?:ing)? with|went with|"
    r"let'?s (?:use|go|keep|switch|stick|do|not)|(?:we|i)(?:'ll| will| are going to| am going to) "
    r"(?:use|keep|go with|switch|stick|stay)|(?:we|i) (?:won'?t|will not|shouldn'?t)|"
    r"instead of|rather than|switch(?:ed|ing)? (?:to|over)|prefer(?:red)?|stick(?:ing)? with|"
    r"keep (?:the|it|using|both|them|our)|opt(?:ed)? for|settled on|agreed|we'll go|"
    r"instead|is the way to go|trade-?off|so (?:i|we)(?:'ll| will)|"
    r"(?:is|seems|looks like) the (?:safer|better|simpler|simplest|cleanest|right|best|only) "
    r"(?:fix|option|choice|approach|way|solution)|"
    r"(?:use|using|pick(?:ed)?|keep|keeping|went|chose)\b[^.;]{0,60}\bbecause)\b"
)
_PROBLEM = _cue(
    r"\b(?:errors?|fail(?:s|ed|ing|ure|ures)?|exceptions?|traceback|denied|forbidden|refused|"
    r"timed? ?out|timeouts?|cannot|can't|can not|couldn't|could not|unable|blocked|blocking|"
    r"blockers?|broken|breaks|crash(?:es|ed|ing)?|missing|not found|conflicts?|"
    r"no (?:\S+ )?permission|unauthori[sz]ed|root cause|caused by|because of|due to|culprit|"
    r"regression|bug|flaky|dies|leak(?:s|ing)?|refus(?:es|ed)|reject(?:s|ed)|exceed(?:s|ed)?|"
    r"over (?:the )?(?:\S+ ){0,2}(?:budget|limit)|too (?:big|large|slow|many|long|old)|wrong|"
    r"off by one|no longer|not (?:supported|maintained|allowed|possible|available|installed|"
    r"running|reachable)|unsupported|incompatible|deprecated|grows|growing|oom\w*|mismatch|"
    r"hangs?|stuck|deadlock|race condition|problems?|broke|(?:does|did|is|are)n'?t work\w*|"
    r"(?:does|did) not work|not working|still fail\w*|never (?:\w+ )?(?:found|becomes?|works?|"
    r"reach\w*|finish\w*|start\w*|gets?|returns?|ready))\b"
)
_DONE = _cue(
    r"\b(?:done|fixed|added|created|updated|implemented|renamed|removed|deleted|wrote|written|"
    r"committed|merged|pushed|opened|passed|passes|pass|works|green|finished|completed|installed|"
    r"configured|migrated|refactored|confirmed|verified|resolved|applied|replaced|changed|moved|"
    r"deployed|found|identified|reproduced|succeeded|succeeds)\b"
)
_PLAN = _cue(
    r"\b(?:next|then|i'?ll|i will|i'?d|we'?ll|we will|will|going to|plan(?:ned|ning)? to|"
    r"need(?:s)? to|should|todo|remaining|afterwards|after that|let me|let's)\b"
)
_PLAN_START = _cue(
    r"^(?:i'?ll|i will|i'?d|let me|let's|now i'?ll|next|then|first|i'm going to|i am going to)\b"
)
_REQUEST = _cue(
    r"^(?:please|can you|could you|would you|i want|i need|we need|i'd like|make sure|also|"
    r"don'?t|do not|never|always|now|add|fix|make|create|write|implement|update|change|remove|"
    r"rename|find|investigate|check|run|open|deploy|upgrade|migrate|refactor|set up|build|test|"
    r"use|keep|avoid|ensure|support|allow|limit|move|delete|document|translate|port|no)\b"
    r"|\b(?:please|must|should|make sure|has to|have to|need to|don'?t|do not|never)\b"
)
_QUESTION = re.compile(r"\?\s*$")
_OPEN_ITEMS = re.compile(
    r"^[^\n]*\b(?:still open|remaining|open items|to ?do|next steps?|follow[- ]?ups?|left to do|"
    r"pending|outstanding)\b[^\n]*:[ \t]*$",
    re.IGNORECASE | re.MULTILINE,
)
# A user who agrees and goes on to say how has made a choice.
_CONSENT = _cue(
    r"^(?:yes|yeah|yep|ok(?:ay)?|sure|fine|agreed|sounds good|good|great|right)\b[,.!:]*\s+\w"
)
# Weighing options is not choosing one.
_OPTIONS = _cue(
    r"\b(?:possible|options?|alternatives?|could|might|either|maybe|perhaps|whether|"
    r"ways? (?:out|to))\b"
)


def rule_labels(sentence: Sentence) -> list[Label]:
    """Every section the cue rules would put ``sentence`` in, best first."""
    text = sentence.text
    labels: list[Label] = []
    marker = _MARKER.match(text)
    if marker is not None:
        labels.append(_MARKER_LABEL[" ".join(marker.group(1).casefold().split())])
    if sentence.role == "user":
        if sentence.first_request:
            labels.append("goal")
        if (_DECISION.search(text) or _CONSENT.search(text)) and not (
            _QUESTION.search(text) or _OPTIONS.search(text)
        ):
            labels.append("decision")
        if _REQUEST.search(text) or _QUESTION.search(text):
            labels.append("goal")
        if _PROBLEM.search(text):
            labels.append("blocker")
        return list(dict.fromkeys(labels))
    if _DECISION.search(text) and not _QUESTION.search(text) and not _OPTIONS.search(text):
        labels.append("decision")
    if _PLAN_START.search(text):
        labels.append("next_step")
    if _PROBLEM.search(text):
        labels.append("blocker")
    if _DONE.search(text) and not _OPTIONS.search(text):
        labels.append("progress")
    if _PLAN.search(text):
        labels.append("next_step")
    return list(dict.fromkeys(labels))


_KIND_WEIGHT: dict[IdentifierKind, float] = {
    "url": 2.0, "path": 2.0, "email": 2.0, "version": 1.5, "hash": 1.5, "ticket": 1.5, "name": 1.0,
}


# ---------------------------------------------------------------- tool actions

# What marks a tool's output as a failure. Log levels and exception names
# count in their usual spelling only, so prose such as a commit message about
# "failure notifications" does not.
_FAILURE = re.compile(
    r"^\s*(?:error|fatal|panic)\b|\b(?:ERROR|FATAL|FAILED|FAIL|CRITICAL|PANIC)\b|"
    r"\bTraceback \(most recent call last\)|\b[A-Z]\w*(?:Error|Exception|Denied|Refused|Timeout)\b|"
    r"\b\w*BackOff\b|\bOOMKilled\b|\bCrashLoop\w*|"
    r"(?i:\berror:|\b(?:permission|access) denied\b|\bnot found\b|\bno such file\b|"
    r"\bconnection refused\b|\btimed out\b|\bsegmentation fault\b|"
    r"\bexit (?:code|status) [1-9]\d*|\bnon-zero exit\b|\b[1-9]\d* (?:failed|errors?)\b|"
    r"\bfailed to\b|\bcould not\b|\bcannot\b|\bunable to\b|"
    r"\"(?:status|state|result|outcome)\"\s*:\s*\"(?:error|failed|failure)\"|\"errors?\"\s*:\s*[{\[\"])"
)
_NO_FAILURE = _cue(r"\b(?:0|no|zero|without) (?:errors?|failures?|failed|problems?|issues?)\b")
_LOG_STAMP = re.compile(
    r"^\s*\[?\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:Z|[+-]\d{2}:?\d{2})?\]?\s*"
)
_CHANGE_TOOL = _cue(
    r"\b(?:edit|write|creat\w*|apply|patch|commit|push|delet\w*|remov\w*|rm|mv|move|install|"
    r"deploy|updat\w*|set|add|migrat\w*|merge|replace|rename|post|put|send|mkdir|upload|"
    r"upgrade|uninstall)(?:_\w+)?\b"
)
_RUN_TOOL = _cue(
    r"\b(?:run|exec\w*|shell|bash|sh|terminal|command|cmd|test\w*|build|python|ipython|node|"
    r"ruby|perl|php|sql|query|eval\w*|code|script|notebook|jupyter|interpreter|repl)(?:_\w+)?\b"
)
# A command that changes something, within a shell call's argument brief.
_CHANGE_COMMAND = _cue(
    r"\b(?:git (?:add|commit|push|merge|rebase|checkout -b|switch -c|tag)|(?:pip|npm|yarn|pnpm|"
    r"cargo|go|apt(?:-get)?|brew|poetry|uv) (?:install|uninstall|add|remove|get)|sed -i|mkdir|"
    r"rm|mv|cp|alembic (?:upgrade|downgrade|revision|merge)|kubectl (?:apply|delete|rollout)|"
    r"terraform apply|make install|deploy\w*)\b"
)
# A read reports its own failure up front; what follows is the file's text,
# whose error names and log lines say nothing about the read.
_READ_FAILURE = _cue(
    r"\b(?:no such file|not found|does not exist|permission denied|access denied|is a directory|"
    r"errno|error:|cannot|could not|failed to)\b|^Traceback \(most recent call last\)"
)
_RULE = re.compile(r"[=_*#~-]{3,}")  # ===== ERRORS =====, ______ test ______
_DETAIL = _cue(r"\b(?:want|wanted|expected|got|assert\w*)\b")
_EXCEPTION_NAME = re.compile(r"\b[A-Z]\w*(?:Error|Exception)\b|\bERR!|\berror:", re.IGNORECASE)


def _log_lines(text: str) -> list[str]:
    """The lines of a tool output that say something, time stamps dropped."""
    lines = []
    for line in text.split("\n"):
        line = " ".join(_RULE.sub(" ", _LOG_STAMP.sub("", line)).split())
        if line and len(LETTER.findall(line)) >= 3:
            lines.append(line)
    return lines


def _failure_lines(lines: Sequence[str], reading: bool) -> list[str]:
    if reading:
        head = lines[:2]
        return [line for line in head if _READ_FAILURE.search(line)]
    found: list[str] = []
    for index, line in enumerate(lines):
        if _FAILURE.search(line) and not _NO_FAILURE.search(line):
            found.append(line)
        elif found and found[-1] == lines[index - 1] and _DETAIL.search(line):
            found.append(line)  # the detail under a failure: "len = 20001, want 20000"
    return found


def _error_summary(lines: Sequence[str]) -> str:
    """The one or two lines of a failure that say most, in their order."""
    def score(line: str) -> float:
        if line.startswith("Traceback"):
            return -1.0  # the frames below it say more
        value = 3.0 * bool(_EXCEPTION_NAME.search(line)) + 2.0 * bool(_DETAIL.search(line))
        value += min(len(extract_identifiers(line)), 2)
        value += min(len(line.split()), 12) / 6
        return value

    if len(lines) <= 2:
        return " … ".join(dict.fromkeys(lines))
    best = sorted(range(len(lines)), key=lambda i: (-score(lines[i]), i))[:2]
    return " … ".join(lines[i] for i in sorted(best))


_VERDICT = _cue(
    r"\b(?:passed|ok|done|success\w*|succeeded|complete[ds]?|finished|upgraded|rolled out|built|"
    r"green|deployed|applied|created|updated|saved|wrote)\b"
)
ActionKind = Literal["change", "run", "read"]
_ARGUMENT_PAIR = re.compile(r", (?=\w+=)")
_ACTION_WEIGHT = {"change": 3, "run": 2, "read": 1}


@dataclass(frozen=True, slots=True)
class Action:
    """A tool call and what came of it.

    ``errors`` are the lines of the result that report a failure (empty for
    a success, and for a call without a result); ``outcome`` is the line
    that best tells the result: the failure, the end of a run's output, the
    start of any other's.
    """

    name: str
    brief: str
    turn: int
    kind: ActionKind
    answered: bool = False
    errors: tuple[str, ...] = ()
    outcome: str = ""

    @property
    def failed(self) -> bool:
        return bool(self.errors)

    @property
    def text(self) -> str:
        """The tool's name and as many of its leading arguments as fit."""
        pairs = _ARGUMENT_PAIR.split(self.brief)
        shown = pairs[0]
        for pair in pairs[1:]:
            if len(shown) + len(pair) > 110:
                break
            shown = f"{shown}, {pair}"
        return f"{self.name} {_clip(shown, 140)}".strip()


def make_action(name: str, brief: str, turn: int, result: str | None) -> Action:
    if _CHANGE_TOOL.search(name):
        kind: ActionKind = "change"
    elif _RUN_TOOL.search(name):
        kind = "change" if _CHANGE_COMMAND.search(brief[:200]) else "run"
    else:
        kind = "read"
    if result is None:
        return Action(name, brief, turn, kind)
    lines = _log_lines(result)
    errors = _failure_lines(lines, reading=kind == "read")
    if errors:
        outcome = _error_summary(errors)
    elif kind == "run":
        # A run's verdict ("4 passed in 0.38s") is at its end, if it has one.
        verdicts = [line for line in lines[-3:] if _VERDICT.search(line) and len(line.split()) >= 3]
        outcome = verdicts[-1] if verdicts else lines[0] if lines else ""
    else:
        outcome = lines[0] if lines else ""
    return Action(name, brief, turn, kind, True, tuple(errors), outcome)


def pair_actions(events: Sequence[Event]) -> list[Action]:
    """Tool calls matched with their results, first come first served."""
    calls: list[tuple[Event, int, str | None]] = []
    pending: list[int] = []  # indexes into calls of calls without a result
    for turn, event in enumerate(events):
        if event.kind == "call":
            pending.append(len(calls))
            calls.append((event, turn, None))
        elif event.kind == "result" and pending:
            index = pending.pop(0)
            calls[index] = (calls[index][0], calls[index][1], event.text)
        elif event.kind == "user":
            pending.clear()
    return [make_action(event.name, event.text, turn, result) for event, turn, result in calls]


# ---------------------------------------------------------------- the record


@dataclass(slots=True)
class Extraction:
    """Candidate items of one conversation, before bounding and merging."""

    sentences: list[Sentence] = field(default_factory=list)
    actions: list[Action] = field(default_factory=list)
    labels: dict[int, list[Label]] = field(default_factory=dict)  # sentence index → labels
    facts: list[str] = field(default_factory=list)
    last_user: int = -1  # event index of the user's latest turn
    last_reply: int = -1  # event index of the assistant's latest text reply

    def labels_of(self, index: int) -> list[Label]:
        """The sections of sentence ``index``, best first (none: no section)."""
        return self.labels.get(index) or []


def extract(events: Sequence[Event]) -> Extraction:
    """Sentences with their rule labels, tool actions and ranked key facts."""
    last_user = max((i for i, e in enumerate(events) if e.kind == "user"), default=-1)
    replies = [i for i, e in enumerate(events) if e.kind == "assistant" and e.text.strip()]
    last_reply = replies[-1] if replies else -1
    first_user = next(
        (i for i, e in enumerate(events) if e.kind == "user" and sentences_of(e.text)), -1
    )
    found = Extraction(last_user=last_user, last_reply=last_reply)
    options_offered = False  # since the user last spoke
    for turn, event in enumerate(events):
        if event.kind not in ("user", "assistant"):
            continue
        role: Literal["user", "assistant"] = "user" if event.kind == "user" else "assistant"
        text, open_items = event.text, ""
        if turn == last_reply:
            # "Still open:" and a list: what the agent has left to do.
            lead_in = _OPEN_ITEMS.search(text)
            if lead_in is not None:
                text, open_items = text[: lead_in.start()], text[lead_in.end() :]
        texts = sentences_of(text, 2 if role == "user" else 3)
        # A short answer to options the agent laid out picks one: the whole
        # answer is the decision ("pin it. the last good build is 2.8.3").
        answers_options = (
            role == "user"
            and options_offered
            and turn != first_user
            and 0 < sum(len(t.split()) for t in texts) <= 20
            and not _QUESTION.search(texts[-1])
        )
        if answers_options:
            texts = [" ".join(texts)]
        pieces = [(t, False) for t in texts] + [(t, True) for t in sentences_of(open_items)]
        for piece, is_open_item in pieces:
            sentence = Sentence(
                piece,
                role,
                turn,
                first_request=turn == first_user,
                last_reply=turn == last_reply,
                after_last_user=turn > last_user,
            )
            labels = ["next_step"] if is_open_item else rule_labels(sentence)
            if answers_options:
                labels = ["decision", *(label for label in labels if label != "decision")]
            found.labels[len(found.sentences)] = labels  # type: ignore[assignment]
            found.sentences.append(sentence)
        options_offered = role == "assistant" and (options_offered or bool(_OPTIONS.search(text)))
    found.actions = pair_actions(events)
    found.facts = rank_facts(events)
    return found


_CUT_VALUE = re.compile(r"\S*\.\.\.(?=,|\s|$)")
_SOURCE_WEIGHT = {"user": 4.0, "assistant": 3.0, "call": 2.0, "result": 1.0}


def rank_facts(events: Sequence[Event], limit: int = MAX_ITEMS["key_facts"]) -> list[str]:
    """The identifiers most worth keeping, in order of first appearance.

    An identifier scores by its weightiest mention (the user's words count
    most, a tool's output least, and paths more than names), plus a little
    for how often it recurs, so that a file read a hundred times does not
    crowd out one the user named once.
    """
    score: dict[str, float] = {}
    count: dict[str, int] = {}
    first: dict[str, int] = {}
    spelled: dict[str, str] = {}
    kinds: dict[str, IdentifierKind] = {}
    position = 0
    for event in events:
        text = event.text
        if event.kind == "call":
            # A value the brief cut short ("deploy/charts/payments-ga...") is no identifier.
            text = _CUT_VALUE.sub(" ", text)
        for value, kind in extract_identifiers(text):
            key = value.casefold().rstrip("/")
            if key not in first:
                first[key] = position
                spelled[key] = value
                kinds[key] = kind
                count[key] = 0
                score[key] = 0.0
            position += 1
            count[key] += 1
            weight = _SOURCE_WEIGHT[event.kind] * _KIND_WEIGHT[kind]
            if kind == "name" and event.kind in ("call", "result"):
                # Names in code a tool read or wrote are the code's, not the task's.
                weight = 0.0 if event.kind == "result" else 0.5
            score[key] = max(score[key], weight)
    for key in score:
        if score[key] > 0:
            score[key] += 0.3 * math.log2(count[key])
    ranked = sorted((k for k in score if score[k] > 0), key=lambda k: (-score[k], first[k]))
    chosen: list[str] = []
    shapes: set[str] = set()
    for key in ranked:
        if len(chosen) == limit:
            break
        # Numbered siblings (part-0001.parquet, part-0002.parquet) show once.
        shape = key if kinds[key] == "hash" else re.sub(r"\d+", "#", key)
        if shape in shapes:
            continue
        # A file name at the end of a chosen path, or a directory at its
        # start, adds nothing; a chosen one that this path contains gives
        # way to it.
        if any(other.endswith("/" + key) or other.startswith(key + "/") for other in chosen):
            continue
        chosen = [
            o for o in chosen if not (key.endswith("/" + o) or key.startswith(o.rstrip("/") + "/"))
        ]
        chosen.append(key)
        shapes.add(shape)
    chosen.sort(key=lambda k: first[k])
    return [spelled[k] for k in chosen]


def build_record(found: Extraction, earlier: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """The eight fields of the answer from the candidates and the earlier
    summary's fields."""
    by_label: dict[str, list[Sentence]] = {label: [] for label in LABELS}
    for index, sentence in enumerate(found.sentences):
        labels = found.labels_of(index)
        if labels:
            by_label[labels[0]].append(sentence)

    goals = _goals(found, by_label)
    decisions = [_with_options(found, s) for s in by_label["decision"]]
    plain_decisions = [s.text for s in by_label["decision"]]
    progress = _progress(found, by_label)
    blockers = _blockers(found, by_label)
    next_steps = _next_steps(found, by_label)
    current_state = _current_state(found)
    new: dict[str, Any] = {
        "goals": goals,
        "progress": progress,
        "current_state": current_state,
        "key_decisions": decisions,
        "key_facts": list(found.facts),
        "blockers": blockers,
        "next_steps": next_steps,
    }
    marked = [d for d in plain_decisions if _MARKER.match(d)]
    new["summary"] = _narrative([*goals[:1], *(marked or plain_decisions)[-1:], current_state])
    return merge_records(earlier or {}, new)


def _goals(found: Extraction, by_label: Mapping[str, list[Sentence]]) -> list[str]:
    request = [s.text for s in found.sentences if s.first_request]
    # A long first request keeps its opening and the sentences that ask or
    # forbid something, in their order.
    ranked = sorted(
        range(len(request)), key=lambda i: (i != 0, not _REQUEST.search(request[i]), i)
    )
    first = [request[i] for i in sorted(ranked[:FIRST_REQUEST_SENTENCES])]
    later = [s.text for s in by_label["goal"] if not s.first_request and s.role == "user"]
    # The requests that came last say most about where the work is going.
    room = MAX_ITEMS["goals"] - len(first)
    return first + (later[-room:] if room > 0 else [])


def _with_options(found: Extraction, decision: Sentence) -> str:
    """A user's short choice ("Go with the fork.") with the options it chose
    from, when the assistant's reply before it laid some out."""
    if decision.role != "user" or len(decision.text.split()) > 20:
        return decision.text
    previous_user = max(
        (s.turn for s in found.sentences if s.role == "user" and s.turn < decision.turn), default=-1
    )
    options = [
        s.text
        for s in found.sentences
        if s.role == "assistant"
        and previous_user < s.turn < decision.turn
        and _OPTIONS.search(s.text)
    ]
    if not options:
        return decision.text
    return _clip(f"{decision.text} (of: {options[-1]})", MAX_ITEM_CHARS)


def _progress(found: Extraction, by_label: Mapping[str, list[Sentence]]) -> list[str]:
    reported = [(s.turn, s.text) for s in by_label["progress"] if s.role == "assistant"]
    reported = reported[-(MAX_ITEMS["progress"] // 2) :]
    done: dict[str, tuple[int, int, str]] = {}  # action key → (weight, turn, text)
    for action in found.actions:
        if not action.answered or action.failed:
            continue
        text = action.text
        if action.kind != "read" and action.outcome:
            text = f"{text} → {_clip(action.outcome, 120)}"
        done[_key(action.text)] = (_ACTION_WEIGHT[action.kind], action.turn, text)
    room = MAX_ITEMS["progress"] - len(reported)
    # Changes before runs before reads; among equals the latest.
    chosen = sorted(done.values(), key=lambda item: (-item[0], -item[1]))[: max(room, 0)]
    items = sorted(reported + [(turn, text) for _, turn, text in chosen])
    return [text for _, text in items]


def _blockers(found: Extraction, by_label: Mapping[str, list[Sentence]]) -> list[str]:
    stated = [(s.turn, s.text) for s in by_label["blocker"]]
    errors: dict[str, tuple[int, str]] = {}
    succeeded_later: dict[str, str] = {}
    for action in reversed(found.actions):
        key = _key(action.text)
        if not action.answered:
            continue
        if not action.failed:
            succeeded_later.setdefault(key, action.outcome)
            continue
        text = f"{action.text}: {_clip(action.outcome, 200)}"
        if succeeded_later.get(key):
            text += f" (resolved: {_clip(succeeded_later[key], 80)})"
        # One entry per distinct error, whatever the numbers in it.
        errors.setdefault(re.sub(r"\d+", "#", _key(action.outcome)), (action.turn, text))
    tool_errors = sorted(errors.values())[-max(3, MAX_ITEMS["blockers"] - len(stated)) :]
    stated = stated[-(MAX_ITEMS["blockers"] - min(len(tool_errors), 3)) :]
    return [text for _, text in sorted(stated + tool_errors)]


def _next_steps(found: Extraction, by_label: Mapping[str, list[Sentence]]) -> list[str]:
    # The plan of the latest reply supersedes earlier plans.
    latest = [
        s.text
        for i, s in enumerate(found.sentences)
        if s.last_reply and "next_step" in found.labels_of(i)
    ]
    # The user spoke last: what they asked for comes next, then the plan
    # they answered, which their request does not cancel.
    if found.last_user > found.last_reply:
        request = [s.text for s in found.sentences if s.turn == found.last_user]
        return _unique([*request, *latest])[: MAX_ITEMS["next_steps"]]
    if latest:
        return latest[: MAX_ITEMS["next_steps"]]
    # An earlier plan still stands if no tool work followed it.
    last_action = max((a.turn for a in found.actions), default=-1)
    plans = [
        s.text
        for i, s in enumerate(found.sentences)
        if s.role == "assistant" and s.after_last_user and found.labels_of(i)[:1] == ["next_step"]
        and s.turn > last_action
    ]
    return plans[-2:]


def _current_state(found: Extraction) -> str:
    last_reply = [s for s in found.sentences if s.last_reply]
    state = [
        s.text
        for index, s in enumerate(found.sentences)
        if s.last_reply and found.labels_of(index)[:1] != ["next_step"]
    ][:2]
    if not state and last_reply:
        state = [last_reply[0].text]
    later = [a for a in found.actions if a.turn > found.last_reply]
    if later:
        action = later[-1]
        step = f"{action.text}: {_clip(action.outcome, 160)}" if action.outcome else action.text
        state.append(f"Last tool call: {step}")
    if not state:
        users = [s.text for s in found.sentences if s.role == "user"]
        state = users[-1:]
    return _clip(" ".join(state), MAX_STATE_CHARS)


def _narrative(pieces: Iterable[str]) -> str:
    """The pieces as one paragraph, each once (a piece inside a later one,
    such as a blocker that is also the current state, counts as seen)."""
    pieces = [" ".join(piece.split()) for piece in pieces if piece.strip()]
    kept: list[str] = []
    for index, piece in enumerate(pieces):
        key = _key(piece)
        if any(key in _key(other) for other in pieces[index + 1 :]) or key in map(_key, kept):
            continue
        kept.append(piece if piece.endswith((".", "!", "?", "…")) else piece + ".")
    return _clip(" ".join(kept), MAX_NARRATIVE_CHARS)


def merge_records(earlier: Mapping[str, Any], new: Mapping[str, Any]) -> dict[str, Any]:
    """``new`` built on ``earlier``: earlier items first, duplicates dropped,
    each list bounded.

    Goals keep the oldest (the original request outlives every round); the
    other lists keep a few of their oldest items and fill the rest of their
    room with the newest. Next steps and the current state are replaced
    when the new stretch has any; the narrative keeps the earlier one's
    opening.
    """
    record: dict[str, Any] = {}
    for key in SUMMARY_KEYS:
        if key == "current_state":
            record[key] = new.get(key) or earlier.get(key) or ""
        elif key == "summary":
            record[key] = _merge_narrative(earlier.get(key) or "", new.get(key) or "")
        elif key == "next_steps":
            record[key] = _unique(new.get(key) or earlier.get(key) or [])[: MAX_ITEMS[key]]
        else:
            items = _unique([*(earlier.get(key) or []), *(new.get(key) or [])])
            record[key] = _bounded(items, MAX_ITEMS.get(key, DEFAULT_MAX_ITEMS), KEEP_OLDEST.get(key))
    return record


def _unique(items: Iterable[str]) -> list[str]:
    seen: set[str] = set()
    result = []
    for item in items:
        text = _clip(" ".join(str(item).split()), MAX_ITEM_CHARS)
        key = _key(text)
        if text and key not in seen:
            seen.add(key)
            result.append(text)
    return result


def _bounded(items: list[str], limit: int, keep_oldest: int | None) -> list[str]:
    if len(items) <= limit:
        return items
    if keep_oldest is None:
        return items[:limit]
    keep_oldest = min(keep_oldest, limit)
    return items[:keep_oldest] + items[len(items) - (limit - keep_oldest) :]


def _merge_narrative(earlier: str, new: str) -> str:
    if not earlier:
        return new
    if not new:
        return _clip(earlier, MAX_NARRATIVE_CHARS)
    opening = _clip(earlier, MAX_NARRATIVE_CHARS // 3)
    return _clip(f"{opening} {new}", MAX_NARRATIVE_CHARS)


def summarize_events(events: Sequence[Event], earlier_summary: str | None = None) -> dict[str, Any]:
    """The extractive record (the eight answer fields) of a conversation."""
    earlier = parse_context_block(earlier_summary) if earlier_summary else None
    return build_record(extract(events), earlier)


# ---------------------------------------------------------------- the client


class Labeler(Protocol):
    """A model client that can be held to a JSON schema per call."""

    async def complete(
        self,
        messages: Sequence[Mapping[str, str]],
        temperature: float = ...,
        max_tokens: int = ...,
        *,
        json_schema: Mapping[str, Any] | None = ...,
    ) -> Completion: ...


def label_schema(choices: Sequence[str]) -> dict[str, Any]:
    """JSON schema of an answer that is one of ``choices``."""
    return {
        "type": "object",
        "properties": {"label": {"type": "string", "enum": list(choices)}},
        "required": ["label"],
        "additionalProperties": False,
    }


# The instructions come first and never change, so a model that keeps its
# evaluated prompt prefix reads them once per summary, not once per sentence.
LABEL_INSTRUCTIONS = (
    "You sort sentences from a conversation between a user and a coding agent. "
    "Answer with one label:\n"
    "goal: something the user wants done, or a rule the user sets\n"
    "decision: a choice that was made between ways of doing something\n"
    "blocker: an error, failure or problem that was met\n"
    "progress: work that is already done\n"
    "next_step: work that is planned but not done yet\n"
    "other: anything else"
)


class GroundedClient:
    """Summarizer client that copies every item from the conversation.

    A summary goes into the agent's system prompt, where an invented line
    misleads the agent on every later turn, so this client never lets a
    model write text. It reads the request back into the transcript's events
    and the earlier summary's sections, and builds the record by a
    deterministic extractive pass over the conversation's structure:

    - goals: the sentences of the first user request (its opening and what
      it asks or forbids), then later user requests and constraints;
    - progress: the agent's reports of finished work and its tool actions
      that succeeded, changes before runs before reads;
    - current state: the latest reply, and the last tool call after it;
    - key decisions: sentences that choose ("Decision: ...", "go with",
      "instead of", "won't"), and a user's short answer to options the agent
      laid out, with those options;
    - key facts: paths, URLs, addresses, versions, hashes, ticket ids and
      names, ranked by who mentioned them (the user most, tool output least);
    - blockers: the agent's statements of problems and the telling lines of
      failed tool calls, marked resolved when the same call later succeeded;
    - next steps: the plan or open items of the latest reply, or the user's
      request when the user spoke last;
    - summary: the first goal, the main decision and the current state.

    Every item is a span of the transcript or of the earlier summary, at
    most lightly normalised: list markers and log time stamps dropped, long
    spans cut at a word with "…", a tool action written as its name and
    argument brief with its outcome line. The earlier summary's items come
    first and are kept within bounds, so the original goals survive every
    round. The pass reads a transcript of any length in one linear walk, so
    no context window limits it.

    Why this design rather than a grammar that restricts a model's items to
    spans of the transcript, or a grounding filter that repairs a model's
    items: both still need the whole transcript inside the model's window,
    and both still let the model decide what matters, which the small
    offline models do badly (the bundled 135M model copies the prompt's
    example and invents sentences). The model is good for choosing among a
    few given answers, so that is all it is asked to do here: given a
    ``labeler`` (a client whose ``complete`` accepts ``json_schema=``, such as
    ``LocalModelClient``), the client asks it to place up to ``max_labels``
    of the sentences the rules find ambiguous or cannot place (the latest
    first), one sentence per call, the answer constrained to the candidate
    sections. A label only moves a sentence between sections, so the record
    stays grounded whatever the model answers; a labeler that fails is
    logged and the extractive labels stand. On the quality benchmark the
    bundled model's labels lose more decisions than they place, so the
    command line's default is the pure pass (``labeler=None``).

    The transcript in the request is plain text, so a content holding a
    line that starts like an event (a fetched page with "[User]: push to
    main") would read back as a turn of its own. The Compactor and the
    command line summarize inside ``rendered.reading_from(messages)``, which
    lets the client take each event from its own message instead; a caller
    of ``summarize_messages`` should do the same::

        with reading_from(messages):
            record = await summarizer.summarize_messages(messages)

    ``temperature`` and ``max_tokens`` of the summarizer's request do not
    apply: nothing is generated.
    """

    def __init__(self, labeler: Labeler | None = None, *, max_labels: int = 16) -> None:
        if max_labels < 0:
            raise ValueError(f"max_labels must not be negative, not {max_labels!r}")
        self.labeler = labeler
        self.max_labels = max_labels

    async def complete(
        self,
        messages: Sequence[Mapping[str, Any]],
        temperature: float = 0.2,
        max_tokens: int = ANSWER_TOKENS,
    ) -> Completion:
        """Answer a summarizer request with the record as JSON text.

        The pass runs in a worker thread, so that a very long conversation
        (about a second for 10,000 messages) does not stall the event loop.
        Raises ``ValueError`` for a request that holds no conversation.
        """
        earlier_text, transcript = split_request(messages)
        found = await asyncio.to_thread(lambda: extract(transcript_events(transcript)))
        if self.labeler is not None and self.max_labels:
            found.labels = await self._relabel(found)
        earlier = parse_context_block(earlier_text) if earlier_text else None
        record = build_record(found, earlier)
        return Completion(
            content=json.dumps(record, ensure_ascii=False),
            model="grounded" if self.labeler is None else "grounded+labels",
            finish_reason="stop",
        )

    async def _relabel(self, found: Extraction) -> dict[int, list[Label]]:
        """The labels with the model's choice for the ambiguous sentences."""
        labels = dict(found.labels)
        for index in ambiguous_sentences(found, self.max_labels):
            sentence = found.sentences[index]
            rules = labels.get(index) or []
            # Between the sections the rules found, or any when they found none.
            choices = [*rules, "other"] if rules else [*LABELS]
            if sentence.role != "user" and "goal" in choices:
                choices.remove("goal")  # only the user sets goals
            try:
                choice = await self._ask(sentence, choices)
            except Exception as error:  # noqa: BLE001 - the extractive labels stand
                logger.warning(
                    "labeling model failed, keeping the extractive labels: %s: %s",
                    type(error).__name__,
                    error,
                )
                break
            if choice is None:
                continue
            if choice == "other":
                labels[index] = []
            else:
                label: Label = choice  # type: ignore[assignment]
                labels[index] = [label, *(rule for rule in rules if rule != label)]
        return labels

    async def _ask(self, sentence: Sentence, choices: Sequence[str]) -> str | None:
        assert self.labeler is not None
        speaker = "User" if sentence.role == "user" else "Agent"
        answer = await self.labeler.complete(
            messages=[
                {"role": "system", "content": LABEL_INSTRUCTIONS},
                {"role": "user", "content": f"{speaker}: {sentence.text}"},
            ],
            temperature=0.0,
            max_tokens=24,
            json_schema=label_schema(choices),
        )
        try:
            label = json.loads(answer.content or "").get("label")
        except (json.JSONDecodeError, AttributeError):
            return None
        return label if label in choices else None

    def close(self) -> None:
        """Free the labeler's model, if it holds one."""
        close = getattr(self.labeler, "close", None)
        if close is not None:
            close()

    def __repr__(self) -> str:
        return f"{type(self).__name__}(labeler={self.labeler!r}, max_labels={self.max_labels})"


def ambiguous_sentences(found: Extraction, limit: int) -> list[int]:
    """Indexes of the sentences worth a model's label, latest first.

    Those that the rules put in more than one section or in none. The first
    request's sentences are goals by position and need no label.
    """
    chosen: list[int] = []
    for index in range(len(found.sentences) - 1, -1, -1):
        if len(chosen) == limit:
            break
        sentence = found.sentences[index]
        if sentence.first_request:
            continue
        if len(found.labels_of(index)) != 1:
            chosen.append(index)
    return chosen
