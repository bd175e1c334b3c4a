"""The per-turn check of an agent loop against a full recount.

An agent calls ``Compactor.needs_compaction`` on every turn. This script
builds the benchmark's 2,000-message agent conversation (``workloads.py``),
counts it once, then times turns on which one new message was appended:
``needs_compaction`` on the whole list, whose other 1,999 messages are
counted from the cache. Beside it, the time of counting the same list with
an empty cache (what the check would cost without one).

    .venv/bin/python benchmarks/compaction_count.py [--turns N] [--recounts N] [--approximate]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from workloads import conversation, sentence  # noqa: E402

from korbix_summarizer.compaction import Compactor  # noqa: E402
from korbix_summarizer.tokens import approximate_tokens  # noqa: E402

MESSAGES = 2_000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--turns", type=int, default=500, help="timed turns (default 500)")
    parser.add_argument("--recounts", type=int, default=15, help="timed full recounts (default 15)")
    parser.add_argument(
        "--approximate", action="store_true", help="count with the approximation, not the tokenizer"
    )
    options = parser.parse_args()
    count_tokens = approximate_tokens if options.approximate else None

    messages = conversation(MESSAGES)
    compactor = Compactor(None, context_window=10**9, count_tokens=count_tokens)
    tokens = compactor.count(messages[:-1])

    import random

    rng = random.Random(5)
    turns = []
    for _ in range(options.turns):
        # A new message each turn, as the agent appends its latest reply.
        history = messages[:-1] + [{"role": "user", "content": sentence(rng, 30)}]
        started = time.perf_counter()
        compactor.needs_compaction(history)
        turns.append(time.perf_counter() - started)

    recounts = []
    for _ in range(options.recounts):
        fresh = Compactor(None, context_window=10**9, count_tokens=count_tokens)
        started = time.perf_counter()
        fresh.count(messages)
        recounts.append(time.perf_counter() - started)

    turn = statistics.median(turns)
    recount = statistics.median(recounts)
    print(f"tokenizer: {compactor.tokenizer}; {MESSAGES:,} messages, {tokens:,} tokens")
    print("| check | median | runs |")
    print("|---|---:|---:|")
    print(f"| needs_compaction, one new message | {turn * 1e3:.2f} ms | {len(turns)} |")
    print(f"| full recount, empty cache | {recount * 1e3:.1f} ms | {len(recounts)} |")
    print(f"| ratio | {recount / turn:.0f}x | |")


if __name__ == "__main__":
    main()
