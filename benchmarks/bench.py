"""The native module against the plain-Python reference, on equal inputs, in one run.

Usage (from the project root, after `make install` and `pip install pyperf`;
`make bench` does both):

    .venv/bin/python benchmarks/bench.py            # full run, about 3 minutes
    .venv/bin/python benchmarks/bench.py --quick    # a rough look, about 30 seconds
    .venv/bin/python benchmarks/bench.py --json results.json --check
    .venv/bin/python benchmarks/bench.py --pyperf-dir results/
    .venv/bin/python -m pyperf compare_to results/reference.json results/native.json --table

Method: every workload is timed for the native module and the reference in
the same process, in rounds. Each round times every workload once on both
sides, alternating which side goes first, so slow drifts of the machine
(frequency, other load) hit both sides alike. A sample is a loop of calls
sized so that the reference takes about `--sample-time` seconds; the figure
reported is the median of the per-call times over all rounds, and the ratio
is reference median / native median (above 1: the native module is faster).
The collector runs before every sample and stays enabled during it.

pyperf is the harness for the data: samples are timed with
`pyperf.perf_counter`, and each side's per-call times are kept as a
`pyperf.BenchmarkSuite` (one `pyperf.Benchmark` per workload, holding one
`pyperf.Run` whose values are the rounds' per-call times, with the loop count
and unit as metadata); the medians are the benchmarks' `median()`. pyperf's
own Runner is not used, because it runs benchmarks one after another in
worker processes and so cannot interleave the two sides. `--pyperf-dir DIR`
writes the suites as DIR/native.json and DIR/reference.json (and
DIR/floor.json when floors are timed), for `python -m pyperf compare_to`,
`stats` and `hist`.

Memory: 10,000 summarize runs are started and left suspended at the LLM
call, under tracemalloc; the traced growth divided by the run count is the
memory one suspended run holds (coroutine, its locals, the transcript and
prompt pieces). The client's awaitable is one shared object, so nothing of
the client is counted.

The logger "korbix.summarizer" is set to ERROR so that the warning of an
unparsable answer is filtered out by the logger itself: the call of
`logger.warning` still happens on both sides, but no record reaches a handler.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import logging
import math
import os
import statistics
import sys
import tracemalloc
from dataclasses import dataclass
from typing import Any, Callable

try:
    import pyperf
except ImportError:  # pragma: no cover - depends on the environment
    raise SystemExit("bench.py needs pyperf: pip install pyperf (`make bench` installs it)") from None

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import korbix.core.summarizer as native  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402


@dataclass
class Workload:
    name: str
    native: Callable[[], Any]
    reference: Callable[[], Any]
    transcript: bool = False  # counts for the transcript target
    # The calls into Python-level code that both sides must make on these
    # inputs (`json.loads`, `logger.warning`, `str()` of argument values):
    # no implementation can be faster than this, so reference / floor is the
    # highest ratio the workload allows.
    floor: Callable[[], Any] | None = None


class Answer:
    __slots__ = ("content",)

    def __init__(self, content: str) -> None:
        self.content = content


class InstantClient:
    """Answers at once: `complete` returns a native coroutine that finishes
    without suspending, so a run measures the module's own work."""

    def __init__(self, content: str) -> None:
        self.answer = Answer(content)

    async def complete(self, *, messages, temperature, max_tokens):
        return self.answer


class Suspend:
    """An awaitable that never finishes: its `__await__` is itself, an
    iterator yielding None forever. One shared instance serves every run."""

    __slots__ = ()

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return None


SUSPEND = Suspend()


class SuspendingClient:
    def complete(self, *, messages, temperature, max_tokens):
        return SUSPEND


def run_to_end(coroutine) -> Any:
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the run suspended")


def json_texts(messages: list[dict]) -> list[str]:
    """The tool-call arguments that the transcript must pass to `json.loads`."""
    texts = []
    for message in messages:
        if message.get("role") != "assistant":
            continue
        for call in message.get("tool_calls") or ():
            arguments = call.get("arguments", call.get("function", {}).get("arguments", {}))
            if isinstance(arguments, str):
                texts.append(arguments)
    return texts


def loads_all(texts: list[str]) -> Callable[[], None]:
    def run() -> None:
        for text in texts:
            json.loads(text)

    return run


