"""The korbix-summarize compact command, run as `python -m korbix_summarizer compact`."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path
from typing import Any

import pytest

from korbix.core import summarizer as module
from korbix_summarizer.compaction import is_summary_message
from korbix_summarizer.rendered import parse_context_block
from support import RENDER
from test_cli import openai_args, run_cli
from tools_support import GOOD_SUMMARY, Reply, StubEndpoint, chat_completion, needs_local_model

# Subprocesses, servers and models: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak


def conversation(turns: int) -> list[dict[str, Any]]:
    messages: list[dict[str, Any]] = [{"role": "system", "content": "You are a coding agent."}]
    for turn in range(turns):
        messages += [
            {"role": "user", "content": f"Step {turn}: look at module_{turn}.py and fix what fails. " * 8},
            {"role": "assistant", "content": None, "tool_calls": [
                {"id": f"c{turn}", "type": "function",
                 "function": {"name": "read_file", "arguments": json.dumps({"path": f"module_{turn}.py"})}}]},
            {"role": "tool", "tool_call_id": f"c{turn}", "content": f"def f_{turn}():\n    return {turn}\n" * 30},
        ]
    return messages


MESSAGES = conversation(10)


def run_compact(*args: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    return run_cli("compact", *args, timeout=timeout)


def test_none_backend_commits_the_message_only_summary(conversation_file: Path) -> None:
    result = run_compact(str(conversation_file), "--backend", "none", "--context-window", "3000", "--keep-recent", "4")

    assert result.returncode == 0, result.stderr
    compacted = json.loads(result.stdout)
    tail = compacted[2:]
    assert compacted[0] == MESSAGES[0] and tail == MESSAGES[len(MESSAGES) - len(tail):]
    assert tail[0]["role"] != "tool" and len(tail) >= 4
    span = MESSAGES[1: len(MESSAGES) - len(tail)]
    block = parse_context_block(compacted[1]["content"])
    fallback = module._fallback_summary(span)
    assert (block["goals"], block["summary"]) == (fallback["goals"], fallback["summary"])
    # The message-only record names one file; the others are added to its key facts.
    files = {f"module_{turn}.py" for turn in range(10) if f"module_{turn}.py" in json.dumps(span)}
    assert {fact.split(" ")[0] for fact in block["key_facts"]} == files - {"module_0.py"}
    assert f"summarized {len(span)} of {len(MESSAGES)} messages in 0 requests: " in result.stderr
    assert f"of the {len(files)} identifiers of the summarized messages; {len(files) - 1} added" in result.stderr


def test_openai_backend_chunks_with_a_line_per_request(conversation_file: Path, stub: StubEndpoint) -> None:
    stub.reply = Reply(body=chat_completion(json.dumps(GOOD_SUMMARY)))
    result = run_compact(str(conversation_file), *openai_args(stub.url), "--context-window", "3000",
                         "--summarizer-window", "3400", "--keep-recent", "2", "--max-repairs", "0")

    assert result.returncode == 0, result.stderr
    compacted = json.loads(result.stdout)
    assert compacted[1] == {"role": "system", "content": RENDER({**GOOD_SUMMARY, "created_at": 0.0})}
    lines = [line for line in result.stderr.splitlines() if ": request " in line]
    assert len(lines) == len(stub.requests) >= 2
    assert lines[0].startswith("korbix-summarize: request 1: summarizing messages 2-")
    assert "## Previous Summary (build on this):\n" + RENDER(GOOD_SUMMARY) in (
        stub.requests[1].body["messages"][0]["content"])
    assert f"in {len(stub.requests)} requests: " in result.stderr


def test_redact_keeps_credentials_out_of_every_request(tmp_path: Path, stub: StubEndpoint) -> None:
    secret = "ghp_" + "Zq7" * 12
    path = tmp_path / "conversation.json"
    path.write_text(json.dumps(MESSAGES[:3] + [{"role": "user", "content": f"push with token {secret}"}]
                               + MESSAGES[3:]))
    stub.reply = Reply(body=chat_completion(json.dumps(GOOD_SUMMARY)))
    result = run_compact(str(path), *openai_args(stub.url), "--context-window", "3000", "--redact")

    assert result.returncode == 0, result.stderr
    assert stub.requests and not any(secret in json.dumps(request.body) for request in stub.requests)
    assert "[redacted: github token]" in json.dumps(stub.requests[0].body)
    assert "1 credential redacted before summarizing" in result.stderr


def test_failed_request_exits_1_and_prints_nothing(conversation_file: Path, stub: StubEndpoint) -> None:
    stub.reply = Reply(status=500, body={"error": {"message": "model crashed"}})
    result = run_compact(str(conversation_file), *openai_args(stub.url), "--context-window", "3000")

    assert result.returncode == 1
    assert result.stdout == ""
    (error,) = [line for line in result.stderr.splitlines() if ": error: " in line]
    assert error.startswith("korbix-summarize: error: compaction with stub-model at http://127.0.0.1:")
    assert "failed: summarizer request 1 failed: InternalServerError" in error


def test_below_the_trigger_prints_the_conversation_unchanged(conversation_file: Path, stub: StubEndpoint) -> None:
    result = run_compact(str(conversation_file), *openai_args(stub.url), "--context-window", "100000")

    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == MESSAGES
    assert stub.requests == []
    assert "below the trigger (0.75 of 100,000); nothing compacted" in result.stderr


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["{file}"], "the following arguments are required: --context-window"),
        (["{file}", "--context-window", "1000", "--target", "1.5"], "must be a share of the window"),
        (["{file}", "--context-window", "1000", "--trigger", "0.4"], "--target (0.5) must not exceed --trigger (0.4)"),
        (["{file}", "--context-window", "1000", "--json"], "--json does not apply to compact"),
        (["missing.json", "--context-window", "1000"], "missing.json: no such conversation file"),
        (["{file}", "--context-window", "1000", "--summarizer-window", "100"],
         "--summarizer-window (100 tokens) leaves no room for the conversation"),
    ],
    ids=["no-window", "bad-share", "target-above-trigger", "json", "missing-file", "summarizer-window-too-small"],
)
def test_bad_input_gets_one_line_and_exit_2(conversation_file: Path, args: list[str], message: str) -> None:
    result = run_compact(*[str(conversation_file) if a == "{file}" else a for a in args])

    assert result.returncode == 2
    assert result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith("korbix-summarize compact: error: " if "required" in message or "share" in message
                           else "korbix-summarize: error: ")
    assert message in line


@needs_local_model
def test_local_model_compacts_the_bundled_example() -> None:
    """End to end: the embedded model (in its worker process), two requests."""
    result = run_compact("--example", "--backend", "model", "--context-window", "1200",
                         "--summarizer-window", "3300",
                         "--keep-recent", "4", timeout=900)

    assert result.returncode == 0, result.stderr
    compacted = json.loads(result.stdout)
    assert is_summary_message(compacted[1]) and "### " in compacted[1]["content"]
    assert "korbix-summarize: request 2: summarizing messages" in result.stderr
    assert "korbix.summarizer:" not in result.stderr  # no warning, no fallback
