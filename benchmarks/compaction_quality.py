"""Quality of compaction: what of a conversation's known facts the final context block keeps.

    .venv/bin/python benchmarks/compaction_quality.py                          # extractive and none
    .venv/bin/python benchmarks/compaction_quality.py --backend model          # the bundled model
    .venv/bin/python benchmarks/compaction_quality.py --backend openai --base-url URL --model NAME
    .venv/bin/python benchmarks/compaction_quality.py --cases 3 --rounds 3 --json results.json

Each scripted agent conversation of ``conversations.py`` (goals, file paths,
decisions and blockers known per case) is compacted in ``--rounds`` rounds,
as an agent loop would: its messages arrive in equal parts, and after each
part ``Compactor.compact(force=True)`` summarizes everything that can be cut,
on top of the summary of the round before. The last round leaves only the
context block, which is measured:

- recall per field: the share of the case's known facts found in the
  block's own section for the field (paths anywhere), and anywhere in the
  block (``quality.recall``);
- fidelity: the share of the summarized messages' identifiers that the
  summarizer's records named, before and after the repair, over every
  round;
- compression: tokens of the whole conversation over tokens of the final one;
- placeholders: texts of the prompt's JSON example that the block repeats.

Two configurations: "checked" is the compactor's defaults (identifiers
repaired, earlier goals carried over); "plain" turns both off
(``max_repairs=0, carry_over=False``), which is what the summarizer alone
gives. The backends are those of ``quality.py`` (extractive, mixed, model,
none) and an OpenAI-compatible endpoint; the bundled model runs in its
worker process (``LocalModelClient``).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from types import ModuleType
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))

from korbix_summarizer.compaction import Compactor, is_summary_message, split_leading  # noqa: E402

CONFIGURATIONS = {"checked": {}, "plain": {"max_repairs": 0, "carry_over": False}}


def shared() -> tuple[ModuleType, ModuleType]:
    """The scripted conversations, the recall measure and the backends of ``quality.py``.

    The one place this script imports them: ``conversations`` (``ALL_CASES``,
    ``FIELDS``, ``Case.messages``) and ``quality`` (``recall``,
    ``placeholders``, ``make_backend``, ``BACKENDS``).
    """
    sys.path.insert(0, HERE)
    import conversations
    import quality

    return conversations, quality


@dataclass
class CaseRun:
    case: str
    backend: str
    configuration: str
    rounds: int
    requests: int
    retries: int
    seconds: float
    tokens_before: int
    tokens_after: int
    identifiers: int = 0
    named: float = 0.0  # identifiers the summarizer's records named
    named_repaired: float = 0.0
    recall_section: dict[str, list[int]] = field(default_factory=dict)
    recall_anywhere: dict[str, list[int]] = field(default_factory=dict)
    placeholders: int = 0
    block: str = ""


async def compact_case(compactor: Compactor, messages: list[dict[str, Any]], rounds: int) -> tuple[str, list[Any]]:
    """The final context block of the conversation compacted in ``rounds`` rounds, and the results."""
    lead = split_leading(messages).body_start
    body = messages[lead:]
    current = list(messages[:lead])
    start = 0
    results = []
    for number in range(1, rounds + 1):
        end = round(len(body) * number / rounds)
        current = current + body[start:end]
        start = end
        result = await compactor.compact(current, force=True)
        results.append(result)
        current = result.messages
    block = next((m["content"] for m in current if is_summary_message(m)), "")
    return block, results


def make_client(name: str, args: argparse.Namespace, quality: ModuleType) -> Any:
    """The backend's client (None for the message-only record)."""
    if name == "openai":
        from korbix_summarizer.clients import OpenAICompatibleClient

        return OpenAICompatibleClient(model=args.model, base_url=args.base_url, timeout=args.timeout)
    factory = quality.make_backend(name)
    return factory() if factory is not None else None


def close(client: Any) -> None:
    for part in (client, getattr(client, "labeler", None)):
        closing = getattr(part, "close", None)
        if closing is not None:
            closing()


