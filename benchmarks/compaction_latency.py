"""Latency of ``Compactor.compact`` at the trigger, with and without a record
prepared in the background.

An agent loop is simulated: each turn appends one message of the
benchmark's agent conversation (``workloads.py``) and waits ``--turn``
seconds for the agent's own model (once the conversation has passed the
target; turns before take no time); when the conversation passes the trigger
the loop calls ``compact`` and times it. The summarizer client takes
``--delay`` seconds (2 s by default) per request, as a remote model would.

- without preparation: ``compact`` makes its requests while the turn waits;
- prepared: every turn that does not compact calls ``prepare``, which starts
  the summary in the background once the conversation passes ``prepare_at``;
  ``compact`` at the trigger applies it;
- prepared, fast turns: the same with turns of ``--fast-turn`` seconds, so
  that the trigger comes before the background summary is done and
  ``compact`` waits for the rest of it.

Each mode runs until ``--compactions`` compactions were timed.

    .venv/bin/python benchmarks/compaction_latency.py [--delay 2] [--turn 0.5] [--compactions 3]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import time
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from workloads import conversation  # noqa: E402

from korbix_summarizer.compaction import Compactor  # noqa: E402

WINDOW = 32_000


class SlowClient:
    """Answers every request after ``delay`` seconds with a small record."""

    def __init__(self, delay: float) -> None:
        self.delay = delay
        self.requests = 0

    async def complete(self, *, messages: list[dict[str, str]], temperature: float, max_tokens: int) -> Any:
        self.requests += 1
        await asyncio.sleep(self.delay)
        record = {"goals": ["keep the build green"], "progress": [f"summary {self.requests}"],
                  "summary": "The agent worked through the test failures."}
        return type("Completion", (), {"content": json.dumps(record)})()


async def run(mode: str, delay: float, turn: float, compactions: int) -> dict[str, Any]:
    source = conversation(600)
    client = SlowClient(delay)
    latencies: list[float] = []
    prepares: list[float] = []
    applied = 0
    async with Compactor(client, context_window=WINDOW, keep_recent=4) as compactor:
        messages: list[dict[str, Any]] = source[:1]
        for message in source[1:]:
            messages.append(message)
            if compactor.needs_compaction(messages):
                started = time.perf_counter()
                result = await compactor.compact(messages)
                latencies.append(time.perf_counter() - started)
                applied += result.prepared
                messages = result.messages
                if len(latencies) == compactions:
                    break
            elif mode != "without preparation":
                started = time.perf_counter()
                compactor.prepare(messages)
                prepares.append(time.perf_counter() - started)
            # Below the target nothing happens in any mode: those turns need no time.
            if compactor.count(messages) > compactor.target * WINDOW:
                await asyncio.sleep(turn)
    return {
        "mode": mode,
        "turn": turn,
        "median": statistics.median(latencies),
        "max": max(latencies),
        "compactions": len(latencies),
        "applied": applied,
        "prepare": statistics.median(prepares) if prepares else None,
        "requests": client.requests,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=2.0, help="seconds per summarizer request (default 2)")
    parser.add_argument("--turn", type=float, default=0.5, help="seconds of the agent's model per turn (default 0.5)")
    parser.add_argument("--fast-turn", type=float, default=0.05, help="seconds per turn of the fast mode (default 0.05)")
    parser.add_argument("--compactions", type=int, default=3, help="compactions timed per mode (default 3)")
    options = parser.parse_args()

    modes = [("without preparation", options.turn), ("prepared", options.turn),
             ("prepared, fast turns", options.fast_turn)]
    rows = [asyncio.run(run(mode, options.delay, turn, options.compactions)) for mode, turn in modes]
    print(f"summarizer delay {options.delay:g} s per request; context window {WINDOW:,} tokens")
    print("| mode | turn | compact() at the trigger, median | max | prepared records applied "
          "| prepare() per turn, median | requests |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        prepare = f"{row['prepare'] * 1e6:.0f} µs" if row["prepare"] is not None else "-"
        print(f"| {row['mode']} | {row['turn']:g} s | {row['median'] * 1e3:,.1f} ms | {row['max'] * 1e3:,.1f} ms "
              f"| {row['applied']}/{row['compactions']} | {prepare} | {row['requests']} |")


if __name__ == "__main__":
    main()
