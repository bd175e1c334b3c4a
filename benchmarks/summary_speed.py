"""Seconds per summary by conversation length, through ConversationSummarizer.

    .venv/bin/python benchmarks/summary_speed.py                      # extractive
    .venv/bin/python benchmarks/summary_speed.py --backend extractive mixed model
    .venv/bin/python benchmarks/summary_speed.py --sizes 10 100 1000 10000 --repeat 5

Each scripted conversation of `conversations.py` is stretched to every size
(routine tool work between its turns) and summarized `--repeat` times; the
table shows the median and the slowest run per size over all conversations,
and how many runs fell back to the message-only summary (a failed or empty
model answer, for instance a prompt longer than the model's context
window). Backends that load a model run in a child process each and repeat
once, whatever --repeat says.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
from collections.abc import Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conversations import CASES, long_conversation  # noqa: E402
from quality import BACKENDS, IN_PROCESS, make_backend, summarize  # noqa: E402

FALLBACK_LOGS = ("Summarization failed", "Empty response")


def measure(backend: str, sizes: Sequence[int], repeat: int) -> dict[str, list[list[float | bool]]]:
    """Per size: [seconds, fell back] of every run, in this process."""
    factory = make_backend(backend)
    client = factory() if factory is not None else None
    runs: dict[str, list[list[float | bool]]] = {}
    try:
        for size in sizes:
            for case in CASES:
                messages = long_conversation(case, size)
                for _ in range(repeat):
                    _, _, seconds, log = asyncio.run(summarize(client, messages))
                    fell_back = any(m.startswith(FALLBACK_LOGS) for m in log)
                    runs.setdefault(str(size), []).append([seconds, fell_back])
    finally:
        close = getattr(client, "close", None)
        if close is not None:
            close()
    return runs


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", nargs="+", choices=BACKENDS, default=["extractive"])
    parser.add_argument("--sizes", nargs="+", type=int, default=[10, 100, 1000])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child", metavar="BACKEND", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(measure(args.child, args.sizes, args.repeat)))
        return 0

    print("| backend | messages | median s per summary | slowest s | fallbacks |")
    print("|---|---:|---:|---:|---:|")
    for backend in args.backend:
        print(f"summary speed: {backend} ...", file=sys.stderr, flush=True)
        if backend in IN_PROCESS:
            runs = measure(backend, args.sizes, args.repeat)
        else:
            command = [sys.executable, os.path.abspath(__file__), "--child", backend,
                       "--sizes", *map(str, args.sizes), "--repeat", "1"]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
                print(f"| {backend} | child failed ({done.returncode}): {tail} | | | |")
                continue
            runs = json.loads(done.stdout)
        for size, results in runs.items():
            seconds = [float(s) for s, _ in results]
            fell_back = sum(bool(f) for _, f in results)
            print(f"| {backend} | {int(size):,} | {statistics.median(seconds):.3f} | {max(seconds):.3f} "
                  f"| {fell_back}/{len(results)} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
