"""The embedded model's generation, and the worker process that hosts it.

``ModelRunner`` loads a GGUF model with llama-cpp-python and generates one
answer at a time. ``LocalModelClient`` runs it in a worker process (this
module run as ``python -m korbix_summarizer._worker``), so that a crash of
the native inference library ends the worker, not the caller; it can also
run it in its own process, in a thread.

The worker speaks JSON lines. Requests arrive on standard input:

    {"op": "load"}
    {"op": "generate", "id": 1, "messages": [...], "temperature": 0.2,
     "max_tokens": 2048, "json_schema": {...} or null}
    {"op": "cancel", "id": 1}

Events go out on the file descriptor that was standard output when the
worker started; the worker points its own standard output at standard error
first, so that nothing the native library prints can corrupt the stream:

    {"event": "ready", "system_info": "...", "load_seconds": 0.4}
    {"event": "progress", "id": 1, "tokens": 12}
    {"event": "done", "id": 1, "content": "...", "finish_reason": "stop"}
    {"event": "error", "id": 1, "type": "ValueError", "message": "..."}
    {"event": "fatal", "type": "...", "message": "..."}

End of input makes the worker stop its current generation and exit.
"""

from __future__ import annotations

import faulthandler
import json
import os
import queue
import re
import sys
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from llama_cpp import Llama

# JSON forbids raw control characters inside strings.
_CONTROL_CHARACTER = re.compile(r"[\x00-\x1f]")

# How the error for a build this CPU cannot run starts; the client matches
# it to tell a missing CPU feature from other load failures.
CPU_LACKS = "this CPU lacks"

# What the x86-64 builds of ggml may need of the CPU, by the name that
# llama.cpp's system information gives and the flag that /proc/cpuinfo shows.
_CPU_FEATURES = {
    "SSE3": "pni",
    "SSSE3": "ssse3",
    "AVX": "avx",
    "AVX2": "avx2",
    "F16C": "f16c",
    "FMA": "fma",
    "BMI2": "bmi2",
    "AVX_VNNI": "avx_vnni",
    "AVX512": "avx512f",
    "AVX512_VBMI": "avx512vbmi",
    "AVX512_VNNI": "avx512_vnni",
    "AVX512_BF16": "avx512_bf16",
    "AMX_INT8": "amx_int8",
}


def escape_control_characters(text: str) -> str:
    """Escape raw control characters, which only occur inside strings here.

    llama-cpp-python's JSON-schema grammar lets a string hold any character
    but a quote or a backslash, so a model may write a raw line break or tab
    inside a string, which ``json.loads`` rejects. The grammar allows no
    white space but single spaces between tokens, so every control character
    of a constrained answer lies inside a string, where its escape means the
    same.
    """
    return _CONTROL_CHARACTER.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


def compiled_features(system_info: str) -> list[str]:
    """The CPU features a llama.cpp build uses, from its system information."""
    return re.findall(r"([A-Z][A-Z0-9_]*) = 1", system_info)


def missing_cpu_features(system_info: str, cpuinfo: str | None = None) -> list[str]:
    """The instruction-set features the build uses and this CPU lacks.

    Reads /proc/cpuinfo when ``cpuinfo`` is None; where that cannot be read
    (not Linux), nothing is reported missing.
    """
    if cpuinfo is None:
        try:
            cpuinfo = Path("/proc/cpuinfo").read_text(encoding="ascii", errors="replace")
        except OSError:
            return []
    flags_line = next((line for line in cpuinfo.splitlines() if line.startswith("flags")), None)
    if flags_line is None:
        return []
    flags = set(flags_line.partition(":")[2].split())
    return [
        name
        for name in compiled_features(system_info)
        if name in _CPU_FEATURES and _CPU_FEATURES[name] not in flags
    ]


