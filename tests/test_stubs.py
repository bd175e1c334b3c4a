"""The type stubs of korbix.core.summarizer, as mypy sees them once installed."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import korbix.core.summarizer as summarizer_module

# Subprocesses, servers and models: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak

STUB = Path(summarizer_module.__file__).with_name("summarizer.pyi")

GOOD = '''
import asyncio
import logging
from typing import Any

import korbix.core.summarizer as module
from korbix.core.summarizer import SUMMARIZE_PROMPT, ConversationSummarizer, logger
from korbix_summarizer import CompactionError, CompactionResult, Compactor


class Answer:
    content: str | None = None


class Client:
    async def complete(
        self, messages: list[dict[str, str]], temperature: float, max_tokens: int
    ) -> Answer:
        return Answer()


async def use() -> str:
    summarizer = ConversationSummarizer(Client())
    messages: list[dict[str, Any]] = [{"role": "user", "content": "hi"}]
    record: dict[str, Any] = await summarizer.summarize_messages(messages)
    record = await summarizer.summarize_messages(messages, "earlier")
    record = await summarizer.summarize_messages(messages, existing_summary=None)
    text: str = summarizer.format_summary_for_context(record)
    log: logging.Logger = logger
    log.debug("%d", len(SUMMARIZE_PROMPT))
    pieces = [
        module._format_messages_for_summary(messages),
        module._brief_args({"path": "/tmp"}),
        str(module._parse_summary("{}")),
        str(module._empty_summary()),
        str(module._fallback_summary(messages)),
        str(module.__test__),
    ]
    return text + "".join(pieces)


async def compacting(messages: list[dict[str, Any]]) -> list[dict[str, Any]]:
    compactor = Compactor(Client(), context_window=8_000, keep_recent=2, count_tokens=len)
    if not compactor.needs_compaction(messages):
        return messages
    try:
        result: CompactionResult = await compactor.compact(messages, force=True)
    except CompactionError as error:
        print(error.request, error.__cause__)
        return messages
    tokens: int = result.tokens_after - result.tokens_before + compactor.count(result.messages)
    print(compactor.tokenizer, tokens, result.record, result.compacted, result.requests)
    return result.messages


print(asyncio.run(use()), asyncio.run(compacting([])))
'''

# Each line marked "# E" must be reported by mypy; nothing else may be.
BAD = '''
from korbix.core.summarizer import ConversationSummarizer, _fallback_summary
from korbix_summarizer import Compactor


class Client:
    async def complete(
        self, messages: list[dict[str, str]], temperature: float, max_tokens: int
    ) -> str:
        return ""


class Answer:
    content: str | None = None


class Good:
    async def complete(
        self, messages: list[dict[str, str]], temperature: float, max_tokens: int
    ) -> Answer:
        return Answer()


async def misuse() -> None:
    ConversationSummarizer(Client())  # E
    summarizer = ConversationSummarizer(Good())
    await summarizer.summarize_messages(({"role": "user"},))  # E
    await summarizer.summarize_messages([], existing_summary=5)  # E
    await summarizer.summarize_messages([], "a", "b")  # E
    summarizer.format_summary_for_context("text")  # E
    count: int = summarizer.format_summary_for_context({})  # E
    _fallback_summary(None)  # E
    Compactor(Client())  # E
    Compactor(Good(), context_window="32k")  # E
'''


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    # Outside the repository, so that the installed stubs are what mypy reads.
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(source))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(example)],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300,
    )


def test_strict_mypy_accepts_every_public_name(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_rejects_wrong_argument_types(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, BAD)
    expected = {n for n, line in enumerate(BAD.splitlines(), 1) if line.endswith("# E")}
    reported = {int(n) for n in re.findall(r"^example\.py:(\d+): error:", result.stdout, re.M)}
    assert result.returncode == 1
    assert reported == expected, result.stdout


def test_stub_names_match_the_module() -> None:
    tree = ast.parse(STUB.read_text())
    declared: set[str] = set()
    methods: set[str] = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            declared.update(alias.asname for alias in node.names if alias.asname == alias.name)
        if isinstance(node, ast.ClassDef) and node.name == "ConversationSummarizer":
            methods = {
                n.name for n in node.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
            }
    private_protocols = {"_LLMClient", "_LLMResponse"}
    runtime = {name for name in vars(summarizer_module) if not name.startswith("__")} | {"__test__"}
    assert declared - private_protocols == runtime
    cls = summarizer_module.ConversationSummarizer
    public = {n for n in vars(cls) if callable(getattr(cls, n)) and not n.startswith("__")}
    assert methods == public | {"__init__"}
