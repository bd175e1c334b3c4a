"""What running the embedded model in a worker process costs.

Compares ``LocalModelClient(isolate=True)`` (the default: the model in a
worker process) with ``isolate=False`` (the model in this process) on the
bundled model:

- start: from nothing to a loaded model (``load()``), each side in a fresh
  interpreter, so that neither gains from the other's warm caches;
- request: one short generation (four tokens, unconstrained), median of
  several, with the model already loaded; the difference is the round trip
  through the worker's pipes;
- summary: one whole summarize call on the bundled example conversation.

    .venv/bin/python benchmarks/local_isolation.py [--requests N]

The in-process side loads llama.cpp into a child interpreter of its own:
this script never loads the native library into its own process.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

MEASURE = r"""
import asyncio, json, statistics, sys, time
from importlib.resources import files
from korbix.core.summarizer import ConversationSummarizer
from korbix_summarizer.local import LocalModelClient

isolate, requests = sys.argv[1] == "worker", int(sys.argv[2])
started = time.perf_counter()
client = LocalModelClient(isolate=isolate)
client.load()
start = time.perf_counter() - started
prompt = [{"role": "user", "content": "Say hello."}]

async def run():
    times = []
    for _ in range(requests):
        begun = time.perf_counter()
        try:
            await client.complete(messages=prompt, temperature=0.0, max_tokens=4, json_schema=None)
        except RuntimeError:
            pass  # cut at max_tokens, as intended
        times.append(time.perf_counter() - begun)
    example = json.loads(files("korbix_summarizer").joinpath("examples", "agent_session.json").read_text())
    begun = time.perf_counter()
    await ConversationSummarizer(client).summarize_messages(example)
    return times, time.perf_counter() - begun

times, summary = asyncio.run(run())
client.close()
print(json.dumps({"start": start, "request": statistics.median(times), "summary": summary}))
"""


def measure(side: str, requests: int) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, side, str(requests)],
        capture_output=True, text=True, check=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=20, help="short requests per side")
    parser.add_argument("--rounds", type=int, default=3, help="fresh interpreters per side")
    args = parser.parse_args()
    results: dict[str, list[dict[str, float]]] = {"in-process": [], "worker": []}
    for _ in range(args.rounds):
        for side in ("in-process", "worker"):  # interleaved against drift
            results[side].append(measure(side, args.requests))
    print(f"{'':12} {'start (s)':>10} {'request (ms)':>13} {'summary (s)':>12}")
    for side, runs in results.items():
        start = statistics.median(r["start"] for r in runs)
        request = statistics.median(r["request"] for r in runs) * 1000
        summary = statistics.median(r["summary"] for r in runs)
        print(f"{side:12} {start:10.2f} {request:13.1f} {summary:12.1f}")


if __name__ == "__main__":
    main()