def describe_build(system_info: str) -> str:
    """A one-line name of the instruction-set variant a llama.cpp build uses."""
    features = compiled_features(system_info)
    present = set(features)
    if any(name.startswith("AMX") for name in present):
        level = "x86-64 with AMX"
    elif any(name.startswith("AVX512") for name in present):
        level = "x86-64-v4 (AVX-512)"
    elif {"AVX2", "FMA", "F16C", "BMI2"} <= present:
        level = "x86-64-v3"
    elif "AVX" in present:
        level = "x86-64 with AVX"
    elif "NEON" in present or "ARM_FMA" in present:
        level = "arm64"
    else:
        level = "baseline"
    isa = [name for name in features if name in _CPU_FEATURES or name.startswith(("AVX", "AMX", "NEON"))]
    return f"{level}: {' '.join(isa) if isa else 'no SIMD extensions'}"


class GenerationCancelled(Exception):
    """The caller no longer wants the answer."""


class ModelRunner:
    """One GGUF model and the generation of one answer at a time."""

    def __init__(self, model_path: str, *, n_ctx: int, n_threads: int | None, seed: int,
                 repeat_penalty: float) -> None:
        self.model_path = model_path
        self.n_ctx = n_ctx
        self.n_threads = n_threads
        self.seed = seed
        self.repeat_penalty = repeat_penalty
        self.llama: Llama | None = None
        self.system_info = ""

    def load(self) -> None:
        if self.llama is not None:
            return
        import llama_cpp

        self.system_info = llama_cpp.llama_print_system_info().decode("utf-8", "replace").strip()
        missing = missing_cpu_features(self.system_info)
        if missing:
            # Loading would end in SIGILL at the first matrix product.
            raise RuntimeError(
                f"{CPU_LACKS} {', '.join(missing)}, which the installed llama.cpp build "
                f"({describe_build(self.system_info)}) needs; rebuild llama-cpp-python for this CPU"
            )
        self.llama = llama_cpp.Llama(
            model_path=self.model_path,
            n_ctx=self.n_ctx,
            n_threads=self.n_threads,
            seed=self.seed,
            verbose=False,
        )

    def generate(
        self,
        messages: Sequence[Mapping[str, Any]],
        temperature: float,
        max_tokens: int,
        json_schema: Mapping[str, Any] | None,
        progress: Callable[[int], None],
        cancelled: Callable[[], bool],
    ) -> tuple[str | None, str | None]:
        """The answer and its finish reason.

        Raises ``GenerationCancelled`` when ``cancelled()`` turns true (it is
        asked after every token), ``RuntimeError`` when the answer was cut by
        ``max_tokens``, and whatever llama.cpp raises, for instance
        ``ValueError`` for a prompt longer than the context window.
        """
        self.load()
        assert self.llama is not None
        options: dict[str, Any] = {
            "messages": list(messages),
            "temperature": temperature,
            "max_tokens": max_tokens,
            "seed": self.seed,
            "repeat_penalty": self.repeat_penalty,
            "stream": True,
        }
        if json_schema is not None:
            options["response_format"] = {"type": "json_object", "schema": dict(json_schema)}
        pieces: list[str] = []
        tokens = 0
        finish_reason: str | None = None
        chunks: Any = self.llama.create_chat_completion(**options)
        try:
            for chunk in chunks:
                choice = chunk["choices"][0]
                text = choice["delta"].get("content")
                if text:
                    pieces.append(text)
                    tokens += 1
                    progress(tokens)
                finish_reason = choice.get("finish_reason") or finish_reason
                if cancelled():
                    raise GenerationCancelled
        finally:
            close = getattr(chunks, "close", None)
            if close is not None:
                close()
        if finish_reason == "length":
            raise RuntimeError(
                f"the local model ran out of tokens (max_tokens {max_tokens}, "
                f"context window {self.n_ctx}) before it finished its answer"
            )
        content = "".join(pieces)
        if json_schema is not None:
            content = escape_control_characters(content)
        return content or None, finish_reason

    def close(self) -> None:
        if self.llama is not None:
            self.llama.close()
            self.llama = None


