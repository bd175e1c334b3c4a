"""The korbix-summarize command, run as `python -m korbix_summarizer`."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from korbix.core import summarizer as summarizer_module
from korbix_summarizer import cli as summarizer_cli
from korbix_summarizer.cli import conversation_chars
from support import BANNER, RENDER
from tools_support import (
    GOOD_SUMMARY,
    Reply,
    StubEndpoint,
    chat_completion,
    closed_port_url,
    needs_local_model,
)

# Subprocesses, servers and models: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak

MESSAGES = [
    {"role": "system", "content": "You are an agent."},
    {"role": "user", "content": "Fix the flaky login test."},
    {
        "role": "assistant",
        "content": None,
        "tool_calls": [
            {"id": "c1", "type": "function", "function": {"name": "run", "arguments": '{"cmd": "pytest"}'}}
        ],
    },
    {"role": "tool", "tool_call_id": "c1", "content": "1 failed: test_login (timeout)"},
]


def run_cli(*args: str, stdin: str | None = None, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
    return subprocess.run(
        [sys.executable, "-m", "korbix_summarizer", *args],
        input=stdin, capture_output=True, text=True, timeout=timeout, env=env,
    )


def fallback_block(messages: list[dict[str, Any]]) -> str:
    return RENDER(summarizer_module._fallback_summary(messages))


def openai_args(stub_url: str) -> list[str]:
    return ["--backend", "openai", "--base-url", stub_url, "--model", "stub-model", "--max-retries", "0"]


@pytest.mark.parametrize(
    "layout",
    ["json-list", "json-object", "jsonl", "stdin"],
)
def test_none_backend_prints_the_message_only_summary(tmp_path: Path, layout: str) -> None:
    path = tmp_path / "conversation.txt"
    stdin = None
    if layout == "json-list":
        path.write_text(json.dumps(MESSAGES, indent=2))
    elif layout == "json-object":
        path.write_text(json.dumps({"messages": MESSAGES}))
    elif layout == "jsonl":
        path.write_text("\n".join(json.dumps(m) for m in MESSAGES) + "\n\n")
    source = str(path)
    if layout == "stdin":
        source, stdin = "-", json.dumps(MESSAGES)

    result = run_cli(source, "--backend", "none", stdin=stdin)

    assert result.returncode == 0, result.stderr
    assert result.stdout == fallback_block(MESSAGES) + "\n"
    assert "no LLM was used" in result.stderr
    assert "compressed 4 messages" in result.stderr


def test_json_output_is_the_record(conversation_file: Path) -> None:
    result = run_cli(str(conversation_file), "--backend", "none", "--json", "--quiet")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    record = json.loads(result.stdout)
    expected = summarizer_module._fallback_summary(MESSAGES)
    assert list(record) == list(expected)
    assert {k: v for k, v in record.items() if k != "created_at"} == {
        k: v for k, v in expected.items() if k != "created_at"
    }


def test_openai_backend_sends_the_earlier_summary_and_prints_the_answer(
    conversation_file: Path, stub: StubEndpoint
) -> None:
    stub.reply = Reply(body=chat_completion(json.dumps(GOOD_SUMMARY)))
    result = run_cli(
        str(conversation_file), *openai_args(stub.url), "--previous-summary", "EARLIER NOTES"
    )

    assert result.returncode == 0, result.stderr
    record = {**GOOD_SUMMARY, "created_at": 0.0}
    expected = RENDER(record)
    assert result.stdout == expected + "\n"
    (seen,) = stub.requests
    system = seen.body["messages"][0]["content"]
    assert "## Previous Summary (build on this):\nEARLIER NOTES" in system
    assert "[User]: Fix the flaky login test." in system
    chars_in = conversation_chars(MESSAGES)
    assert f"compressed 4 messages ({chars_in:,} characters) into {len(expected):,}" in result.stderr


@pytest.mark.parametrize(
    ("answer", "logged", "note"),
    [
        (None, "Empty response from summarizer LLM", "the model gave an empty answer"),
        ("The login test is flaky; I will fix it.", "Could not parse summary JSON",
         "the model's answer was not a JSON summary"),
    ],
    ids=["empty", "prose"],
)
def test_an_unusable_answer_prints_the_fallback_and_says_so(
    conversation_file: Path, stub: StubEndpoint, answer: str | None, logged: str, note: str
) -> None:
    stub.reply = Reply(body=chat_completion(answer, refusal="no"))
    result = run_cli(str(conversation_file), *openai_args(stub.url))

    assert result.returncode == 0, result.stderr
    assert result.stdout == fallback_block(MESSAGES) + "\n"
    assert logged in result.stderr
    assert f"note: {note}; this summary was built from the messages alone" in result.stderr


def test_empty_conversation_needs_no_llm(tmp_path: Path, stub: StubEndpoint) -> None:
    path = tmp_path / "empty.json"
    path.write_text("[]")
    result = run_cli(str(path), *openai_args(stub.url))

    assert result.returncode == 0, result.stderr
    assert result.stdout == BANNER
    assert stub.requests == []
    assert "empty answer" not in result.stderr


@pytest.mark.parametrize(
    ("reply", "reason"),
    [
        (None, "APIConnectionError"),
        (Reply(status=500, body={"error": {"message": "model crashed"}}), "InternalServerError"),
        (Reply(body=b"<html>bad gateway</html>", content_type="text/html"), "ValueError"),
        (Reply(body=chat_completion('{"goals": ["fix the', finish_reason="length")), "ran out of tokens"),
    ],
    ids=["unreachable", "http-500", "malformed-body", "cut-off-answer"],
)
def test_llm_failures_exit_non_zero_without_traceback(
    conversation_file: Path, stub: StubEndpoint, reply: Reply | None, reason: str
) -> None:
    url = closed_port_url() if reply is None else stub.url
    if reply is not None:
        stub.reply = reply
    result = run_cli(str(conversation_file), *openai_args(url))

    assert result.returncode == 1
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    assert "korbix.summarizer: ERROR: Summarization failed: " in result.stderr
    (error_line,) = [line for line in result.stderr.splitlines() if ": error: " in line]
    assert error_line.startswith("korbix-summarize: error: summarization with stub-model at ")
    assert reason in error_line


def test_credentials_in_the_base_url_are_not_printed(conversation_file: Path, stub: StubEndpoint) -> None:
    stub.reply = Reply(status=500, body={"error": {"message": "model crashed"}})
    url = stub.url.replace("http://", "http://alice:s3cret@")
    result = run_cli(str(conversation_file), *openai_args(url))

    assert result.returncode == 1
    assert "s3cret" not in result.stderr
    assert "summarization with stub-model at http://***@127.0.0.1:" in result.stderr


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (None, ["missing.json"], "missing.json: no such conversation file"),
        ("", ["{file}"], "the conversation is empty"),
        ("{not json", ["{file}"], "not JSON"),
        ('{"role": "user", "content": "a"}\n{"role": "user"\n', ["{file}"], "line 2 is not JSON"),
        ("5", ["{file}"], "expected a list of chat messages, got a JSON number"),
        ('[{"role": "user"}, "hello"]', ["{file}"], "message 2 is a JSON string, not a message object"),
        ('[{"content": "no role"}]', ["{file}"], 'message 1 has no "role" text'),
        ('[{"role": "user", "content": 7}]', ["{file}"], 'message 1 has a "content" that is a JSON number'),
        (
            '[{"role": "user"}, {"role": "assistant", "tool_calls": [{"name": "run", "function": null}]}]',
            ["{file}", "--backend", "openai", "--base-url", "http://127.0.0.1:9/v1", "--model", "m"],
            'message 2 has a tool call whose "function" is a JSON null, not an object',
        ),
        (b"\xff\xfe[]", ["{file}"], "not UTF-8 text"),
        ("[]", ["{file}", "--backend", "mystery"], "invalid choice: 'mystery'"),
        ("[]", ["{file}", "--example"], "but not both"),
        ("[]", ["{file}", "--backend", "openai"], "no model given"),
        ("[]", ["{file}", "--backend", "openai", "--model", "m", "--timeout", "nan"], "--timeout must be positive"),
        ("[]", ["{file}", "--model-info", "--threads", "0"], "--threads must be positive"),
        pytest.param(
            "[]", ["{file}", "--backend", "model", "--model-path", "absent.gguf"], "no model file at",
            marks=needs_local_model,
        ),
    ],
    ids=[
        "missing-file", "empty", "not-json", "bad-jsonl-line", "not-a-list", "not-an-object",
        "no-role", "bad-content", "bad-tool-function", "not-utf8", "unknown-backend", "file-and-example",
        "openai-without-model", "nan-timeout", "model-info-zero-threads", "local-missing-model",
    ],
)
def test_bad_input_gets_one_line_and_exit_2(
    tmp_path: Path, content: str | bytes | None, args: list[str], message: str
) -> None:
    path = tmp_path / "input.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    argv = [str(path) if a == "{file}" else a for a in args]
    result = run_cli(*argv)

    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("korbix-summarize: error: ")
    assert message in lines[0]


@pytest.mark.parametrize(
    ("data", "outcome"),
    [
        (b"\xef\xbb\xbf" + json.dumps(MESSAGES).encode(), "ok"),
        (b"\xff\xfe[]", "not UTF-8 text"),
    ],
    ids=["utf8-bom", "not-utf8"],
)
def test_stdin_is_read_as_utf8_like_a_file(data: bytes, outcome: str) -> None:
    # Strict decoding is what a server's UTF-8 locale gives standard input.
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
    env["PYTHONIOENCODING"] = "utf-8:strict"
    result = subprocess.run(
        [sys.executable, "-m", "korbix_summarizer", "-", "--backend", "none", "-q"],
        input=data, capture_output=True, env=env, timeout=120,
    )
    stderr = result.stderr.decode()
    if outcome == "ok":
        assert result.returncode == 0, stderr
        assert result.stdout.decode() == fallback_block(MESSAGES) + "\n"
    else:
        assert result.returncode == 2, stderr
        assert stderr.splitlines() == [f"korbix-summarize: error: <stdin>: {outcome} (invalid start byte at byte 0)"]


@pytest.mark.parametrize(
    ("messages", "expected"),
    [
        ([{"role": "user", "content": "abc"}], 3),
        ([{"role": "user", "content": [{"type": "text", "text": "ab"}, {"type": "text", "text": "cd"}]}], 4),
        ([{"role": "assistant", "tool_calls": [{"function": {"name": "ls", "arguments": "{}"}}]}], 4),
        ([{"role": "assistant", "tool_calls": [{"name": "ls", "arguments": {"a": 1}}]}], 2 + len('{"a":1}')),
    ],
)
def test_characters_in_count_text_and_tool_calls(messages: list[dict[str, Any]], expected: int) -> None:
    assert conversation_chars(messages) == expected


def test_default_backend_summarizes_the_bundled_example_from_its_own_text() -> None:
    """What `make demo` runs: the extractive backend, no model needed."""
    result = run_cli("--example", "--previous-summary", "### Original Goals\n  - Keep the nightly jobs green")

    assert result.returncode == 0, result.stderr
    assert "summarizing with the extractive summarizer (no model)" in result.stderr
    assert "korbix.summarizer:" not in result.stderr  # no warning, no fallback
    block = result.stdout
    assert block.startswith(BANNER + "\n### Original Goals\n  - Keep the nightly jobs green\n")
    for fact in ("jobs/export_orders/config.yaml", "Go with multipart uploads", "s3:PutObject"):
        assert fact in block


@needs_local_model
def test_model_info_names_the_build_also_when_the_backend_needs_no_model() -> None:
    result = run_cli("--example", "--model-info", "--quiet")

    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(BANNER)
    (line,) = result.stderr.splitlines()
    assert line.startswith("korbix-summarize: llama.cpp build x86-64-v3: ")


@needs_local_model
def test_model_backend_summarizes_the_bundled_example() -> None:
    """The embedded model writing the summary itself."""
    result = run_cli("--example", "--backend", "model", timeout=600)

    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(BANNER)
    assert "Traceback" not in result.stderr
    assert "summarizing with local model SmolLM2-135M-Instruct.Q4_1.gguf" in result.stderr
    assert "compressed 15 messages" in result.stderr
    assert "korbix.summarizer:" not in result.stderr  # no warning, no fallback


@needs_local_model
def test_ctrl_c_while_the_local_model_works_ends_cleanly() -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
    process = subprocess.Popen(
        [sys.executable, "-m", "korbix_summarizer", "--example", "--backend", "model"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    assert process.stderr is not None
    assert "llama.cpp build x86-64-v3" in process.stderr.readline()
    assert "summarizing with local model" in process.stderr.readline()
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)

    assert process.returncode == 130
    assert stdout == ""
    assert stderr == "korbix-summarize: interrupted\n"


def children_of(pid: int) -> list[int]:
    found: list[int] = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            found += [int(child) for child in (task / "children").read_text().split()]
        except OSError:
            pass
    return found


@needs_local_model
@pytest.mark.parametrize("fallback", [False, True], ids=["plain", "with-fallback"])
def test_a_crashed_model_worker_is_an_llm_failure(fallback: bool) -> None:
    """The model's worker dies by SIGSEGV while the tool waits for it: the
    tool reports the crash in one line and exits 1, and prints the
    message-only summary only when asked to."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
    process = subprocess.Popen(
        [sys.executable, "-m", "korbix_summarizer", "--example", "--backend", "model",
         *(["--fallback"] if fallback else [])],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    assert process.stderr is not None
    assert "summarizing with local model" in process.stderr.readline() + process.stderr.readline()
    (worker,) = children_of(process.pid)
    os.kill(worker, signal.SIGSEGV)
    stdout, stderr = process.communicate(timeout=120)

    assert process.returncode == 1
    assert "Traceback" not in stderr
    (error_line,) = [line for line in stderr.splitlines() if ": error: " in line]
    assert error_line.endswith("failed: LocalModelCrashed: the local model crashed (signal 11)")
    assert "korbix.summarizer: ERROR: Summarization failed: the local model crashed (signal 11)" in stderr
    example = json.loads((Path(summarizer_cli.__file__).parent / "examples" / "agent_session.json").read_text())
    assert stdout == (fallback_block(example) + "\n" if fallback else "")