def fenced_block(answer: str) -> str:
    lines = answer.strip().split("\n")
    block = lines[1:]
    for index, line in enumerate(block):
        if line.strip() == "```":
            block = block[:index]
            break
    return "\n".join(block)


def build_workloads() -> list[Workload]:
    conversation_2k = workloads.conversation(2_000)
    conversation_20k = workloads.conversation(20_000)
    arguments = workloads.argument_dict()
    fenced = workloads.fenced_json_answer()
    prose = workloads.prose_answer()
    record = workloads.large_record()
    run_messages = workloads.conversation(40, seed=29)
    answer = workloads.short_answer()
    native_summarizer = native.ConversationSummarizer(InstantClient(answer))
    reference_summarizer = reference.ConversationSummarizer(InstantClient(answer))
    context = native.ConversationSummarizer.format_summary_for_context
    texts_2k, texts_20k, texts_run = (json_texts(m) for m in (conversation_2k, conversation_20k, run_messages))
    non_text_values = [value for value in arguments.values() if type(value) is not str]
    fenced_json = fenced_block(fenced)
    logger = logging.getLogger("korbix.summarizer")
    answer_json = fenced_block(answer)

    def prose_floor() -> None:
        try:
            json.loads(prose.strip())
        except json.JSONDecodeError:
            logger.warning("Could not parse summary JSON, using fallback")

    def run_floor() -> None:
        loads_all(texts_run)()
        run_to_end(InstantClient(answer).complete(messages=[], temperature=0.2, max_tokens=2048))
        json.loads(answer_json)

    return [
        Workload("transcript, 2,000 messages",
                 lambda: native._format_messages_for_summary(conversation_2k),
                 lambda: reference._format_messages_for_summary(conversation_2k), transcript=True,
                 floor=loads_all(texts_2k)),
        Workload("transcript, 20,000 messages",
                 lambda: native._format_messages_for_summary(conversation_20k),
                 lambda: reference._format_messages_for_summary(conversation_20k), transcript=True,
                 floor=loads_all(texts_20k)),
        Workload("argument brief, 20 keys",
                 lambda: native._brief_args(arguments),
                 lambda: reference._brief_args(arguments),
                 floor=lambda: [str(value) for value in non_text_values]),
        Workload("parse fenced JSON, 50 KB",
                 lambda: native._parse_summary(fenced),
                 lambda: reference._parse_summary(fenced),
                 floor=lambda: json.loads(fenced_json)),
        Workload("parse non-JSON, 5 KB",
                 lambda: native._parse_summary(prose),
                 lambda: reference._parse_summary(prose), floor=prose_floor),
        Workload("fallback, 20,000 messages",
                 lambda: native._fallback_summary(conversation_20k),
                 lambda: reference._fallback_summary(conversation_20k)),
        Workload("context block, large record",
                 lambda: context(native_summarizer, record),
                 lambda: reference_summarizer.format_summary_for_context(record)),
        Workload("summarize run, instant client",
                 lambda: run_to_end(native_summarizer.summarize_messages(run_messages)),
                 lambda: run_to_end(reference_summarizer.summarize_messages(run_messages)), floor=run_floor),
    ]


def comparable(value: Any) -> Any:
    if isinstance(value, dict) and "created_at" in value:
        return {key: item for key, item in value.items() if key != "created_at"}
    return value


def check_agreement(items: list[Workload]) -> None:
    """Both sides must compute the same thing, or the comparison means nothing."""
    for workload in items:
        if comparable(workload.native()) != comparable(workload.reference()):
            raise SystemExit(f"native and reference disagree on {workload.name!r}")


def sample(function: Callable[[], Any], loops: int) -> float:
    """Seconds per call over a loop of `loops` calls."""
    gc.collect()
    started = pyperf.perf_counter()
    for _ in range(loops):
        function()
    return (pyperf.perf_counter() - started) / loops


def calibrate(function: Callable[[], Any], target: float) -> int:
    loops = 1
    while True:
        elapsed = sample(function, loops) * loops
        if elapsed >= target / 4 or loops >= 1 << 24:
            return max(1, math.ceil(loops * target / max(elapsed, 1e-9)))
        loops *= 4


SIDES = ("native", "reference", "floor")


