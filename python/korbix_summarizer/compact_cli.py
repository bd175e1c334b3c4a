"""``korbix-summarize compact``: compact a conversation for an agent's context window.

Reads a conversation as ``korbix-summarize`` does, compacts it with
``Compactor`` when it exceeds the trigger share of ``--context-window`` (or
always, with ``--force``), and prints the new conversation as a JSON list on
standard output. Standard error carries a line per summarizer request, the
report (how many of the span's identifiers the summary named and how many
were added to it, credentials redacted with ``--redact``, tokens before and
after, messages summarized, requests, seconds) and errors, one line each.
The exit codes are those of ``korbix-summarize`` (``cli.exit_codes_text``;
success also when nothing needed compacting), listed in ``--help``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import re
import time
from collections.abc import Callable
from typing import Any, TextIO

from . import cli
from .cli import EXIT_FAILED, EXIT_OK, PROG, InputError
from .local import LocalModelClient

__all__ = ["build_parser", "run"]

COMMAND = f"{PROG} compact"

# Options of the summarize command that mean nothing here.
_NOT_APPLICABLE = ("json", "previous_summary", "previous_summary_file", "fallback", "model_info")


def _number(within: Callable[[float], bool], requirement: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not within(value):
            raise argparse.ArgumentTypeError(f"must be {requirement}, not {text}")
        return value

    return parse


_share = _number(lambda value: 0 < value <= 1, "a share of the window in (0, 1]")
_fidelity = _number(lambda value: 0 <= value <= 1, "a share in [0, 1]")


def _count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    return parse


def build_parser() -> argparse.ArgumentParser:
    """The summarize command's input and backend options plus the compaction ones."""
    base = cli.build_parser()
    parser = cli._OneLineParser(
        prog=COMMAND,
        parents=[base],
        add_help=False,
        conflict_handler="resolve",
        description=(
            "Compact a chat conversation for an agent's context window: summarize the "
            "older messages into one system message after the leading system messages, "
            "keep the newest ones verbatim, and print the new conversation as JSON."
        ),
        epilog=(
            "Tool calls are never separated from their results, and a conversation "
            "longer than the summarizer's window is summarized in several requests. "
            "Paths, URLs, versions and error names that the summary lost are added to "
            "its key facts; goals and decisions of an earlier summary are kept. "
            + cli.exit_codes_text(" (also when nothing needed compacting)", "a summarizer request failed")
        ),
    )
    for action in parser._actions:
        if action.dest in _NOT_APPLICABLE:
            action.help = argparse.SUPPRESS
    parser.add_argument(
        "--example", action="store_true",
        help="compact the bundled example agent conversation instead of a file",
    )
    window = parser.add_argument_group("compaction")
    window.add_argument(
        "--context-window", type=_count(1), required=True, metavar="N",
        help="tokens the agent's model accepts",
    )
    window.add_argument(
        "--trigger", type=_share, default=0.75, metavar="F",
        help="compact when the conversation exceeds this share of the window (default 0.75)",
    )
    window.add_argument(
        "--target", type=_share, default=0.5, metavar="F",
        help="after compacting, fit in this share of the window (default 0.5)",
    )
    window.add_argument(
        "--keep-recent", type=_count(0), default=6, metavar="K",
        help="keep at least this many of the newest messages verbatim (default 6)",
    )
    window.add_argument(
        "--summarizer-window", type=_count(1), metavar="N",
        help="tokens the summarizing model accepts (default: --context-window, and at "
        "most the local model's context)",
    )
    window.add_argument(
        "--force", action="store_true", help="compact even below the trigger",
    )
    checks = parser.add_argument_group("checks of the summary")
    checks.add_argument(
        "--redact", action="store_true",
        help="replace API keys, tokens, passwords and private keys by markers such as "
        "\"[redacted: api key]\" before anything reaches the summarizer",
    )
    checks.add_argument(
        "--min-fidelity", type=_fidelity, metavar="F",
        help="ask the summarizer once more when its summary names less than this share "
        "of the conversation's paths, URLs, versions and error names",
    )
    checks.add_argument(
        "--max-repairs", type=_count(0), default=12, metavar="K",
        help="add at most this many identifiers the summary lost to its key facts (default 12)",
    )
    return parser


def _progress_line(stderr: TextIO, total: int) -> Any:
    def show(chunk: Any) -> None:
        print(
            f"{PROG}: request {chunk.request}: summarizing messages {chunk.first + 1}-"
            f"{chunk.last + 1} of {total} ({chunk.tokens:,} tokens with the answer)",
            file=stderr,
            flush=True,
        )

    return show


# The Compactor's parameters that options of the same name set.
_OPTION_PARAMETERS = re.compile(r"\b(summarizer_window|context_window|keep_recent|min_fidelity|max_repairs)\b")


def _in_option_terms(message: str) -> str:
    """A refusal of the Compactor's, naming the options rather than its parameters."""
    return _OPTION_PARAMETERS.sub(lambda match: "--" + match.group(1).replace("_", "-"), message)


