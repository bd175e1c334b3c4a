"""The native module against the plain-Python reference, on equal inputs, in one run.

Usage (from the project root, after `make install` and `pip install pyperf`;
`make bench` does both):

    .venv/bin/python benchmarks/bench.py            # full run, about 3 minutes
    .venv/bin/python benchmarks/bench.py --quick    # a rough look, about 30 seconds
    .venv/bin/python benchmarks/bench.py --json results.json --check
    .venv/bin/python benchmarks/bench.py --pyperf-dir results/
    .venv/bin/python -m pyperf compare_to results/reference.json results/native.json --table
    .venv/bin/python benchmarks/bench.py --before /tmp/before   # also an earlier build

Method: every workload is timed for the native module and the reference in
the same process, in rounds. Each round times every workload once on both
sides, alternating which side goes first, so slow drifts of the machine
(frequency, other load) hit both sides alike. A sample is a loop of calls
sized so that the reference takes about `--sample-time` seconds; the figure
reported is the median of the per-call times over all rounds, and the ratio
is reference median / native median (above 1: the native module is faster).
The collector runs before every sample and stays enabled during it.

Floor and own work: the floor of a workload is the time of exactly the calls
into code that is not ours which both sides must make on its inputs
(`json.loads`, logging, `str()` of non-text values, `time.time`, the
client's `complete`), made on the same inputs in the same rounds with
nothing but a C-level loop around them. The own-work ratio
(reference - floor) / (native - floor) compares what the two sides do
themselves. `--before DIR` times a third side, an earlier build of the
module (a copy of its installed `korbix` package), interleaved with the
other two, for the target that no workload gets more than 5 % slower.

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
import collections
import gc
import glob
import importlib.machinery
import importlib.util
import json
import logging
import math
import operator
import os
import statistics
import sys
import time
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
    # The floor: exactly the calls into code that is not ours which both
    # sides must make on these inputs (`json.loads`, logging, `str()` of
    # non-text values, `time.time`, the client's `complete`), made on the same
    # inputs. None: the workload makes no such calls (its floor is zero).
    floor: Callable[[], Any] | None = None
    # The same call on an earlier build of the module (`--before DIR`).
    before: Callable[[], Any] | None = None
    # The floor's harness alone, on no inputs: timed beside the floor and
    # taken off it, so that the floor is the calls and nothing else.
    floor_harness: Callable[[], Any] | None = None


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


def brief_values(messages: list[dict]) -> list[Any]:
    """The argument values that `_brief_args` turns into text with `str()`
    (those that are not already str) over a transcript of `messages`."""
    values = []
    for message in messages:
        if message.get("role") != "assistant":
            continue
        for call in message.get("tool_calls") or ():
            arguments = call.get("arguments", call.get("function", {}).get("arguments", {}))
            if isinstance(arguments, str):
                arguments = json.loads(arguments)
            if isinstance(arguments, dict):
                values.extend(value for value in arguments.values() if type(value) is not str)
    return values


def calls_of(texts: list[str], values: list[Any]) -> Callable[[], None]:
    """`json.loads` of every text and `str()` of every value, in one C-level
    loop (`calls_of([], [])` is that loop alone)."""
    functions = [json.loads] * len(texts) + [str] * len(values)
    arguments = list(texts) + list(values)

    def run() -> None:
        collections.deque(map(operator.call, functions, arguments), maxlen=0)

    return run


def fenced_block(answer: str) -> str:
    lines = answer.strip().split("\n")
    block = lines[1:]
    for index, line in enumerate(block):
        if line.strip() == "```":
            block = block[:index]
            break
    return "\n".join(block)


def load_before(directory: str):
    """The summarizer module of an earlier build: the extension file found
    under `directory` (a copy of an installed `korbix` package), loaded
    under a name of its own beside the current build."""
    paths = glob.glob(os.path.join(directory, "**", "summarizer*.so"), recursive=True)
    if len(paths) != 1:
        raise SystemExit(f"--before: expected one summarizer*.so under {directory}, found {len(paths)}")
    loader = importlib.machinery.ExtensionFileLoader("korbix_before.summarizer", paths[0])
    spec = importlib.util.spec_from_file_location("korbix_before.summarizer", paths[0], loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def build_workloads(before=None) -> list[Workload]:
    conversation_2k = workloads.conversation(2_000)
    conversation_20k = workloads.conversation(20_000)
    arguments = workloads.argument_dict()
    fenced = workloads.fenced_json_answer()
    prose = workloads.prose_answer()
    record = workloads.large_record()
    run_messages = workloads.conversation(40, seed=29)
    answer = workloads.short_answer()
    logger = logging.getLogger("korbix.summarizer")
    fenced_json, answer_json = fenced_block(fenced), fenced_block(answer)

    stripped_prose = prose.strip()

    def prose_floor() -> None:
        try:
            json.loads(stripped_prose)
        except json.JSONDecodeError:
            logger.warning("Could not parse summary JSON, using fallback")
        time.time()

    def fenced_floor() -> None:
        json.loads(fenced_json)
        time.time()

    run_calls = calls_of(json_texts(run_messages), brief_values(run_messages))

    def run_floor() -> None:
        run_calls()
        run_to_end(InstantClient(answer).complete(messages=[], temperature=0.2, max_tokens=2048))
        json.loads(answer_json)
        time.time()

    def calls(module) -> dict[str, Callable[[], Any]]:
        """The workloads' calls on one build of the module."""
        summarizer = module.ConversationSummarizer(InstantClient(answer))
        context = module.ConversationSummarizer.format_summary_for_context
        return {
            "transcript, 2,000 messages": lambda: module._format_messages_for_summary(conversation_2k),
            "transcript, 20,000 messages": lambda: module._format_messages_for_summary(conversation_20k),
            "argument brief, 20 keys": lambda: module._brief_args(arguments),
            "parse fenced JSON, 50 KB": lambda: module._parse_summary(fenced),
            "parse non-JSON, 5 KB": lambda: module._parse_summary(prose),
            "fallback, 20,000 messages": lambda: module._fallback_summary(conversation_20k),
            "context block, large record": lambda: context(summarizer, record),
            "summarize run, instant client": lambda: run_to_end(summarizer.summarize_messages(run_messages)),
        }

    native_calls, before_calls = calls(native), calls(before) if before is not None else {}
    reference_summarizer = reference.ConversationSummarizer(InstantClient(answer))
    reference_calls = {
        "transcript, 2,000 messages": lambda: reference._format_messages_for_summary(conversation_2k),
        "transcript, 20,000 messages": lambda: reference._format_messages_for_summary(conversation_20k),
        "argument brief, 20 keys": lambda: reference._brief_args(arguments),
        "parse fenced JSON, 50 KB": lambda: reference._parse_summary(fenced),
        "parse non-JSON, 5 KB": lambda: reference._parse_summary(prose),
        "fallback, 20,000 messages": lambda: reference._fallback_summary(conversation_20k),
        "context block, large record": lambda: reference_summarizer.format_summary_for_context(record),
        "summarize run, instant client": lambda: run_to_end(reference_summarizer.summarize_messages(run_messages)),
    }
    floors = {
        "transcript, 2,000 messages": calls_of(json_texts(conversation_2k), brief_values(conversation_2k)),
        "transcript, 20,000 messages": calls_of(json_texts(conversation_20k), brief_values(conversation_20k)),
        "argument brief, 20 keys": calls_of([], [value for value in arguments.values() if type(value) is not str]),
        "parse fenced JSON, 50 KB": fenced_floor,
        "parse non-JSON, 5 KB": prose_floor,
        "fallback, 20,000 messages": time.time,
        "context block, large record": None,  # exact str items: no call leaves the module
        "summarize run, instant client": run_floor,
    }
    harness = calls_of([], [])
    harnessed = {name for name in floors if name.startswith(("transcript", "argument", "summarize"))}
    return [
        Workload(name, native_calls[name], reference_calls[name], transcript=name.startswith("transcript"),
                 floor=floors[name], before=before_calls.get(name),
                 floor_harness=harness if name in harnessed else None)
        for name in native_calls
    ]


