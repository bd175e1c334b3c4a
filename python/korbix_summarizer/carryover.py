"""What an earlier summary hands on to the next one.

A conversation compacted again and again is summarized each time on top of
the earlier summary, and an LLM that rewrites the record each round tends
to drop what it no longer sees in the messages: the user's first goal and
constraints go first. ``carry_over`` merges the earlier record into the new
one by a fixed rule, and ``bound_items`` keeps the lists short.

The merge rule. An item of the earlier record's "goals", "key_decisions"
or "key_facts" is put back into the same list of the new record (before the
new items, in its earlier order) unless the new record accounts for it:

- restated: an item of the new record's goals, decisions or facts holds
  most (60 %) of its words and every number and identifier in it (path,
  URL, version, error name);
- completed: only for a goal that is not a constraint, an item of the new
  "progress" holds most of its words and does not say it is partial
  ("started", "partly", "in progress", ...);
- replaced: an item of the new record (any list, or the current state)
  says it replaces something ("instead of", "replaced", "no longer",
  "switched to", "moved to", "dropped", ...) and shares at least two of
  its words (all of them when it has fewer).

A constraint (an item that says what must, must not or may only be done:
"must", "never", "only", "don't", "without", "keep", "at most", ...) is
never settled by completion, only by replacement. Words are compared
case-insensitively, without common endings ("adding", "added" and "adds"
are one word) and without filler words.

The bound. A list longer than ``limit`` first loses items that another
item of the list restates; then its oldest items are merged two into one
("A; B") while the merged text stays within ``MAX_MERGED_CHARS``, and the
oldest is dropped when it cannot be merged. Oldest means first in the list:
carried items come before the new record's own. The first goal (the
top-level objective) and constraints are merged or dropped only after every
other item; the first goal never is.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from .identifiers import find_identifiers
from .schema import LIST_KEYS

__all__ = [
    "CARRIED_FIELDS",
    "LIST_FIELDS",
    "MAX_MERGED_CHARS",
    "Merged",
    "as_items",
    "bound_items",
    "carry_over",
    "covers",
    "is_constraint",
]

LIST_FIELDS: Final = LIST_KEYS
CARRIED_FIELDS: Final = ("goals", "key_decisions", "key_facts")
MAX_MERGED_CHARS: Final = 300

# ---------------------------------------------------------------- comparing items

_WORD = re.compile(r"[^\W_]+")
_FILLER: Final = frozenset(
    """the and for with that this from into was were are has have had but its our your their
    they them then than there here what when where which who will would should could can all
    any each per via about after before over under also just very more most some such been
    being does did done use used using now yet one two""".split()
)
_CONSTRAINT = re.compile(
    r"\b(?:must|never|always|only|do not|don't|dont|does not|doesn't|without|at most|at least|"
    r"no more than|not more than|avoid|keep|not allowed|forbidden|required|prefer|no(?= \w))\b",
    re.IGNORECASE,
)
_PARTIAL = re.compile(
    r"\b(?:start(?:ed|ing)?|began|begun|partly|partially|in progress|work(?:ing)? on|wip|"
    r"attempt(?:ed)?|tried|half|not yet|pending|some of)\b",
    re.IGNORECASE,
)
_REPLACES = re.compile(
    r"\b(?:instead(?: of)?|replac\w*|supersed\w*|no longer|rather than|switch\w*|chang\w* (?:to|from)|"
    r"dropp\w*|abandon\w*|cancel\w*|revert\w*|mov\w* to|obsolete|not needed any ?more|now uses?)\b",
    re.IGNORECASE,
)
COVER_SHARE: Final = 0.6


def _stem(word: str) -> str:
    """A crude stem: common endings off, then at most six letters ("implemented",
    "implementation" and "implements" are one word)."""
    if word.endswith("ing") and len(word) >= 6:
        word = word[:-3]
    elif word.endswith(("ied", "ies")) and len(word) >= 6:
        word = word[:-3] + "y"
    elif word.endswith("ed") and len(word) >= 5:
        word = word[:-2]
    elif word.endswith(("ses", "xes", "zes", "ches", "shes")) and len(word) >= 5:
        word = word[:-2]
    elif word.endswith("s") and not word.endswith("ss") and len(word) >= 4:
        word = word[:-1]
    return word[:6]


def _words(text: str) -> frozenset[str]:
    """The item's words that carry meaning: numbers, and words of three letters or more."""
    return frozenset(
        _stem(word)
        for word in _WORD.findall(text.casefold())
        if word.isdigit() or len(word) >= 3 and word not in _FILLER
    )


