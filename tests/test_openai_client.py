"""OpenAICompatibleClient against loopback servers: a stub for error paths and
llama.cpp's real OpenAI-compatible server with the bundled model."""

from __future__ import annotations

import asyncio
import json
import logging
from pathlib import Path
from typing import Any

import openai
import pytest

from korbix.core.summarizer import ConversationSummarizer
from korbix_summarizer.clients import OpenAICompatibleClient
from korbix_summarizer.schema import SUMMARY_KEYS, summary_json_schema
from tools_support import (
    GOOD_SUMMARY,
    Reply,
    StubEndpoint,
    chat_completion,
    closed_port_url,
    llama_server,
    needs_llama_server,
)

# Subprocesses, servers and models: nothing here is about native reference counts.
pytestmark = pytest.mark.no_refleak

PROMPT = [
    {"role": "system", "content": "You summarize."},
    {"role": "user", "content": "Summarize the conversation above. Return ONLY the JSON object."},
]
CONVERSATION = [
    {"role": "user", "content": "Fix the nightly export job; it times out uploading."},
    {"role": "assistant", "content": "The parts grew to 61 MB; I will switch to multipart uploads."},
]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_MODEL", "OPENAI_LOG"):
        monkeypatch.delenv(name, raising=False)


def client_for(stub: StubEndpoint, **settings: Any) -> OpenAICompatibleClient:
    settings.setdefault("max_retries", 0)
    return OpenAICompatibleClient(model="stub-model", base_url=stub.url, **settings)


def complete(client: OpenAICompatibleClient, **request: Any) -> Any:
    async def run() -> Any:
        async with client:
            return await client.complete(
                messages=request.get("messages", PROMPT),
                temperature=request.get("temperature", 0.2),
                max_tokens=request.get("max_tokens", 2048),
            )

    return asyncio.run(run())


@pytest.mark.parametrize("param", ["max_tokens", "max_completion_tokens"])
def test_request_carries_the_call_and_the_configured_token_field(
    stub: StubEndpoint, param: str
) -> None:
    client = client_for(stub, token_limit_param=param, extra_body={"top_k": 5})
    result = complete(client, temperature=0.2, max_tokens=2048)

    assert result.content == "ok"
    (seen,) = stub.requests
    assert seen.path == "/v1/chat/completions"
    assert seen.body["model"] == "stub-model"
    assert seen.body["messages"] == PROMPT
    assert seen.body["temperature"] == 0.2
    assert seen.body[param] == 2048
    other = {"max_tokens", "max_completion_tokens"} - {param}
    assert other.isdisjoint(seen.body)
    assert seen.body["top_k"] == 5
    # A local endpoint needs no key; the SDK still sends a placeholder.
    assert seen.headers["authorization"] == "Bearer unused"


