"""Shared helpers of the client and command-line tests.

``StubEndpoint`` is a small chat-completions server on 127.0.0.1 for the
answers a real model server will not give on demand: HTTP errors, slow
answers, malformed bodies. ``llama_server`` starts llama.cpp's real
OpenAI-compatible server with the bundled model.
"""

from __future__ import annotations

import importlib.util
import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import pytest

from korbix_summarizer.local import bundled_model_path, local_stack_problem

LOCAL_STACK_PROBLEM = local_stack_problem()
needs_local_model = pytest.mark.skipif(
    LOCAL_STACK_PROBLEM is not None,
    reason=f"local model stack not installed: {LOCAL_STACK_PROBLEM}",
)
SERVER_PROBLEM = LOCAL_STACK_PROBLEM or next(
    (
        f"llama-cpp-python's server extra is not installed (no {name}; "
        "pip install 'korbix-summarizer[server]')"
        for name in ("fastapi", "uvicorn", "sse_starlette", "pydantic_settings", "starlette_context")
        if importlib.util.find_spec(name) is None
    ),
    None,
)
needs_llama_server = pytest.mark.skipif(
    SERVER_PROBLEM is not None,
    reason=f"local model server stack not installed: {SERVER_PROBLEM}",
)

# The answer of a model that did its job, shaped as the summarizer asks.
GOOD_SUMMARY = {
    "goals": ["Fix the nightly export job"],
    "progress": ["Found the upload timeout in the job log"],
    "current_state": "Waiting for staging access",
    "key_decisions": ["Keep 250000-row batches; upload in multipart chunks"],
    "key_facts": ["Config: jobs/export_orders/config.yaml"],
    "blockers": ["No s3:PutObject on the staging bucket"],
    "next_steps": ["Open the pull request"],
    "summary": "The export job failed on uploads; a multipart fix is ready.",
}


def chat_completion(content: Any, finish_reason: str = "stop", **message: Any) -> dict[str, Any]:
    """A chat-completions response body with one choice."""
    return {
        "id": "chatcmpl-stub",
        "object": "chat.completion",
        "created": 1_700_000_000,
        "model": "stub-model",
        "choices": [
            {
                "index": 0,
                "finish_reason": finish_reason,
                "message": {"role": "assistant", "content": content, **message},
            }
        ],
    }


@dataclass
class Reply:
    status: int = 200
    body: bytes | dict[str, Any] | list[Any] = field(default_factory=lambda: chat_completion("ok"))
    content_type: str = "application/json"
    delay: float = 0.0


@dataclass
class Seen:
    path: str
    headers: dict[str, str]
    body: dict[str, Any]


class StubEndpoint:
    """Answers every POST with ``reply`` (a Reply, or a function of the request)."""

    def __init__(self) -> None:
        self.reply: Reply | Callable[[Seen], Reply] = Reply()
        self.requests: list[Seen] = []
        endpoint = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length)
                headers = {name.lower(): value for name, value in self.headers.items()}
                seen = Seen(self.path, headers, json.loads(raw or b"{}"))
                endpoint.requests.append(seen)
                reply = endpoint.reply(seen) if callable(endpoint.reply) else endpoint.reply
                if reply.delay:
                    time.sleep(reply.delay)
                body = reply.body if isinstance(reply.body, bytes) else json.dumps(reply.body).encode()
                try:
                    self.send_response(reply.status)
                    self.send_header("Content-Type", reply.content_type)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client gave up waiting (timeout tests)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_port}/v1"

    def __enter__(self) -> StubEndpoint:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def closed_port_url() -> str:
    """A loopback URL on which nothing listens."""
    return f"http://127.0.0.1:{free_port()}/v1"


@contextmanager
def llama_server(log_dir: Path, n_ctx: int = 4096) -> Iterator[str]:
    """llama.cpp's OpenAI-compatible server with the bundled model; yields its URL."""
    port = free_port()
    log_path = log_dir / "llama-server.log"
    with open(log_path, "wb") as log:
        process = subprocess.Popen(
            [
                sys.executable, "-m", "llama_cpp.server",
                "--model", str(bundled_model_path()),
                "--host", "127.0.0.1", "--port", str(port),
                "--n_ctx", str(n_ctx),
            ],
            stdout=log, stderr=subprocess.STDOUT,
            env={**os.environ, "PYTHONUNBUFFERED": "1"},
        )
    url = f"http://127.0.0.1:{port}/v1"
    try:
        deadline = time.monotonic() + 120
        while True:
            if process.poll() is not None:
                raise RuntimeError(f"llama server exited: {log_path.read_text()[-2000:]}")
            try:
                with urllib.request.urlopen(f"{url}/models", timeout=2):
                    break
            except (urllib.error.URLError, ConnectionError, TimeoutError):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"llama server did not start: {log_path.read_text()[-2000:]}")
                time.sleep(0.25)
        yield url
    finally:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=15)