@dataclass(frozen=True, slots=True)
class _Item:
    text: str
    words: frozenset[str]
    identifiers: tuple[str, ...]

    @classmethod
    def of(cls, text: str) -> _Item:
        found = tuple(value.casefold() for _, _, value, _ in find_identifiers(text))
        return cls(text, _words(text), found)

    def held_by(self, other: _Item) -> bool:
        """Whether ``other`` says what this item says: most of its words, all its identifiers."""
        folded = other.text.casefold()
        if not all(identifier in folded for identifier in self.identifiers):
            return False
        if not self.words:
            return self.text.casefold().strip() in folded
        if not all(word in other.words for word in self.words if word.isdigit()):
            return False  # "5 attempts" is not "10 attempts"
        return len(self.words & other.words) >= COVER_SHARE * len(self.words)

    def replaced_by(self, other: _Item) -> bool:
        if _REPLACES.search(other.text) is None:
            return False
        return len(self.words & other.words) >= min(2, len(self.words)) > 0


def covers(item: str, other: str) -> bool:
    """Whether ``item`` restates ``other`` (most of its words and all of its identifiers)."""
    return _Item.of(other).held_by(_Item.of(item))


def is_constraint(item: str) -> bool:
    """Whether the item says what must, must not or may only be done."""
    return _CONSTRAINT.search(item) is not None


def as_items(value: object) -> list[str]:
    """A record entry as a list of texts (a lone text is one item, as it was meant)."""
    if isinstance(value, str):
        return [value] if value.strip() else []
    if isinstance(value, Mapping):
        value = list(value)
    if isinstance(value, (list, tuple)):
        return [str(item) for item in value if item is not None and str(item).strip()]
    return [] if value is None or value == "" else [str(value)]


# ---------------------------------------------------------------- the merge


@dataclass(frozen=True, slots=True)
class Merged:
    """The merged record, the earlier items put back, and the items the bound dropped."""

    record: dict[str, Any]
    carried: tuple[str, ...]
    dropped: tuple[str, ...]


def _accounted_for(item: _Item, field: str, said: Sequence[_Item], progress: Sequence[_Item],
                   everything: Sequence[_Item]) -> bool:
    if any(item.held_by(other) for other in said):
        return True
    if field == "goals" and not is_constraint(item.text):
        if any(item.held_by(step) and _PARTIAL.search(step.text) is None for step in progress):
            return True
    return any(item.replaced_by(other) for other in everything)


def carry_over(earlier: Mapping[str, Any], new: Mapping[str, Any], *, limit: int) -> Merged:
    """The new record with what it left out of the earlier one put back, every list bounded.

    ``earlier`` and ``new`` are not changed; the result is a new record
    (with the new record's keys in their order, and its time stamp).
    """
    record = dict(new)
    lists = {field: as_items(new.get(field)) for field in LIST_FIELDS}
    said = [_Item.of(text) for field in CARRIED_FIELDS for text in lists[field]]
    progress = [_Item.of(text) for text in lists["progress"]]
    everything = [_Item.of(text) for field in LIST_FIELDS for text in lists[field]]
    state = new.get("current_state")
    if isinstance(state, str) and state:
        everything.append(_Item.of(state))
    carried: list[str] = []
    for field in CARRIED_FIELDS:
        kept = [
            text
            for text in as_items(earlier.get(field))
            if not _accounted_for(_Item.of(text), field, said, progress, everything)
        ]
        carried.extend(kept)
        lists[field] = kept + lists[field]
    dropped: list[str] = []
    for field in LIST_FIELDS:
        items, gone = bound_items(lists[field], limit, keep_first=field == "goals")
        record[field] = items
        dropped.extend(gone)
    return Merged(record, tuple(carried), tuple(dropped))


def bound_items(items: Sequence[str], limit: int, *, keep_first: bool = False) -> tuple[list[str], list[str]]:
    """At most ``limit`` items (oldest first), and the items dropped to get there.

    Restated items go first, then the oldest are merged or dropped;
    ``keep_first`` keeps the first item whatever happens, and constraints
    go only after the other items.
    """
    if limit < 1:
        raise ValueError(f"limit must be at least 1, not {limit!r}")
    kept = [_Item.of(text) for text in items]
    if len(kept) <= limit:
        return [item.text for item in kept], []
    index = 1 if keep_first else 0
    while len(kept) > limit and index < len(kept):
        item = kept[index]
        if any(item.held_by(other) for other in kept if other is not item):
            del kept[index]
        else:
            index += 1
    dropped: list[str] = []
    while len(kept) > limit:
        movable = [i for i in range(len(kept)) if not (keep_first and i == 0)]
        free = [i for i in movable if not is_constraint(kept[i].text)] or movable
        first = free[0]
        second = free[1] if len(free) > 1 else None
        if second is not None and len(kept[first].text) + 2 + len(kept[second].text) <= MAX_MERGED_CHARS:
            kept[first] = _Item.of(f"{kept[first].text}; {kept[second].text}")
            del kept[second]
        else:
            dropped.append(kept.pop(first).text)
    return [item.text for item in kept], dropped