def comparable(value: Any) -> Any:
    if isinstance(value, dict) and "created_at" in value:
        return {key: item for key, item in value.items() if key != "created_at"}
    return value


def check_agreement(items: list[Workload]) -> None:
    """All sides must compute the same thing, or the comparison means nothing."""
    for workload in items:
        expected = comparable(workload.reference())
        for side, function in (("native", workload.native), ("before", workload.before)):
            if function is not None and comparable(function()) != expected:
                raise SystemExit(f"{side} and reference disagree on {workload.name!r}")


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


SIDES = ("native", "reference", "before", "floor", "floor_harness")


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
        if workload.before is not None:
            workload.before()
        loops[workload.name] = calibrate(workload.reference, target)
    samples = {workload.name: {side: [] for side in SIDES} for workload in items}
    for round_index in range(rounds):
        for workload in items:
            sides = [("native", workload.native), ("reference", workload.reference)]
            if workload.before is None:
                if round_index % 2:
                    sides.reverse()
            else:
                # Three sides take turns at each place: a side that runs right
                # after another one finds the inputs in the caches.
                sides.append(("before", workload.before))
                shift = round_index % 3
                sides = sides[shift:] + sides[:shift]
            if workload.floor is not None and with_floors:
                sides.append(("floor", workload.floor))
                if workload.floor_harness is not None:
                    sides.append(("floor_harness", workload.floor_harness))
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
    def median(side: str, name: str) -> float | None:
        if side in suites and name in suites[side].get_benchmark_names():
            return suites[side].get_benchmark(name).median()
        return None

    def floor_of(name: str) -> float | None:
        floor, harness = median("floor", name), median("floor_harness", name)
        return floor - harness if floor is not None and harness is not None else floor

    times = {}
    for workload in items:
        native_bench = suites["native"].get_benchmark(workload.name)
        reference_bench = suites["reference"].get_benchmark(workload.name)
        native_values, reference_values = native_bench.get_values(), reference_bench.get_values()
        times[workload.name] = {
            "native": native_bench.median(),
            "reference": reference_bench.median(),
            "native_spread": (min(native_values), max(native_values)),
            "reference_spread": (min(reference_values), max(reference_values)),
            "floor": floor_of(workload.name),
            "before": median("before", workload.name),
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


def own_work_ratio(workload: Workload, figures: dict[str, Any], with_floors: bool) -> float | None:
    """(reference - floor) / (native - floor): how much faster the module does
    its own work, the calls that both sides must make taken out. A workload
    without such calls has a floor of zero; None when the floor was not timed."""
    if workload.floor is None:
        floor = 0.0
    elif with_floors and figures["floor"] is not None:
        floor = figures["floor"]
    else:
        return None
    return (figures["reference"] - floor) / max(figures["native"] - floor, 1e-12)


def report(times: dict[str, dict[str, Any]], memory: dict[str, float] | None, items: list[Workload],
           with_floors: bool = True) -> dict[str, Any]:
    """Prints the table and the targets. A target whose figures this run did
    not measure (no transcript workload, no floors, no earlier build, no
    memory figure) is reported as not measured, None in the returned
    targets, rather than as met or missed."""
    print(f"\n{'workload':31} {'reference':>11} {'native':>11} {'floor':>11} {'own work':>9} {'raw':>7} "
          f"{'before':>11} {'vs before':>9}")
    ratios, own_work, versus_before, floor_shares = {}, {}, {}, {}
    for workload in items:
        figures = times[workload.name]
        ratios[workload.name] = figures["reference"] / figures["native"]
        own_work[workload.name] = own_work_ratio(workload, figures, with_floors)
        floor = 0.0 if workload.floor is None else figures["floor"] if with_floors else None
        floor_shares[workload.name] = floor / figures["reference"] if floor is not None else None
        before = figures["before"]
        versus_before[workload.name] = figures["native"] / before if before else None

        def us(value: float | None) -> str:
            return f"{value * 1e6:9.1f}us" if value is not None else f"{'-':>11}"

        def times_x(value: float | None, width: int) -> str:
            return f"{value:{width - 1}.2f}x" if value is not None else f"{'-':>{width}}"

        print(f"{workload.name:31} {us(figures['reference'])} {us(figures['native'])} {us(floor)} "
              f"{times_x(own_work[workload.name], 9)} {times_x(ratios[workload.name], 7)} {us(before)} "
              f"{times_x(versus_before[workload.name], 9)}")
    if memory is not None:
        print(f"{'suspended run, bytes per run':31} {memory['reference']:11.0f} {memory['native']:11.0f}")
    else:
        print(f"{'suspended run, bytes per run':31} {'-':>11} {'-':>11}")

    transcript = [own_work[w.name] for w in items if w.transcript]
    others = [own_work[w.name] for w in items
              if not w.transcript and floor_shares[w.name] is not None and floor_shares[w.name] < 0.8]
    compared = [value for value in versus_before.values() if value is not None]
    targets = {
        "own work at least 5x on the transcript workloads":
            min(transcript) >= 5 if transcript and None not in transcript else None,
        "own work at least 2x on the other workloads whose floor is under 80% of the reference":
            min(others) >= 2 if others and None not in others else None,
        "no workload slower than the reference": min(ratios.values()) >= 1,
        "no workload more than 5% slower than before": max(compared) <= 1.05 if compared else None,
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
        "own_work_ratios": own_work,
        "floor_shares": floor_shares,
        "native_versus_before": versus_before,
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
    parser.add_argument("--before", metavar="DIR",
                        help="also time an earlier build: a copy of its installed `korbix` package in DIR")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--pyperf-dir", metavar="DIR",
                        help="also write the pyperf suites DIR/native.json and DIR/reference.json "
                             "(and DIR/before.json and DIR/floor.json when those are timed)")
    options = parser.parse_args(argv)
    if options.quick:
        options.rounds, options.sample_time = 5, 0.03

    logging.getLogger("korbix.summarizer").setLevel(logging.ERROR)
    asyncio.get_event_loop_policy()  # asyncio imported and set up before timing
    every = build_workloads(before=load_before(options.before) if options.before else None)
    items = [w for w in every if options.only in w.name] if options.only else every
    if not items:
        parser.error(f"no workload name contains {options.only!r}")
    check_agreement(items)
    print(f"{len(items)} workloads, {options.rounds} rounds, samples of about {options.sample_time} s",
          file=sys.stderr)
    suites = time_workloads(items, options.rounds, options.sample_time, not options.no_floors)
    times = figures(suites, items)
    memory = measure_memory(3) if not options.no_memory else None
    results = report(times, memory, items, with_floors=not options.no_floors)
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