# ---------------------------------------------------------------- worker process


class _Worker:
    def __init__(self, runner: ModelRunner, events: IO[bytes]) -> None:
        self._runner = runner
        self._events = events
        self._requests: queue.Queue[dict[str, Any] | None] = queue.Queue()
        self._cancelled: set[int] = set()
        self._cancel_lock = threading.Lock()
        self._ended = threading.Event()

    def emit(self, event: dict[str, Any]) -> None:
        self._events.write(json.dumps(event).encode("ascii") + b"\n")
        self._events.flush()

    def read_requests(self, source: IO[bytes]) -> None:
        """Reader thread: cancels take effect at once, the rest queue up."""
        for line in source:
            try:
                request = json.loads(line)
            except ValueError:
                continue
            if request.get("op") == "cancel":
                with self._cancel_lock:
                    self._cancelled.add(request.get("id"))
            else:
                self._requests.put(request)
        self._ended.set()
        self._requests.put(None)

    def is_cancelled(self, request_id: object) -> bool:
        if self._ended.is_set():
            return True
        with self._cancel_lock:
            return request_id in self._cancelled

    def serve(self) -> int:
        """Serves requests until the input ends; the exit code."""
        while (request := self._requests.get()) is not None:
            if request.get("op") == "load":
                if not self._load():
                    return 3
            elif request.get("op") == "generate":
                self._generate(request)
        return 0

    def _load(self) -> bool:
        started = time.monotonic()
        try:
            self._runner.load()
        except Exception as error:
            self.emit({"event": "fatal", "type": type(error).__name__, "message": str(error)})
            return False
        self.emit({
            "event": "ready",
            "system_info": self._runner.system_info,
            "load_seconds": round(time.monotonic() - started, 3),
        })
        return True

    def _generate(self, request: dict[str, Any]) -> None:
        request_id = request.get("id")
        try:
            if self.is_cancelled(request_id):
                raise GenerationCancelled
            content, finish_reason = self._runner.generate(
                request["messages"],
                request["temperature"],
                request["max_tokens"],
                request.get("json_schema"),
                lambda tokens: self.emit({"event": "progress", "id": request_id, "tokens": tokens}),
                lambda: self.is_cancelled(request_id),
            )
        except GenerationCancelled:
            self.emit({"event": "done", "id": request_id, "content": None, "finish_reason": "cancelled"})
        except Exception as error:
            self.emit({"event": "error", "id": request_id, "type": type(error).__name__,
                       "message": str(error)})
        else:
            self.emit({"event": "done", "id": request_id, "content": content,
                       "finish_reason": finish_reason})
        finally:
            # Ids only grow: a cancel that came after its answer is stale.
            with self._cancel_lock:
                self._cancelled = {i for i in self._cancelled if isinstance(i, int) and
                                   isinstance(request_id, int) and i > request_id}


def main(argv: Sequence[str] | None = None) -> int:
    config = json.loads((argv if argv is not None else sys.argv[1:])[0])
    # The event stream keeps the original standard output; everything else
    # written there (by Python or by the native library) goes to stderr.
    events = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    # A native crash prints the Python stack to stderr, then ends the
    # process by the same signal, which the client reports.
    faulthandler.enable()
    runner = ModelRunner(
        config["model_path"],
        n_ctx=config["n_ctx"],
        n_threads=config["n_threads"],
        seed=config["seed"],
        repeat_penalty=config["repeat_penalty"],
    )
    worker = _Worker(runner, events)
    threading.Thread(target=worker.read_requests, args=(sys.stdin.buffer,), daemon=True).start()
    code = 0
    try:
        code = worker.serve()
    except BrokenPipeError:
        pass  # the client is gone
    # Skip interpreter teardown: llama.cpp's threads and the reader thread
    # need no clean-up, and the client may be waiting for the exit.
    try:
        events.flush()
    except OSError:
        pass
    os._exit(code)


if __name__ == "__main__":
    sys.exit(main())