def test_settings_come_from_the_environment(
    stub: StubEndpoint, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("OPENAI_BASE_URL", stub.url)
    monkeypatch.setenv("OPENAI_MODEL", "env-model")
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    client = OpenAICompatibleClient(max_retries=0)
    complete(client)

    (seen,) = stub.requests
    assert seen.body["model"] == "env-model"
    assert seen.headers["authorization"] == "Bearer sk-env"
    assert "sk-env" not in repr(client)


def test_credentials_in_the_base_url_stay_out_of_repr(stub: StubEndpoint) -> None:
    url = stub.url.replace("http://", "http://alice:s3cret@")
    client = OpenAICompatibleClient(model="stub-model", base_url=url, max_retries=0)
    assert complete(client).content == "ok"
    assert "s3cret" not in repr(client)
    assert f"base_url='http://***@127.0.0.1:{stub.url.split(':')[2]}" in repr(client)


@pytest.mark.parametrize(
    ("settings", "error"),
    [
        ({"base_url": "http://127.0.0.1:1/v1"}, ValueError),  # no model anywhere
        ({"model": "m"}, openai.OpenAIError),  # OpenAI's own API without a key
        ({"model": "m", "base_url": "http://x/v1", "token_limit_param": "tokens"}, ValueError),
        ({"model": "m", "base_url": "http://x/v1", "timeout": 0}, ValueError),
        ({"model": "m", "base_url": "http://x/v1", "timeout": float("nan")}, ValueError),
    ],
)
def test_unusable_settings_are_refused_at_construction(
    settings: dict[str, Any], error: type[Exception]
) -> None:
    with pytest.raises(error):
        OpenAICompatibleClient(**settings)


@pytest.mark.parametrize(
    ("message", "expected"),
    [
        ({"content": None, "refusal": "I can't help with that."}, None),
        (
            {
                "content": None,
                "tool_calls": [
                    {
                        "id": "call_1",
                        "type": "function",
                        "function": {"name": "lookup", "arguments": "{}"},
                    }
                ],
            },
            None,
        ),
        ({"content": [{"type": "text", "text": '{"goals"'}, {"type": "text", "text": ": []}"}]}, '{"goals": []}'),
        ({"content": ""}, ""),
    ],
    ids=["refusal", "tool-call", "content-parts", "empty"],
)
def test_answers_without_plain_text(
    stub: StubEndpoint, message: dict[str, Any], expected: str | None
) -> None:
    content = message.pop("content")
    stub.reply = Reply(body=chat_completion(content, **message))
    assert complete(client_for(stub)).content == expected


@pytest.mark.parametrize(
    ("reply", "error"),
    [
        (Reply(status=500, body={"error": {"message": "boom"}}), openai.InternalServerError),
        (Reply(status=401, body={"error": {"message": "bad key"}}), openai.AuthenticationError),
        (Reply(body=b"<html>gateway</html>", content_type="text/html"), ValueError),
        (Reply(body=b'{"choices": [', content_type="application/json"), ValueError),
        (Reply(body={**chat_completion("x"), "choices": []}), ValueError),
        (Reply(body=chat_completion(42)), ValueError),
        (Reply(body={**chat_completion("x"), "choices": [None]}), ValueError),
        (Reply(body={**chat_completion("x"), "choices": {"0": {"message": {}}}}), ValueError),
        (Reply(body={**chat_completion("x"), "choices": [{"message": "x"}]}), ValueError),
        # Cut off by the token limit: a JSON object that does not parse.
        (Reply(body=chat_completion('{"goals": ["fix the', finish_reason="length")), RuntimeError),
    ],
    ids=[
        "http-500", "http-401", "html-body", "truncated-json", "no-choices", "number-content",
        "null-choice", "choices-object", "text-message", "cut-off-answer",
    ],
)
def test_failures_raise(stub: StubEndpoint, reply: Reply, error: type[Exception]) -> None:
    stub.reply = reply
    with pytest.raises(error, match="ran out of tokens" if error is RuntimeError else None):
        complete(client_for(stub))


def test_timeout_raises_and_retries_are_bounded(stub: StubEndpoint) -> None:
    stub.reply = Reply(delay=1.5)
    with pytest.raises(openai.APITimeoutError):
        complete(client_for(stub, timeout=0.3, max_retries=1))
    assert len(stub.requests) == 2


def test_cancelling_a_summary_propagates_and_leaves_the_client_usable(
    stub: StubEndpoint, caplog: pytest.LogCaptureFixture
) -> None:
    # Cancellation is no failure: no fallback record, no error log.
    stub.reply = lambda seen: Reply(delay=1.0) if len(stub.requests) == 1 else Reply()

    async def run() -> str | None:
        async with client_for(stub) as client:
            task = asyncio.ensure_future(
                ConversationSummarizer(client).summarize_messages(CONVERSATION)
            )
            while not stub.requests:
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return (await client.complete(messages=PROMPT)).content

    with caplog.at_level(logging.WARNING, logger="korbix.summarizer"):
        assert asyncio.run(run()) == "ok"
    assert [r for r in caplog.records if r.name == "korbix.summarizer"] == []


def test_unreachable_endpoint_raises_connection_error() -> None:
    client = OpenAICompatibleClient(model="m", base_url=closed_port_url(), max_retries=0)
    with pytest.raises(openai.APIConnectionError):
        complete(client)


def test_prompts_and_answers_stay_out_of_logs(
    stub: StubEndpoint, caplog: pytest.LogCaptureFixture
) -> None:
    secret_prompt = "password hunter2 for db.internal"
    secret_answer = "token ghp_s3cr3t"
    stub.reply = Reply(body=chat_completion(secret_answer))
    caplog.set_level(logging.DEBUG)
    messages = [{"role": "system", "content": secret_prompt}, PROMPT[1]]
    assert complete(client_for(stub), messages=messages).content == secret_answer

    assert caplog.records, "the SDK's debug logging should have been captured"
    for record in caplog.records:
        assert "hunter2" not in record.getMessage()
        assert "ghp_s3cr3t" not in record.getMessage()


def test_summarizer_uses_the_client_and_falls_back_on_its_failure(
    stub: StubEndpoint, caplog: pytest.LogCaptureFixture
) -> None:
    answers = iter(
        [
            Reply(body=chat_completion(json.dumps(GOOD_SUMMARY))),
            Reply(status=500, body={"error": {"message": "model crashed"}}),
        ]
    )
    stub.reply = lambda seen: next(answers)

    async def run() -> tuple[dict[str, Any], dict[str, Any]]:
        async with client_for(stub) as client:
            summarizer = ConversationSummarizer(client)
            good = await summarizer.summarize_messages(CONVERSATION)
            failed = await summarizer.summarize_messages(CONVERSATION)
            return good, failed

    with caplog.at_level(logging.WARNING, logger="korbix.summarizer"):
        good, failed = asyncio.run(run())

    assert {key: good[key] for key in SUMMARY_KEYS} == GOOD_SUMMARY
    assert failed["goals"] == [CONVERSATION[0]["content"]]
    assert failed["current_state"] == "Conversation had 2 messages before summarization"
    errors = [r.getMessage() for r in caplog.records if r.name == "korbix.summarizer"]
    assert len(errors) == 1 and errors[0].startswith("Summarization failed: ")
    assert stub.requests[0].body["max_tokens"] == 2048


@needs_llama_server
def test_real_llama_server_round_trip(tmp_path: Path) -> None:
    """The same client against llama.cpp's server running the bundled model:
    a plain answer, then a full summary constrained to the record's schema."""
    with llama_server(tmp_path) as url:

        async def run() -> tuple[Any, dict[str, Any]]:
            async with OpenAICompatibleClient(model="smollm2", base_url=url, max_retries=0) as plain:
                try:
                    answer = await plain.complete(
                        messages=[{"role": "user", "content": "Say hello."}],
                        temperature=0.0,
                        max_tokens=16,
                    )
                except RuntimeError as cut_off:  # 16 tokens may not hold the whole greeting
                    answer = cut_off
            schema = summary_json_schema(max_items=3, max_item_chars=80, max_text_chars=200)
            async with OpenAICompatibleClient(
                model="smollm2",
                base_url=url,
                max_retries=0,
                extra_body={"response_format": {"type": "json_object", "schema": schema}},
            ) as constrained:
                record = await ConversationSummarizer(constrained).summarize_messages(CONVERSATION)
            return answer, record

        answer, record = asyncio.run(run())

    if isinstance(answer, RuntimeError):
        assert "ran out of tokens" in str(answer)
    else:
        assert isinstance(answer.content, str) and answer.content.strip()
        assert answer.finish_reason == "stop"
    # The schema makes the answer parse: a record of the answer, not a fallback.
    assert not record["current_state"].startswith("Conversation had ")
    for key in SUMMARY_KEYS:
        expected = str if key in ("current_state", "summary") else list
        assert isinstance(record[key], expected), key
    text = ConversationSummarizer(None).format_summary_for_context(record)
    assert text.startswith("## Conversation History Summary\n")