async def run(name: str, args: argparse.Namespace) -> list[CaseRun]:
    """Every case through one backend, in both configurations."""
    conversations, quality = shared()
    cases = list(conversations.ALL_CASES)[: args.cases or None]
    client = make_client(name, args, quality)
    # The bundled model reads at most its context; the other backends the option's.
    window = getattr(client, "n_ctx", None) or args.summarizer_window
    runs: list[CaseRun] = []
    try:
        for configuration in args.configurations:
            for case in cases:
                compactor = Compactor(
                    client, context_window=args.context_window, keep_recent=0, summarizer_window=window,
                    timeout=None, min_fidelity=args.min_fidelity, **CONFIGURATIONS[configuration],
                )
                print(f"compaction_quality: {name} {configuration} {case.name} ...", file=sys.stderr, flush=True)
                started = time.perf_counter()
                block, results = await compact_case(compactor, case.messages, args.rounds)
                seconds = time.perf_counter() - started
                measured = quality.recall(block, case)
                identifiers = sum(r.identifiers for r in results)
                runs.append(CaseRun(
                    case=case.name,
                    backend=name,
                    configuration=configuration,
                    rounds=args.rounds,
                    requests=sum(r.requests for r in results),
                    retries=sum(r.retried for r in results),
                    seconds=seconds,
                    tokens_before=compactor.count(case.messages),
                    tokens_after=results[-1].tokens_after,
                    identifiers=identifiers,
                    named=sum((r.fidelity or 0) * r.identifiers for r in results),
                    named_repaired=sum((r.fidelity_repaired or 0) * r.identifiers for r in results),
                    recall_section={k: [v[0].found, v[0].total] for k, v in measured.items()},
                    recall_anywhere={k: [v[1].found, v[1].total] for k, v in measured.items()},
                    placeholders=len(quality.placeholders(block)),
                    block=block,
                ))
    finally:
        close(client)
    return runs


def _share(found: int, total: int) -> str:
    return f"{100 * found / total:.0f} %" if total else "-"


def report(runs: Sequence[CaseRun], fields: Sequence[str], label: str) -> None:
    if not runs:
        return
    print(f"\n{label}; {len({r.case for r in runs})} conversations, {runs[0].rounds} rounds each\n")
    print("| configuration | " + " | ".join(fields) + " | fidelity before / after repair | compression "
          "| placeholders | requests | s per conversation |")
    print("|---|" + "---|" * len(fields) + "---|---:|---:|---:|---:|")
    for name in dict.fromkeys(r.configuration for r in runs):
        chosen = [r for r in runs if r.configuration == name]
        cells = []
        for key in fields:
            section = [sum(r.recall_section[key][i] for r in chosen) for i in (0, 1)]
            anywhere = [sum(r.recall_anywhere[key][i] for r in chosen) for i in (0, 1)]
            cells.append(f"{_share(*section)} / {_share(*anywhere)} ({anywhere[0]}/{anywhere[1]})")
        identifiers = sum(r.identifiers for r in chosen)
        fidelity = (f"{sum(r.named for r in chosen) / identifiers:.2f} / "
                    f"{sum(r.named_repaired for r in chosen) / identifiers:.2f}") if identifiers else "-"
        ratio = sum(r.tokens_before for r in chosen) / max(1, sum(r.tokens_after for r in chosen))
        seconds = sum(r.seconds for r in chosen) / len(chosen)
        print(f"| {name} | {' | '.join(cells)} | {fidelity} | {ratio:.1f}x | "
              f"{sum(r.placeholders for r in chosen)} | {sum(r.requests for r in chosen)} | {seconds:.1f} |")
    print("\nrecall cells: in the field's own section / anywhere in the block (found/known, anywhere)")


def main(argv: Sequence[str] | None = None) -> int:
    conversations, quality = shared()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--backend", nargs="+", choices=(*quality.BACKENDS, "openai"), default=["extractive", "none"])
    parser.add_argument("--base-url", help="the openai backend's endpoint")
    parser.add_argument("--model", help="the openai backend's model")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per request (openai backend)")
    parser.add_argument("--summarizer-window", type=int, default=16_000,
                        help="tokens the summarizing model reads (default 16,000; the bundled model: its context)")
    parser.add_argument("--context-window", type=int, default=1_000,
                        help="the agent's window; small, so that every round summarizes all it can (default 1,000)")
    parser.add_argument("--rounds", type=int, default=2, help="compactions per conversation (default 2)")
    parser.add_argument("--cases", type=int, default=0, help="only the first N conversations")
    parser.add_argument("--configurations", nargs="+", choices=tuple(CONFIGURATIONS), default=list(CONFIGURATIONS))
    parser.add_argument("--min-fidelity", type=float, help="ask once more below this share (default: never)")
    parser.add_argument("--json", metavar="FILE", help="write every run as JSON")
    parser.add_argument("--show", action="store_true", help="print each final context block")
    args = parser.parse_args(argv)
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    everything: list[CaseRun] = []
    for name in args.backend:
        runs = asyncio.run(run(name, args))
        everything += runs
        if args.show:
            for r in runs:
                print(f"===== {name} {r.configuration} {r.case}\n{r.block}\n")
        label = f"{args.model} at {args.base_url}" if name == "openai" else f"backend {name}"
        report(runs, conversations.FIELDS, label)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump([asdict(r) for r in everything], out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