def side_suite(side: str, samples: dict[str, list[float]], loops: dict[str, int]) -> pyperf.BenchmarkSuite | None:
    """One side's per-call times as a pyperf suite: a benchmark per workload,
    each one run whose values are that workload's samples in round order."""
    benchmarks = [
        pyperf.Benchmark([pyperf.Run(values, metadata={"name": name, "loops": loops[name], "unit": "second",
                                                       "side": side})])
        for name, values in samples.items()
        if values
    ]
    return pyperf.BenchmarkSuite(benchmarks) if benchmarks else None


def time_workloads(items: list[Workload], rounds: int, target: float,
                   with_floors: bool) -> dict[str, pyperf.BenchmarkSuite]:
    """Times the workloads in interleaved rounds; returns a pyperf suite per
    side ("native", "reference", and "floor" when a floor was timed)."""
    loops = {}
    for workload in items:
        workload.native()  # warm-up: lazy imports, caches
        workload.reference()
        loops[workload.name] = calibrate(workload.reference, target)
    samples = {workload.name: {"native": [], "reference": [], "floor": []} for workload in items}
    for round_index in range(rounds):
        for workload in items:
            sides = [("native", workload.native), ("reference", workload.reference)]
            if round_index % 2:
                sides.reverse()
            if workload.floor is not None and with_floors:
                sides.append(("floor", workload.floor))
            for side, function in sides:
                samples[workload.name][side].append(sample(function, loops[workload.name]))
        print(f"  round {round_index + 1}/{rounds} done", file=sys.stderr)
    suites = {}
    for side in SIDES:
        suite = side_suite(side, {name: by_side[side] for name, by_side in samples.items()}, loops)
        if suite is not None:
            suites[side] = suite
    return suites


def figures(suites: dict[str, pyperf.BenchmarkSuite], items: list[Workload]) -> dict[str, dict[str, Any]]:
    """Per workload: the median per-call time of each side, read from the suites."""
    times = {}
    for workload in items:
        native_bench = suites["native"].get_benchmark(workload.name)
        reference_bench = suites["reference"].get_benchmark(workload.name)
        floor_bench = None
        if "floor" in suites and workload.name in suites["floor"].get_benchmark_names():
            floor_bench = suites["floor"].get_benchmark(workload.name)
        native_values, reference_values = native_bench.get_values(), reference_bench.get_values()
        times[workload.name] = {
            "native": native_bench.median(),
            "reference": reference_bench.median(),
            "native_spread": (min(native_values), max(native_values)),
            "reference_spread": (min(reference_values), max(reference_values)),
            "floor": floor_bench.median() if floor_bench is not None else None,
            "loops": reference_bench.get_loops(),
        }
    return times


def dump_suites(suites: dict[str, pyperf.BenchmarkSuite], directory: str) -> list[str]:
    """Writes each side's suite as DIRECTORY/<side>.json, replacing the files of
    an earlier run; a side this run did not time loses its old file, so that
    the directory never mixes two runs."""
    os.makedirs(directory, exist_ok=True)
    paths = []
    for side in SIDES:
        path = os.path.join(directory, f"{side}.json")
        if side in suites:
            suites[side].dump(path, replace=True)
            paths.append(path)
        elif os.path.exists(path):
            os.remove(path)
    return paths


SUSPENDED_RUNS = 10_000
SUSPENDED_MESSAGES = [{"role": "user", "content": "Fix the failing login test"},
                      {"role": "assistant", "content": "Looking at it now."}]


def suspended_run_memory(summarizer_class: type, runs: int = SUSPENDED_RUNS) -> float:
    """Bytes held per summarize run suspended at the LLM call."""
    summarizer = summarizer_class(SuspendingClient())
    held: list[Any] = [None] * runs
    # Warm-up: free lists, caches and lazily made objects settle first.
    for _ in range(20):
        warm = summarizer.summarize_messages(SUSPENDED_MESSAGES)
        warm.send(None)
        warm.close()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for index in range(runs):
            coroutine = summarizer.summarize_messages(SUSPENDED_MESSAGES)
            coroutine.send(None)
            held[index] = coroutine
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    for coroutine in held:
        coroutine.close()
    return grown / runs


def measure_memory(rounds: int) -> dict[str, float]:
    figures: dict[str, list[float]] = {"native": [], "reference": []}
    classes = [("native", native.ConversationSummarizer), ("reference", reference.ConversationSummarizer)]
    for round_index in range(rounds):
        for side, cls in classes if round_index % 2 == 0 else reversed(classes):
            figures[side].append(suspended_run_memory(cls))
    return {side: statistics.median(values) for side, values in figures.items()}


