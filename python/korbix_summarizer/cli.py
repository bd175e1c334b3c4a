"""``korbix-summarize``: summarize a conversation from the command line.

Reads a conversation (a JSON file holding a list of chat messages, a JSONL
file with one message per line, or ``-`` for standard input), condenses it
with ``korbix.core.summarizer`` and the client of the chosen ``--backend``
(by default the extractive one, no model), and prints the context block for
a system prompt, or the Summary record as JSON with ``--json``.

Standard output carries only the result. Progress, the compression report,
the summarizer's log records and errors go to standard error. Exit codes:
0 success, 1 the summarization failed (the LLM could not be reached or
answered with an error), 2 bad input or options, 130 interrupted.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib.resources
import itertools
import json
import logging
import os
import signal
import sys
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NoReturn, TextIO

from .clients import (
    LOGGER_NAME,
    UNPARSABLE_ANSWER,
    OpenAICompatibleClient,
    WatchedClient,
    describe_error,
    limits_problem,
)
from .grounded import GroundedClient
from .local import LocalModelClient, LocalModelError, LocalStackMissing
from .rendered import reading_from
from .schema import tool_call_fields

__all__ = ["main", "load_conversation", "conversation_chars", "InputError"]

PROG = "korbix-summarize"
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def exit_codes_text(success: str = "", failed: str = "the summarization failed") -> str:
    """The help's sentence on exit codes; ``success`` qualifies the success
    code (after "success"), ``failed`` says what a failure is."""
    return (
        f"Exit codes: {EXIT_OK} success{success}, {EXIT_FAILED} {failed}, "
        f"{EXIT_USAGE} bad input or options, {EXIT_INTERRUPTED} interrupted."
    )


EXAMPLE_RESOURCE = ("examples", "agent_session.json")
BACKENDS = ("extractive", "mixed", "model", "local", "openai", "none")


class InputError(Exception):
    """Bad input or options; reported as one line, exit code 2."""


class _OneLineParser(argparse.ArgumentParser):
    """Reports usage errors in one line instead of usage text plus error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _OneLineParser(
        prog=PROG,
        description=(
            "Condense a chat conversation into a structured summary and print it "
            "as the Markdown context block for a system prompt."
        ),
        epilog=(
            "The openai backend reads its API key from OPENAI_API_KEY, and takes "
            "OPENAI_BASE_URL and OPENAI_MODEL as defaults for --base-url and --model. "
            f"{exit_codes_text()} To compact a conversation for an agent's context window "
            "instead, see: korbix-summarize compact --help"
        ),
    )
    parser.add_argument(
        "conversation",
        nargs="?",
        help="JSON file with a list of chat messages, a JSONL file with one message "
        "per line, or - for standard input",
    )
    parser.add_argument(
        "--example",
        action="store_true",
        help="summarize the bundled example agent conversation instead of a file",
    )
    earlier = parser.add_mutually_exclusive_group()
    earlier.add_argument(
        "--previous-summary", metavar="TEXT", help="earlier summary text to build on"
    )
    earlier.add_argument(
        "--previous-summary-file", metavar="PATH", help="file holding the earlier summary text"
    )
    parser.add_argument(
        "--json", action="store_true", help="print the Summary record as JSON instead"
    )
    parser.add_argument(
        "--backend",
        choices=BACKENDS,
        default="extractive",
        help="extractive (default): no model; every item is copied from the conversation "
        "(requests, tool actions, errors, paths, decisions, the latest plan) and the earlier "
        "summary is carried forward; "
        "mixed: the same extractive summary, with the embedded model only choosing the section "
        "of sentences the rules find ambiguous; "
        "model (or local): the embedded model writes the summary freely (the bundled 135M model "
        "may invent content); "
        "openai: an OpenAI-compatible endpoint writes the summary; "
        "none: no summary beyond the first user request and the message count",
    )
    parser.add_argument(
        "--fallback",
        action="store_true",
        help="when the LLM fails, still print the summary built from the messages alone "
        "(the exit code stays 1)",
    )
    parser.add_argument(
        "--model-info",
        action="store_true",
        help="name the embedded model's llama.cpp build (its instruction-set variant) on "
        "stderr, also when the backend does not use the model",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress or report")

    remote = parser.add_argument_group("openai backend")
    remote.add_argument("--base-url", help="endpoint URL, e.g. http://127.0.0.1:8000/v1")
    remote.add_argument("--model", help="model name sent to the endpoint")
    remote.add_argument(
        "--timeout", type=float, default=120.0, help="seconds per request (default 120)"
    )
    remote.add_argument(
        "--max-retries", type=int, default=2, help="retries of failed requests (default 2)"
    )
    remote.add_argument(
        "--max-completion-tokens",
        action="store_true",
        help="send the answer length as max_completion_tokens (reasoning models) "
        "instead of max_tokens",
    )

    local = parser.add_argument_group("model and mixed backends")
    local.add_argument("--model-path", help="GGUF model file (default: the bundled SmolLM2)")
    local.add_argument("--threads", type=int, help="CPU threads for generation")
    return parser


# ---------------------------------------------------------------- input


def load_conversation(text: str, source: str) -> list[dict[str, Any]]:
    """Parse a conversation given as JSON or JSONL and check its messages.

    JSON may be a list of messages, an object with a "messages" list, or one
    message object; JSONL holds one message object per non-blank line.
    """
    if not text.strip():
        raise InputError(f"{source}: the conversation is empty")
    try:
        document = json.loads(text)
    except json.JSONDecodeError as whole_error:
        document = _parse_jsonl(text, source, whole_error)
    if isinstance(document, dict) and isinstance(document.get("messages"), list):
        document = document["messages"]
    elif isinstance(document, dict) and "role" in document:
        document = [document]
    if not isinstance(document, list):
        raise InputError(
            f"{source}: expected a list of chat messages, got a JSON {_json_kind(document)}"
        )
    for number, message in enumerate(document, 1):
        problem = _message_problem(message)
        if problem:
            raise InputError(f"{source}: message {number} {problem}")
    return document


def _parse_jsonl(text: str, source: str, whole_error: json.JSONDecodeError) -> list[Any]:
    lines = [(number, line) for number, line in enumerate(text.splitlines(), 1) if line.strip()]
    messages = []
    for number, line in lines:
        try:
            messages.append(json.loads(line))
        except json.JSONDecodeError as error:
            if len(lines) == 1 or number == lines[0][0]:
                # Not JSONL either: the error of the whole document says more.
                raise InputError(f"{source}: not JSON: {whole_error}") from None
            raise InputError(f"{source}: line {number} is not JSON: {error}") from None
    return messages


def _json_kind(value: object) -> str:
    if isinstance(value, dict):
        return "object"
    if isinstance(value, list):
        return "array"
    if isinstance(value, str):
        return "string"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    return "number"


def _message_problem(message: object) -> str | None:
    """What keeps ``message`` from being a chat message, or None."""
    if not isinstance(message, dict):
        return f"is a JSON {_json_kind(message)}, not a message object"
    role = message.get("role")
    if not isinstance(role, str):
        return 'has no "role" text'
    content = message.get("content")
    if content is not None and not isinstance(content, (str, list)):
        return f'has a "content" that is a JSON {_json_kind(content)}, not text or parts'
    tool_calls = message.get("tool_calls")
    if tool_calls is not None and not isinstance(tool_calls, list):
        return f'has "tool_calls" that is a JSON {_json_kind(tool_calls)}, not an array'
    # The transcript reads the name and arguments of a nested "function"
    # through its keys, so a present "function" must be an object.
    for call in tool_calls or ():
        if isinstance(call, dict) and "function" in call and not isinstance(call["function"], dict):
            return (
                f'has a tool call whose "function" is a JSON {_json_kind(call["function"])}, '
                "not an object"
            )
    return None


def conversation_chars(messages: Sequence[Mapping[str, Any]]) -> int:
    """Characters of message text and tool calls (names and arguments)."""
    total = 0
    for message in messages:
        total += _content_chars(message.get("content"))
        for call in message.get("tool_calls") or ():
            if not isinstance(call, Mapping):
                continue
            name, arguments = tool_call_fields(call)
            total += len(name) if isinstance(name, str) else 0
            total += _content_chars(arguments)
    return total


def _content_chars(content: object) -> int:
    if content is None:
        return 0
    if isinstance(content, str):
        return len(content)
    if isinstance(content, list):
        parts = [part for part in content if isinstance(part, Mapping)]
        if len(parts) == len(content) and all(isinstance(p.get("text"), str) for p in parts):
            return sum(len(part["text"]) for part in parts)
    return len(json.dumps(content, ensure_ascii=False, separators=(",", ":"), default=str))


def _tell_no_llm(args: argparse.Namespace, stderr: TextIO, kept: str) -> None:
    """Unless --quiet, say that backend none used no model, and what its
    summary keeps (``kept``)."""
    if args.backend == "none" and not args.quiet:
        print(f"{PROG}: backend none: no LLM was used; the summary keeps only {kept}", file=stderr)


def _read_text(path: str, what: str, stdin: TextIO) -> str:
    if path == "-":
        return _read_stdin(stdin)
    try:
        return Path(path).read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise InputError(f"{path}: no such {what} file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory, not a {what} file") from None
    except UnicodeDecodeError as error:
        raise InputError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None


def _read_stdin(stdin: TextIO) -> str:
    """Standard input, decoded as a file is: UTF-8 with an optional BOM.

    The bytes are read directly when the stream has them, so that the locale's
    encoding and error handler do not decide what is accepted.
    """
    binary = getattr(stdin, "buffer", None)
    try:
        text = binary.read().decode("utf-8") if binary is not None else stdin.read()
    except UnicodeDecodeError as error:
        raise InputError(
            f"<stdin>: not UTF-8 text ({error.reason} at byte {error.start})"
        ) from None
    return text.removeprefix("\ufeff")


def _example_text() -> str:
    resource = importlib.resources.files("korbix_summarizer").joinpath(*EXAMPLE_RESOURCE)
    return resource.read_text(encoding="utf-8")


def _check_source(args: argparse.Namespace) -> None:
    if args.example == (args.conversation is not None):
        raise InputError("give a conversation file (or -), or --example, but not both")


def _read_conversation(args: argparse.Namespace, stdin: TextIO) -> list[dict[str, Any]]:
    """The conversation that the arguments name: a file, - or --example."""
    if args.example:
        source, text = "example", _example_text()
    else:
        source, text = args.conversation, _read_text(args.conversation, "conversation", stdin)
    return load_conversation(text, "<stdin>" if source == "-" else source)


# ---------------------------------------------------------------- clients


@dataclass
class _Observed:
    """What the CLI learned about the one LLM call of a run."""

    counts_tokens: bool = False
    tokens: int = 0
    started: float = field(default_factory=time.monotonic)
    empty_answer: bool = False


def _local_model(args: argparse.Namespace, what: str) -> LocalModelClient:
    """The embedded model of --model-path and --threads; a missing model stack is bad input for ``what``."""
    if args.threads is not None and args.threads <= 0:
        raise InputError("--threads must be positive")
    try:
        return LocalModelClient(args.model_path, n_threads=args.threads)
    except LocalStackMissing as error:
        raise InputError(f"{what}: {error}") from None


def _make_client(
    args: argparse.Namespace, observed: _Observed
) -> tuple[OpenAICompatibleClient | LocalModelClient | GroundedClient, str]:
    """The backend's client and a short description of it for messages."""
    if args.backend == "extractive":
        return GroundedClient(), "the extractive summarizer (no model)"
    if args.backend == "openai":
        try:
            from openai import OpenAIError
        except ImportError:
            raise InputError(
                "the openai backend needs the openai package (pip install 'korbix-summarizer[openai]')"
            ) from None

        problem = limits_problem(args.timeout, args.max_retries)
        if problem is not None:
            name, rule, _ = problem
            raise InputError(f"--{name.replace('_', '-')} {rule}")
        try:
            client = OpenAICompatibleClient(
                model=args.model,
                base_url=args.base_url,
                timeout=args.timeout,
                max_retries=args.max_retries,
                token_limit_param=(
                    "max_completion_tokens" if args.max_completion_tokens else "max_tokens"
                ),
            )
        except (ValueError, OpenAIError) as error:
            raise InputError(f"openai backend: {error}") from None
        return client, f"{client.model} at {client.display_url}"

    local = _local_model(args, f"{args.backend} backend")
    if args.backend == "mixed":
        return GroundedClient(local), f"the extractive summarizer, labels by {local.model_path.name}"

    def count(tokens: int) -> None:
        observed.tokens = tokens

    local.progress = count
    observed.counts_tokens = True
    return local, f"local model {local.model_path.name}"


# ---------------------------------------------------------------- progress


class _Progress:
    """A one-line live status on a terminal; a start line otherwise."""

    FRAMES = "|/-\\"

    def __init__(self, stream: TextIO, observed: _Observed, label: str, enabled: bool) -> None:
        self._stream = stream
        self._observed = observed
        self._label = label
        self._enabled = enabled
        self._live = enabled and stream.isatty()
        self._task: asyncio.Task[None] | None = None

    def __enter__(self) -> _Progress:
        if self._live:
            self._task = asyncio.get_running_loop().create_task(self._tick())
        elif self._enabled:
            print(f"{PROG}: summarizing with {self._label} ...", file=self._stream, flush=True)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._task is not None:
            self._task.cancel()
            self._stream.write("\r\x1b[K")
            self._stream.flush()

    def status(self) -> str:
        elapsed = time.monotonic() - self._observed.started
        tokens = self._observed.tokens
        if tokens:
            stage = f", {tokens} tokens"
        elif self._observed.counts_tokens:
            stage = ", reading the conversation"
        else:
            stage = ""
        return f"summarizing with {self._label}: {elapsed:.1f} s{stage}"

    async def _tick(self) -> None:
        for frame in itertools.cycle(self.FRAMES):
            self._stream.write(f"\r\x1b[K{frame} {self.status()}")
            self._stream.flush()
            await asyncio.sleep(0.1)


# ---------------------------------------------------------------- running


class _ErrorRecords(logging.Handler):
    """Counts the summarizer's error records (failures it recovered from) and
    its warnings that an answer could not be parsed."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.count = 0
        self.unparsable = 0

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno >= logging.ERROR:
            self.count += 1
        elif record.getMessage() == UNPARSABLE_ANSWER:
            self.unparsable += 1


def _route_log_records(stderr: TextIO) -> tuple[logging.Logger, list[logging.Handler]]:
    logger = logging.getLogger(LOGGER_NAME)
    to_stderr = logging.StreamHandler(stderr)
    to_stderr.setFormatter(logging.Formatter("%(name)s: %(levelname)s: %(message)s"))
    errors = _ErrorRecords()
    logger.addHandler(to_stderr)
    logger.addHandler(errors)
    return logger, [to_stderr, errors]


async def _summarize(
    summarizer_module: Any,
    args: argparse.Namespace,
    messages: list[dict[str, Any]],
    previous: str | None,
    stderr: TextIO,
) -> tuple[dict[str, Any], str, _Observed | None]:
    if args.backend == "none":
        if args.model_info:
            await _show_model_info(args, stderr)
        return (*_message_only(summarizer_module, messages), None)

    observed = _Observed()
    client, label = _make_client(args, observed)
    model = embedded_model(client)
    if model is not None:
        _leave_at_once_on_interrupt(stderr, model)
    # The summarizer turns every client failure into a fallback summary and a
    # log line; the CLI must still tell its caller that the LLM failed.
    watched = WatchedClient(client)
    summarizer = summarizer_module.ConversationSummarizer(watched)
    try:
        observed.started = time.monotonic()
        if model is not None:
            await _start_local_model(model, label, stderr, quiet=args.quiet)
        elif args.model_info:
            await _show_model_info(args, stderr)
        with _Progress(stderr, observed, label, enabled=not args.quiet), reading_from(messages):
            record = await summarizer.summarize_messages(messages, previous)
    finally:
        await _close(client)
    if watched.error is not None:
        raise _SummarizationFailed(
            f"summarization with {label} failed: {describe_error(watched.error)}"
        )
    observed.empty_answer = watched.called and not watched.content
    return record, summarizer.format_summary_for_context(record), observed


class _SummarizationFailed(Exception):
    pass


async def _close(client: Any) -> None:
    """Release a backend's client: its connections, or its model's worker."""
    aclose = getattr(client, "aclose", None)
    if aclose is not None:
        await aclose()
    elif callable(getattr(client, "close", None)):
        client.close()


def embedded_model(client: object) -> LocalModelClient | None:
    """The embedded model a backend's client runs, if any (mixed: its labeler)."""
    if isinstance(client, LocalModelClient):
        return client
    labeler = getattr(client, "labeler", None)
    return labeler if isinstance(labeler, LocalModelClient) else None


async def _show_model_info(args: argparse.Namespace, stderr: TextIO) -> None:
    """--model-info with a backend that does not run the model: start it once
    to name its build, then stop it."""
    model = _local_model(args, "--model-info")
    try:
        await _start_local_model(model, f"local model {model.model_path.name}", stderr, quiet=False)
    finally:
        model.close()


async def _start_local_model(
    client: LocalModelClient, label: str, stderr: TextIO, *, quiet: bool
) -> None:
    """Start the model's worker and name the build it runs.

    A worker that crashes or fails while loading is an LLM failure like any
    other; an installed build this CPU cannot run is a problem of the setup.
    """
    try:
        await asyncio.to_thread(client.load)
    except LocalStackMissing as error:
        raise InputError(f"{label}: {error}") from None
    except LocalModelError as error:
        raise _SummarizationFailed(
            f"summarization with {label} failed: {describe_error(error)}"
        ) from None
    if not quiet:
        print(
            f"{PROG}: llama.cpp build {client.build_info}; model worker started in "
            f"{client.start_seconds or 0.0:.1f} s",
            file=stderr,
            flush=True,
        )


def _leave_at_once_on_interrupt(stderr: TextIO, client: LocalModelClient) -> None:
    """Make Ctrl-C end the process at once while the local model works.

    A cancelled generation stops at its next token, but reading a long
    conversation is one uninterruptible llama.cpp call. Nothing has been
    written yet and nothing needs cleaning up, so the process stops the
    model's worker and leaves without waiting for it.
    """

    def leave() -> None:
        print(f"{PROG}: interrupted", file=stderr, flush=True)
        pid = client.worker_pid
        if pid is not None:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        os._exit(EXIT_INTERRUPTED)

    try:
        asyncio.get_running_loop().add_signal_handler(signal.SIGINT, leave)
    except (NotImplementedError, RuntimeError, ValueError):
        pass  # not the main thread, or no signal support: Ctrl-C works as usual


def _report(
    stderr: TextIO,
    messages: list[dict[str, Any]],
    block: str,
    observed: _Observed | None,
) -> None:
    chars_in = conversation_chars(messages)
    chars_out = len(block)
    ratio = chars_in / chars_out if chars_out else 0.0
    timing = ""
    if observed is not None:
        elapsed = time.monotonic() - observed.started
        tokens = f", {observed.tokens} tokens generated" if observed.tokens else ""
        timing = f" in {elapsed:.1f} s{tokens}"
    print(
        f"{PROG}: compressed {len(messages)} messages ({chars_in:,} characters) into "
        f"{chars_out:,} characters of context (ratio {ratio:.1f}:1){timing}",
        file=stderr,
    )


def main(
    argv: Sequence[str] | None = None,
    *,
    stdin: TextIO | None = None,
    stdout: TextIO | None = None,
    stderr: TextIO | None = None,
) -> int:
    """Run the command line; returns the exit code."""
    stdin = stdin if stdin is not None else sys.stdin
    stdout = stdout if stdout is not None else sys.stdout
    stderr = stderr if stderr is not None else sys.stderr
    words = list(sys.argv[1:] if argv is None else argv)
    if words[:1] == ["compact"]:
        from . import compact_cli

        parser, argv, run = compact_cli.build_parser(), words[1:], compact_cli.run
    else:
        parser, run = build_parser(), _run
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_request:
        return exit_request.code if isinstance(exit_request.code, int) else EXIT_USAGE

    logger, handlers = _route_log_records(stderr)
    try:
        return run(args, stdin, stdout, stderr, handlers)
    except InputError as error:
        print(f"{PROG}: error: {error}", file=stderr)
        return EXIT_USAGE
    except _SummarizationFailed as error:
        print(f"{PROG}: error: {error}", file=stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=stderr)
        return EXIT_INTERRUPTED
    finally:
        for handler in handlers:
            logger.removeHandler(handler)


def _run(
    args: argparse.Namespace,
    stdin: TextIO,
    stdout: TextIO,
    stderr: TextIO,
    handlers: list[logging.Handler],
) -> int:
    _check_source(args)
    messages = _read_conversation(args, stdin)

    previous: str | None = args.previous_summary
    if args.previous_summary_file is not None:
        if args.previous_summary_file == "-":
            raise InputError("--previous-summary-file cannot be - (read it from a file)")
        previous = _read_text(args.previous_summary_file, "summary", stdin)

    try:
        from korbix.core import summarizer as summarizer_module
    except ImportError as error:
        raise _SummarizationFailed(f"cannot import korbix.core.summarizer: {error}") from None

    _tell_no_llm(args, stderr, "the first user request and the message count")
    errors = next(h for h in handlers if isinstance(h, _ErrorRecords))
    try:
        try:
            record, block, observed = asyncio.run(
                _summarize(summarizer_module, args, messages, previous, stderr)
            )
        except (InputError, _SummarizationFailed):
            raise
        except Exception as error:
            raise _SummarizationFailed(f"summarization failed: {describe_error(error)}") from None
        if errors.count:
            raise _SummarizationFailed("summarization failed (see the log record above)")
    except _SummarizationFailed:
        if args.fallback:
            _write_fallback(summarizer_module, args, messages, stdout, stderr)
        raise
    note = None
    if errors.unparsable:
        # The module put the raw answer where the narrative goes; like an
        # empty answer, it gets the summary of the messages alone instead.
        record, block = _message_only(summarizer_module, messages)
        note = "the model's answer was not a JSON summary"
    elif observed is not None and observed.empty_answer:
        note = "the model gave an empty answer"
    if note is not None and not args.quiet:
        print(f"{PROG}: note: {note}; this summary was built from the messages alone", file=stderr)

    if not _write_result(stdout, args, record, block):
        return EXIT_FAILED
    if not args.quiet:
        _report(stderr, messages, block, observed)
    return EXIT_OK


def _write_result(stdout: TextIO, args: argparse.Namespace, record: Any, block: str) -> bool:
    """Prints the record (--json) or its context block; False when the reader left."""
    if args.json:
        output = json.dumps(record, indent=2, ensure_ascii=False, default=str) + "\n"
    else:
        output = block if block.endswith("\n") else block + "\n"
    try:
        stdout.write(output)
        stdout.flush()
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop writing without a traceback.
        _silence_stdout()
        return False
    return True


def _message_only(summarizer_module: Any, messages: list[dict[str, Any]]) -> tuple[dict[str, Any], str]:
    """The module's record of the messages alone, and its context block."""
    record = summarizer_module._fallback_summary(messages)
    # Rendering does not touch the client.
    return record, summarizer_module.ConversationSummarizer(None).format_summary_for_context(record)


def _write_fallback(
    summarizer_module: Any,
    args: argparse.Namespace,
    messages: list[dict[str, Any]],
    stdout: TextIO,
    stderr: TextIO,
) -> None:
    """The summary built from the messages alone, for --fallback after a failure."""
    record, block = _message_only(summarizer_module, messages)
    if _write_result(stdout, args, record, block) and not args.quiet:
        print(f"{PROG}: note: printed the summary built from the messages alone (--fallback)",
              file=stderr)


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