def _summarizer_window(args: argparse.Namespace, client: Any) -> int | None:
    """--summarizer-window, within what the local model reads at most."""
    wanted: int | None = args.summarizer_window
    model_window = client.n_ctx if isinstance(client, LocalModelClient) else None
    if model_window is None:
        return wanted
    if wanted is None:
        return min(int(args.context_window), model_window)
    if wanted > model_window:
        raise InputError(
            f"--summarizer-window {wanted} exceeds the local model's context of "
            f"{model_window} tokens"
        )
    return wanted


async def _compact(
    args: argparse.Namespace, messages: list[dict[str, Any]], stderr: TextIO
) -> tuple[Any, Any]:
    try:
        from .compaction import CompactionError, Compactor
    except ImportError as error:
        raise cli._SummarizationFailed(f"cannot import korbix.core.summarizer: {error}") from None

    client: Any = None
    model: LocalModelClient | None = None
    label = "no LLM"
    if args.backend != "none":
        client, label = cli._make_client(args, cli._Observed())
        model = cli.embedded_model(client)
        if model is not None:
            cli._leave_at_once_on_interrupt(stderr, model)
    try:
        try:
            compactor = Compactor(
                client,
                context_window=args.context_window,
                trigger=args.trigger,
                target=args.target,
                keep_recent=args.keep_recent,
                summarizer_window=_summarizer_window(args, client),
                # The openai backend bounds its requests with --timeout; the
                # local model runs until it is done or interrupted.
                timeout=None,
                redact=args.redact,
                min_fidelity=args.min_fidelity,
                max_repairs=args.max_repairs,
            )
        except ValueError as error:
            raise InputError(_in_option_terms(str(error))) from None
        if model is not None and (args.force or compactor.needs_compaction(messages)):
            await cli._start_local_model(model, label, stderr, quiet=args.quiet)
        progress = None if args.quiet else _progress_line(stderr, len(messages))
        try:
            result = await compactor.compact(messages, force=args.force, progress=progress)
        except CompactionError as error:
            raise cli._SummarizationFailed(f"compaction with {label} failed: {error}") from None
        except (TypeError, ValueError) as error:
            raise InputError(str(error)) from None
    finally:
        await cli._close(client)
    return compactor, result


def _report(stderr: TextIO, compactor: Any, result: Any, total: int, seconds: float) -> None:
    if result.record is None:
        reason = (
            "no safe cut leaves anything to summarize"
            if compactor.needs_compaction(result.messages)
            else f"below the trigger ({compactor.trigger:g} of {compactor.context_window:,})"
        )
        print(
            f"{PROG}: {result.tokens_before:,} tokens ({compactor.tokenizer}), {reason}; "
            "nothing compacted",
            file=stderr,
        )
        return
    if result.truncated:
        numbers = ", ".join(str(index + 1) for index in result.truncated)
        print(
            f"{PROG}: note: message {numbers} alone exceeded the summarizer's window and "
            "was cut for its request",
            file=stderr,
        )
    if result.identifiers:
        retried = ", after one retry" if result.retried else ""
        print(
            f"{PROG}: the summary named {result.fidelity:.0%} of the {result.identifiers} "
            f"identifiers of the summarized messages{retried}; {len(result.repaired)} added to "
            f"its key facts, {result.fidelity_repaired:.0%} now",
            file=stderr,
        )
    if compactor.redact:
        print(f"{PROG}: {result.redacted} credential{'s' if result.redacted != 1 else ''} "
              "redacted before summarizing", file=stderr)
    print(
        f"{PROG}: summarized {result.compacted} of {total} messages in {result.requests} "
        f"request{'s' if result.requests != 1 else ''}: {result.tokens_before:,} -> "
        f"{result.tokens_after:,} tokens ({compactor.tokenizer}) in {seconds:.1f} s",
        file=stderr,
    )


def _check_options(args: argparse.Namespace) -> None:
    for dest in _NOT_APPLICABLE:
        if getattr(args, dest, None) not in (None, False):
            raise InputError(f"--{dest.replace('_', '-')} does not apply to compact")
    cli._check_source(args)
    if args.target > args.trigger:
        raise InputError(f"--target ({args.target:g}) must not exceed --trigger ({args.trigger:g})")


def run(
    args: argparse.Namespace,
    stdin: TextIO,
    stdout: TextIO,
    stderr: TextIO,
    handlers: list[logging.Handler],
) -> int:
    """Compact the conversation that ``args`` name; the exit code.

    Called by ``korbix-summarize`` after it has parsed the options with
    ``build_parser`` and routed the summarizer's log records (``handlers``).
    """
    _check_options(args)
    messages = cli._read_conversation(args, stdin)
    cli._tell_no_llm(
        args, stderr, "the first user request, the message count and the identifiers named in the messages"
    )
    started = time.monotonic()
    compactor, result = asyncio.run(_compact(args, messages, stderr))
    seconds = time.monotonic() - started
    try:
        stdout.write(json.dumps(result.messages, indent=2, ensure_ascii=False) + "\n")
        stdout.flush()
    except BrokenPipeError:
        cli._silence_stdout()
        return EXIT_FAILED
    if not args.quiet:
        _report(stderr, compactor, result, len(messages), seconds)
    return EXIT_OK
