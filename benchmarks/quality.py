"""Quality of the summaries: per-field recall of known facts, and grounding.

    .venv/bin/python benchmarks/quality.py                          # extractive and none
    .venv/bin/python benchmarks/quality.py --backend extractive mixed model
    .venv/bin/python benchmarks/quality.py --long 1000 --json results.json

Each backend summarizes every scripted conversation of `conversations.py`
(and, with --long N, each stretched to N messages) through
`ConversationSummarizer`, and the context block is measured:

- recall per field: the share of the case's known goals, file paths,
  decisions and blockers found in the block's own section for that field
  (paths anywhere in the block), and the same share over the whole block;
- grounding: the share of list items most of whose content words occur in
  the conversation or the earlier summary (`supported`), and how many of the
  prompt's placeholder texts the block repeats;
- fallbacks: runs in which the summarizer logged a failure or an empty
  answer and fell back to the message-only summary.

Backends that load a model run in a child process each, so a crash of the
inference library costs that backend's figures, not the run.

The measures are plain functions (`recall`, `grounding`, `placeholders`,
`sections`), importable by other benchmarks.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import re
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conversations import ALL_CASES, CASES, FIELDS, HELD_OUT, Case, long_conversation  # noqa: E402

# The JSON example of the summarizer's prompt: a block that repeats these
# copied the example instead of summarizing.
PLACEHOLDERS = (
    "Primary goal 1", "Sub-goal 2", "Step 1 completed", "Step 2 completed", "did X", "did Y",
    "Brief description of where things stand", "Decided to use approach A", "/path/to/file",
    "User's name is X", "Issue with X was resolved by Y", "Need to do A", "Then do B",
    "One paragraph narrative summary",
)

SECTION_FIELDS = {
    "### Original Goals": "goals",
    "### Progress So Far": "progress",
    "### Current State": "current_state",
    "### Key Decisions": "key_decisions",
    "### Key Facts": "key_facts",
    "### Issues & Resolutions": "blockers",
    "### Next Steps": "next_steps",
    "### Narrative Summary": "summary",
}
# Where each known fact belongs in the block; None: anywhere.
FIELD_SECTION = {"goals": "goals", "paths": None, "decisions": "key_decisions", "blockers": "blockers"}

_STOPWORDS = frozenset(
    """the and for with that this from into was were are has have had not but its it's
    our your their they them then than there here what when where which who will would
    should could can all any each one two per via about after before over under also just
    only very more most some such been being does did done use used using out off now yet
    der die das und ist nicht mit von den dem ein eine für auf sich""".split()
)
_WORD = re.compile(r"[^\W_]{3,}")


def sections(block: str) -> dict[str, str]:
    """The text of each section of a context block, by record field."""
    found: dict[str, list[str]] = {}
    current: str | None = None
    for line in block.split("\n"):
        if line.startswith("### "):
            current = SECTION_FIELDS.get(line.rstrip())
            continue
        if current is not None:
            found.setdefault(current, []).append(line)
    return {key: "\n".join(lines) for key, lines in found.items()}


def _has(text: str, fact: Sequence[str]) -> bool:
    folded = text.casefold()
    return all(term.casefold() in folded for term in fact)


@dataclass
class Recall:
    found: int
    total: int

    @property
    def share(self) -> float:
        return self.found / self.total if self.total else 1.0


def recall(block: str, case: Case) -> dict[str, tuple[Recall, Recall]]:
    """Per field: (recall in the field's own section, recall anywhere)."""
    parts = sections(block)
    result = {}
    for name in FIELDS:
        facts = case.facts(name)
        section = FIELD_SECTION[name]
        where = parts.get(section, "") if section else block
        result[name] = (
            Recall(sum(_has(where, f) for f in facts), len(facts)),
            Recall(sum(_has(block, f) for f in facts), len(facts)),
        )
    return result


def content_words(text: str) -> list[str]:
    return [w for w in _WORD.findall(text.casefold()) if w not in _STOPWORDS]


def supported(item: str, source_words: set[str], share: float = 0.5) -> bool:
    """Whether more than ``share`` of the item's content words occur in the source."""
    words = content_words(item)
    if not words:
        return True
    return sum(w in source_words for w in words) / len(words) > share


def list_items(record: Mapping[str, Any]) -> list[str]:
    """Every list item of a record's six list fields, as text."""
    items: list[str] = []
    for key in ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps"):
        value = record.get(key)
        if isinstance(value, list):
            items.extend(str(item) for item in value)
        elif value:
            items.append(str(value))
    return items


def grounding(record: Mapping[str, Any], source: str) -> tuple[int, int]:
    """(supported items, all items) of a record against its source text."""
    words = set(content_words(source))
    items = list_items(record)
    return sum(supported(item, words) for item in items), len(items)


def placeholders(block: str) -> list[str]:
    return [text for text in PLACEHOLDERS if text.casefold() in block.casefold()]


# ---------------------------------------------------------------- backends


def make_backend(name: str) -> Callable[[], Any] | None:
    """A factory of the backend's client; None for the message-only summary."""
    from korbix_summarizer.grounded import GroundedClient
    from korbix_summarizer.local import LocalModelClient

    factories: dict[str, Callable[[], Any] | None] = {
        "extractive": GroundedClient,
        "mixed": lambda: GroundedClient(LocalModelClient()),
        "model": LocalModelClient,
        "none": None,
    }
    return factories[name]


BACKENDS = ("extractive", "mixed", "model", "none")
IN_PROCESS = frozenset({"extractive", "none"})


class _Failures(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.name == "korbix.summarizer":
            self.messages.append(record.getMessage())


@dataclass
class Run:
    """One summary of one conversation."""

    case: str
    group: str  # "scripted", "held-out" or "stretched"
    messages: int
    seconds: float
    fallback: bool
    recall_section: dict[str, list[int]] = field(default_factory=dict)
    recall_anywhere: dict[str, list[int]] = field(default_factory=dict)
    supported: int = 0
    items: int = 0
    placeholders: list[str] = field(default_factory=list)
    block_chars: int = 0
    log: list[str] = field(default_factory=list)


async def summarize(
    client: Any, messages: list[dict[str, Any]], earlier: str | None = None
) -> tuple[dict[str, Any], str, float, list[str]]:
    """Record, block, seconds and the summarizer's warnings of one run."""
    from korbix.core import summarizer as module

    # While attached, this handler also keeps the records off standard error.
    failures = _Failures()
    log = logging.getLogger("korbix.summarizer")
    log.addHandler(failures)
    try:
        started = time.perf_counter()
        if client is None:
            record = module._fallback_summary(messages)
        else:
            record = await module.ConversationSummarizer(client).summarize_messages(messages, earlier)
        seconds = time.perf_counter() - started
    finally:
        log.removeHandler(failures)
    block = module.ConversationSummarizer(None).format_summary_for_context(record)
    return record, block, seconds, failures.messages


def run_backend(name: str, long: Sequence[int]) -> list[Run]:
    """Every case (and its stretched forms) through one backend, in this process."""
    from korbix.core import summarizer as module

    factory = make_backend(name)
    client = factory() if factory is not None else None
    runs = []
    try:
        for case in ALL_CASES:
            for size in (None, *long):
                messages = case.messages if size is None else long_conversation(case, size)
                record, block, seconds, log = asyncio.run(summarize(client, messages))
                source = module._format_messages_for_summary(messages)
                good, total = grounding(record, source)
                measured = recall(block, case)
                runs.append(Run(
                    case=case.name,
                    group="stretched" if size else "held-out" if case in HELD_OUT else "scripted",
                    messages=len(messages),
                    seconds=seconds,
                    fallback=client is not None and any(
                        m.startswith(("Summarization failed", "Empty response")) for m in log
                    ),
                    recall_section={k: [v[0].found, v[0].total] for k, v in measured.items()},
                    recall_anywhere={k: [v[1].found, v[1].total] for k, v in measured.items()},
                    supported=good,
                    items=total,
                    placeholders=placeholders(block),
                    block_chars=len(block),
                    log=log,
                ))
    finally:
        close = getattr(client, "close", None)
        if close is not None:
            close()
    return runs


def run_in_child(name: str, long: Sequence[int], timeout: float) -> list[Run] | str:
    """``run_backend`` in a child process; the runs, or why there are none."""
    command = [sys.executable, os.path.abspath(__file__), "--child", name,
               *(["--long", *map(str, long)] if long else [])]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout:.0f} s"
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
        return f"child failed ({done.returncode}): {tail}"
    return [Run(**run) for run in json.loads(done.stdout)]


# ---------------------------------------------------------------- report


def _total(runs: Iterable[Run], key: str, name: str) -> str:
    found = total = 0
    for run in runs:
        f, t = getattr(run, key)[name]
        found += f
        total += t
    return f"{100 * found / total:.0f} % ({found}/{total})" if total else "-"


def report(results: Mapping[str, list[Run] | str], out: Any = sys.stdout) -> None:
    for group, label in (("scripted", f"scripted conversations ({len(CASES)})"),
                         ("held-out", f"held-out conversations ({len(HELD_OUT)})"),
                         ("stretched", "stretched conversations")):
        if not any(not isinstance(runs, str) and any(r.group == group for r in runs)
                   for runs in results.values()):
            continue
        print(f"\n{label}\n", file=out)
        print("| backend | goals | paths | decisions | blockers | supported items | placeholders "
              "| fallbacks | block chars | s per summary |", file=out)
        print("|---|---|---|---|---|---|---|---|---|---|", file=out)
        for name, runs in results.items():
            if isinstance(runs, str):
                print(f"| {name} | {runs} | | | | | | | | |", file=out)
                continue
            chosen = [r for r in runs if r.group == group]
            if not chosen:
                continue
            cells = [
                f"{_total(chosen, 'recall_section', f)} / {_total(chosen, 'recall_anywhere', f).split(' ')[0]} %"
                for f in FIELDS
            ]
            good = sum(r.supported for r in chosen)
            items = sum(r.items for r in chosen)
            grounded = f"{100 * good / items:.0f} % ({good}/{items})" if items else "-"
            holders = sum(len(r.placeholders) for r in chosen)
            falls = sum(r.fallback for r in chosen)
            seconds = statistics.median(r.seconds for r in chosen)
            chars = statistics.median(r.block_chars for r in chosen)
            print(f"| {name} | {' | '.join(cells)} | {grounded} | {holders} | {falls}/{len(chosen)} "
                  f"| {chars:,.0f} | {seconds:.3f} |", file=out)
    print("\nrecall cells: in the field's own section (count) / anywhere in the block; "
          "block chars and seconds: medians", file=out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", nargs="+", choices=BACKENDS, default=["extractive", "none"])
    parser.add_argument("--long", nargs="*", type=int, default=[],
                        help="also run each case stretched to these message counts")
    parser.add_argument("--json", metavar="FILE", help="write every run as JSON")
    parser.add_argument("--show", metavar="CASE", help="print the blocks of this case")
    parser.add_argument("--timeout", type=float, default=3600.0, help="seconds per model backend")
    parser.add_argument("--child", metavar="BACKEND", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        print(json.dumps([asdict(run) for run in run_backend(args.child, args.long)]))
        return 0
    if args.show:
        return _show(args.show, args.backend)

    results: dict[str, list[Run] | str] = {}
    for name in args.backend:
        print(f"quality: {name} ...", file=sys.stderr, flush=True)
        if name in IN_PROCESS:
            results[name] = run_backend(name, args.long)
        else:
            results[name] = run_in_child(name, args.long, args.timeout)
    report(results)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({k: v if isinstance(v, str) else [asdict(r) for r in v]
                       for k, v in results.items()}, out, indent=1)
    return 0


def _show(name: str, backends: Sequence[str]) -> int:
    case = next((c for c in ALL_CASES if c.name == name), None)
    if case is None:
        print(f"no case {name!r}; cases: {', '.join(c.name for c in ALL_CASES)}", file=sys.stderr)
        return 2
    for backend in backends:
        factory = make_backend(backend)
        client = factory() if factory is not None else None
        _, block, seconds, log = asyncio.run(summarize(client, case.messages))
        print(f"===== {backend} ({seconds:.2f} s) {log}\n{block}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
