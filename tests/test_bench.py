"""The benchmark script's harness: interleaved rounds timed into pyperf suites,
the medians and ratios read from them, the files pyperf's tools read, and the
verdict on the targets. The workloads here are stand-ins whose calls advance a
fake clock by a known time, so every figure is known exactly."""

import json
import logging
import os
import subprocess
import sys

import pyperf
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks"))
import bench  # noqa: E402

pytestmark = pytest.mark.no_refleak  # timing loops and subprocesses, not the module's references

# Powers of two, so that sums and per-call quotients are exact.
NATIVE, REFERENCE, FLOOR = 2.0**-10, 2.0**-8, 2.0**-11


class Clock:
    def __init__(self):
        self.now = 0.0
        self.calls = []  # (workload, side) of every call, in order

    def read(self):
        return self.now

    def function(self, workload, side, cost):
        def call():
            self.calls.append((workload, side))
            self.now += cost
            return None

        return call


@pytest.fixture(autouse=True)
def logger_level():
    """main() quiets the module's logger; later tests need its level back, or
    records that their own level would drop are made and kept."""
    logger = logging.getLogger("korbix.summarizer")
    level = logger.level
    yield
    logger.setLevel(level)


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(pyperf, "perf_counter", clock.read)
    return clock


def workload(clock, name, native=NATIVE, reference=REFERENCE, floor=None, transcript=False, before=None,
             harness=None):
    def side(label, cost):
        return clock.function(name, label, cost) if cost is not None else None

    return bench.Workload(name, side("native", native), side("reference", reference), transcript=transcript,
                          floor=side("floor", floor), before=side("before", before),
                          floor_harness=side("floor_harness", harness))


def sample_order(calls):
    """(workload, side) of each sample, in order: consecutive calls merged."""
    order = []
    for call in calls:
        if not order or order[-1] != call:
            order.append(call)
    return order


def test_suites_hold_the_per_call_time_of_every_round(clock):
    items = [workload(clock, "with floor", floor=FLOOR), workload(clock, "without floor", native=2 * REFERENCE)]
    rounds = 3
    suites = bench.time_workloads(items, rounds, 0.03, with_floors=True)

    assert set(suites) == {"native", "reference", "floor"}
    assert suites["native"].get_benchmark_names() == ["with floor", "without floor"]
    assert suites["floor"].get_benchmark_names() == ["with floor"]
    expected = {("native", "with floor"): NATIVE, ("reference", "with floor"): REFERENCE,
                ("floor", "with floor"): FLOOR, ("native", "without floor"): 2 * REFERENCE,
                ("reference", "without floor"): REFERENCE}
    for (side, name), per_call in expected.items():
        benchmark = suites[side].get_benchmark(name)
        [run] = benchmark.get_runs()
        assert run.values == (per_call,) * rounds
        assert benchmark.get_unit() == "second"
        assert benchmark.get_metadata()["side"] == side
        # The loop count recorded is the one every sample ran: besides one
        # warm-up call per side, calibration calls only the reference.
        loops = benchmark.get_loops()
        calls = clock.calls.count((name, side))
        if side == "reference":
            assert calls > 1 + rounds * loops
        else:
            assert calls == (0 if side == "floor" else 1) + rounds * loops

    times = bench.figures(suites, items)
    assert times["with floor"] == {
        "native": NATIVE, "reference": REFERENCE, "native_spread": (NATIVE, NATIVE),
        "reference_spread": (REFERENCE, REFERENCE), "floor": FLOOR, "before": None,
        "loops": suites["reference"].get_benchmark("with floor").get_loops(),
    }
    assert times["without floor"]["floor"] is None
    assert times["without floor"]["native"] == 2 * REFERENCE


def test_an_earlier_build_takes_turns_with_the_pair_and_the_floor_harness_comes_last(clock):
    items = [workload(clock, "a", floor=FLOOR, before=NATIVE / 2, harness=FLOOR / 4)]
    suites = bench.time_workloads(items, 3, 0.03, with_floors=True)
    rounds = [side for _, side in sample_order(clock.calls)[-15:]]
    assert rounds == ["native", "reference", "before", "floor", "floor_harness",
                      "reference", "before", "native", "floor", "floor_harness",
                      "before", "native", "reference", "floor", "floor_harness"]
    times = bench.figures(suites, items)["a"]
    # The harness alone is taken off the floor.
    assert (times["before"], times["floor"]) == (NATIVE / 2, FLOOR - FLOOR / 4)


def test_rounds_alternate_which_side_goes_first(clock):
    items = [workload(clock, "a", floor=FLOOR), workload(clock, "b")]
    bench.time_workloads(items, 4, 0.03, with_floors=True)
    # Per workload a warm-up call of each side, then the reference's
    # calibration samples (merged with its warm-up here); then the rounds.
    warm_up = ("a", "native"), ("a", "reference"), ("b", "native"), ("b", "reference")
    first = ("a", "native"), ("a", "reference"), ("a", "floor"), ("b", "native"), ("b", "reference")
    second = ("a", "reference"), ("a", "native"), ("a", "floor"), ("b", "reference"), ("b", "native")
    assert sample_order(clock.calls) == list(warm_up + first + second + first + second)