def report(times: dict[str, dict[str, Any]], memory: dict[str, float] | None, items: list[Workload],
           every_workload: bool = True) -> dict[str, Any]:
    """Prints the table and the targets. A target whose figures this run did
    not measure (no memory figure, no transcript workload, or only some
    workloads for the geometric mean) is reported as not measured, None in
    the returned targets, rather than as met or missed."""
    print(f"\n{'workload':34} {'native':>12} {'reference':>12} {'ratio':>8} {'floor':>12} {'ceiling':>8}")
    ratios = {}
    for workload in items:
        figures = times[workload.name]
        ratio = figures["reference"] / figures["native"]
        ratios[workload.name] = ratio
        floor = figures["floor"]
        bound = (f"{floor * 1e6:10.1f}us {figures['reference'] / floor:7.2f}x" if floor else f"{'-':>12} {'-':>8}")
        print(f"{workload.name:34} {figures['native'] * 1e6:10.1f}us {figures['reference'] * 1e6:10.1f}us "
              f"{ratio:7.2f}x {bound}")
    geometric_mean = math.exp(statistics.fmean(math.log(r) for r in ratios.values()))
    print(f"{'geometric mean of the time ratios':34} {'':12} {'':12} {geometric_mean:7.2f}x")
    if memory is not None:
        print(f"{'suspended run, bytes per run':34} {memory['native']:12.0f} {memory['reference']:12.0f} "
              f"{memory['reference'] / memory['native']:7.2f}x")
    else:
        print(f"{'suspended run, bytes per run':34} {'-':>12} {'-':>12} {'-':>8}")

    transcript_ratios = [ratios[w.name] for w in items if w.transcript]
    targets = {
        "transcript rendering at least 5x": min(transcript_ratios) >= 5 if transcript_ratios else None,
        "geometric mean at least 3x": geometric_mean >= 3 if every_workload else None,
        "no workload slower than the reference": min(ratios.values()) >= 1,
        "suspended run holds no more memory than the reference's":
            memory["native"] <= memory["reference"] if memory is not None else None,
    }
    print()
    for target, met in targets.items():
        print(f"  [{'not measured' if met is None else 'met' if met else 'MISSED'}] {target}")
    return {
        "python": sys.version,
        "times": times,
        "ratios": ratios,
        "geometric_mean": geometric_mean,
        "suspended_run_bytes": memory if memory is not None else {"native": None, "reference": None},
        "targets": targets,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (default 15)")
    parser.add_argument("--sample-time", type=float, default=0.1,
                        help="seconds of reference calls per sample (default 0.1)")
    parser.add_argument("--quick", action="store_true", help="5 rounds of 0.03 s samples")
    parser.add_argument("--only", help="run the workloads whose name contains this text")
    parser.add_argument("--no-memory", action="store_true", help="skip the suspended-run memory figure")
    parser.add_argument("--no-floors", action="store_true", help="skip timing the calls both sides must make")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--pyperf-dir", metavar="DIR",
                        help="also write the pyperf suites DIR/native.json and DIR/reference.json "
                             "(and DIR/floor.json when floors are timed)")
    options = parser.parse_args(argv)
    if options.quick:
        options.rounds, options.sample_time = 5, 0.03

    logging.getLogger("korbix.summarizer").setLevel(logging.ERROR)
    asyncio.get_event_loop_policy()  # asyncio imported and set up before timing
    every = build_workloads()
    items = [w for w in every if options.only in w.name] if options.only else every
    if not items:
        parser.error(f"no workload name contains {options.only!r}")
    check_agreement(items)
    print(f"{len(items)} workloads, {options.rounds} rounds, samples of about {options.sample_time} s",
          file=sys.stderr)
    suites = time_workloads(items, options.rounds, options.sample_time, not options.no_floors)
    times = figures(suites, items)
    memory = measure_memory(3) if not options.no_memory else None
    results = report(times, memory, items, every_workload=len(items) == len(every))
    if options.json:
        with open(options.json, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=2)
    if options.pyperf_dir:
        for path in dump_suites(suites, options.pyperf_dir):
            print(f"wrote {path}", file=sys.stderr)
    if options.check and not all(met for met in results["targets"].values() if met is not None):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