def test_samples_go_to_their_side_in_round_order_and_the_median_is_reported(monkeypatch):
    # Samples in the order taken: round 1 native then reference, round 2
    # reference then native, round 3 native then reference. Each side's
    # median differs from its mean, first and last sample.
    taken = iter([9e-6, 8e-6, 6e-6, 4e-6, 2e-6, 1e-6])
    monkeypatch.setattr(bench, "sample", lambda function, loops: next(taken))
    monkeypatch.setattr(bench, "calibrate", lambda function, target: 7)
    item = bench.Workload("w", lambda: None, lambda: None)
    suites = bench.time_workloads([item], 3, 0.03, with_floors=False)
    assert suites["native"].get_benchmark("w").get_values() == (9e-6, 4e-6, 2e-6)
    assert suites["reference"].get_benchmark("w").get_values() == (8e-6, 6e-6, 1e-6)
    assert suites["native"].get_benchmark("w").get_loops() == 7
    figures = bench.figures(suites, [item])["w"]
    assert (figures["native"], figures["reference"]) == (4e-6, 6e-6)
    assert (figures["native_spread"], figures["reference_spread"]) == ((2e-6, 9e-6), (1e-6, 8e-6))


def test_suite_files_are_read_by_pyperfs_tools(clock, tmp_path):
    items = [workload(clock, "argument brief", floor=FLOOR)]
    suites = bench.time_workloads(items, 3, 0.03, with_floors=True)
    paths = bench.dump_suites(suites, str(tmp_path / "out"))
    assert sorted(os.path.basename(path) for path in paths) == ["floor.json", "native.json", "reference.json"]
    loaded = pyperf.BenchmarkSuite.load(str(tmp_path / "out" / "native.json"))
    assert loaded.get_benchmark("argument brief").get_values() == (NATIVE,) * 3

    table = subprocess.run(
        [sys.executable, "-m", "pyperf", "compare_to", str(tmp_path / "out" / "reference.json"),
         str(tmp_path / "out" / "native.json"), "--table"],
        capture_output=True, text=True, timeout=60, check=True,
    ).stdout
    assert "argument brief" in table and "4.00x faster" in table

    # A later run without floors replaces the files and leaves no floor file
    # of the earlier run beside them.
    del suites["floor"]
    bench.dump_suites(suites, str(tmp_path / "out"))
    assert sorted(os.listdir(tmp_path / "out")) == ["native.json", "reference.json"]


@pytest.mark.parametrize(
    ("only", "slow_native", "before", "status", "targets"),
    [
        # Targets: transcript own work >= 5x, other own work >= 2x, never
        # slower than the reference, never 5 % slower than before, memory.
        # The transcript does 7x the own work (reference 8, native 2, floor 1
        # in units of 2**-11 s); the argument brief, without a floor, 16x.
        ("argument", False, None, 0, [None, True, True, None, None]),
        ("argument", True, None, 1, [None, False, False, None, None]),
        (None, False, None, 0, [True, True, True, None, None]),
        ("transcript", False, None, 0, [True, None, True, None, None]),
        # The earlier build took half the time: the native side is 2x slower than before.
        ("transcript", False, NATIVE / 2, 1, [True, None, True, False, None]),
        ("transcript", False, NATIVE, 0, [True, None, True, True, None]),
    ],
)
def test_main_reports_targets_and_writes_both_outputs(clock, monkeypatch, tmp_path, only, slow_native, before,
                                                      status, targets):
    def build(**_):  # the stand-ins take the earlier build from `before` above
        return [
            workload(clock, "transcript, 2 messages", transcript=True, floor=FLOOR, before=before),
            workload(clock, "argument brief", native=2 * REFERENCE if slow_native else REFERENCE / 16),
        ]

    monkeypatch.setattr(bench, "build_workloads", build)
    out = tmp_path / "results.json"
    argv = ["--rounds", "3", "--sample-time", "0.03", "--no-memory", "--check", "--json", str(out),
            "--pyperf-dir", str(tmp_path / "suites")]
    assert bench.main(argv + (["--only", only] if only else [])) == status

    results = json.loads(out.read_text())
    assert list(results["targets"].values()) == targets
    assert results["suspended_run_bytes"] == {"native": None, "reference": None}
    native_suite = pyperf.BenchmarkSuite.load(str(tmp_path / "suites" / "native.json"))
    reference_suite = pyperf.BenchmarkSuite.load(str(tmp_path / "suites" / "reference.json"))
    assert sorted(native_suite.get_benchmark_names()) == sorted(results["ratios"])
    for name, ratio in results["ratios"].items():
        assert ratio == reference_suite.get_benchmark(name).median() / native_suite.get_benchmark(name).median()
    if "transcript, 2 messages" in results["own_work_ratios"]:
        assert results["own_work_ratios"]["transcript, 2 messages"] == 7.0


def test_only_matching_nothing_is_refused(clock, monkeypatch, capsys):
    monkeypatch.setattr(bench, "build_workloads", lambda before=None: [workload(clock, "argument brief")])
    with pytest.raises(SystemExit) as stop:
        bench.main(["--only", "no such workload", "--no-memory"])
    assert stop.value.code == 2
    assert "no workload name contains 'no such workload'" in capsys.readouterr().err
