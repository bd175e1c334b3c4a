"""The summarize operation: the request it sends, how it treats the answer,
what it logs, what it lets through, and runs in flight side by side."""

import asyncio
import subprocess
import sys
import threading

import pytest

import korbix.core.summarizer as summarizer
from support import MESSAGES, Answer, Client, Steps, SubDict, drive, record_with

PROMPT = summarizer.SUMMARIZE_PROMPT
LOGGER = "korbix.summarizer"
REAL_PARSE_SUMMARY = summarizer._parse_summary


def run(client, messages=MESSAGES, existing_summary=None):
    return asyncio.run(summarizer.ConversationSummarizer(client).summarize_messages(messages, existing_summary))


def logged(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


def ends_at(error):
    """(function name, line) of the module's entry on an exception that ended the operation."""
    tb = error.__traceback__
    while tb is not None and not tb.tb_frame.f_code.co_filename.startswith("korbix/"):
        tb = tb.tb_next
    return tb and (tb.tb_frame.f_code.co_name, tb.tb_lineno)


def raising(error, is_async=False):
    # The same instance serves every call: each raise starts a new traceback.
    async def async_function(*args, **kwargs):
        raise error.with_traceback(None)

    def function(*args, **kwargs):
        raise error.with_traceback(None)

    return async_function if is_async else function


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("existing, previous", [
    (None, ""), ("", ""), ("S", "\n\n\n## Previous Summary (build on this):\nS"),
])
def test_request_sent_to_the_client(existing, previous, caplog):
    client = Client()
    messages = [dict(m) for m in MESSAGES]
    assert run(client, messages, existing)["summary"] == '{"summary": "ok"}' and caplog.records == []
    (kwargs,) = client.calls
    assert list(kwargs) == ["messages", "temperature", "max_tokens"]
    assert [(type(v), v) for v in list(kwargs.values())[1:]] == [(float, 0.2), (int, 2048)]
    system_text = PROMPT + previous + "\n\n\n## Conversation to Summarize:\n[user]: hi\n[assistant]: hello"
    assert kwargs["messages"] == [
        {"role": "system", "content": system_text},
        {"role": "user", "content": "Summarize the conversation above. Return ONLY the JSON object."}]
    assert [list(m) for m in kwargs["messages"]] == [["role", "content"]] * 2
    assert messages == MESSAGES
    run(client, messages, existing)
    assert client.calls[1]["messages"][0] is not kwargs["messages"][0]


@pytest.mark.parametrize("existing", [None, "earlier"])
def test_empty_input_returns_a_fresh_empty_record(existing, caplog):
    client = Client()
    first, second = run(client, [], existing), run(client, [], existing)
    assert first == {**summarizer._empty_summary(), "created_at": first["created_at"]}
    assert first["goals"] is not second["goals"] and client.calls == [] and caplog.records == []


@pytest.mark.parametrize("content", ["", None, 0])
def test_empty_answer_warns_and_falls_back(content, logic, caplog):
    assert run(Client(content))["summary"] == "fallback 2" and logic.parse == []
    assert logged(caplog) == [(LOGGER, "WARNING", "Empty response from summarizer LLM")]


def test_true_content_is_read_twice(logic):
    reads = []
    answer = type("Counting", (), {"content": property(lambda self: reads.append(1) or "text")})()
    run(Client(awaitable=lambda kwargs: Steps([], answer)))
    assert len(reads) == 2 and logic.parse == ["text"]


FAILURES = {
    "client error": (lambda c, s: setattr(c, "complete", raising(ConnectionError("boom"), True)), "boom"),
    "error without text": (lambda c, s: setattr(c, "complete", raising(Exception(), True)), ""),
    "not awaitable": (lambda c, s: setattr(c, "complete", lambda **kw: "text"),
                      "object str can't be used in 'await' expression"),
    "no _llm": (lambda c, s: delattr(s, "_llm"), "'ConversationSummarizer' object has no attribute '_llm'"),
    "parse returns list": (lambda c, s: setattr(summarizer, "_parse_summary", lambda t: []),
                           "Expected dict, got list"),
    "parse returns subclass": (lambda c, s: setattr(summarizer, "_parse_summary", lambda t: SubDict()),
                               "Expected dict, got SubDict"),
    "no _parse_summary": (lambda c, s: delattr(summarizer, "_parse_summary"),
                          "name '_parse_summary' is not defined"),
    "prompt not text": (lambda c, s: setattr(summarizer, "SUMMARIZE_PROMPT", 5),
                        "sequence item 0: expected str instance, int found"),
    "real parser refuses a list": (lambda c, s: (setattr(c, "content", ["part"]),
                                                 setattr(summarizer, "_parse_summary", REAL_PARSE_SUMMARY)),
                                   "Argument 'text' has incorrect type (expected str, got list)"),
}


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("name", FAILURES)
def test_failures_in_the_guarded_region_are_logged_and_fall_back(name, caplog, monkeypatch):
    setup, text = FAILURES[name]
    client = Client()
    instance = summarizer.ConversationSummarizer(client)
    monkeypatch.setattr(summarizer, "SUMMARIZE_PROMPT", PROMPT)  # restored after the run
    setup(client, instance)
    assert asyncio.run(instance.summarize_messages(MESSAGES))["summary"] == "fallback 2"
    assert logged(caplog) == [(LOGGER, "ERROR", "Summarization failed: " + text)]


class Unformattable:
    def __format__(self, template):
        raise ZeroDivisionError


ENDINGS = {
    "empty input result": ("_empty_summary", lambda: [], TypeError, 77),
    "transcript fails": ("_format_messages_for_summary", raising(KeyError("k")), KeyError, 80),
    "no prompt": ("SUMMARIZE_PROMPT", None, NameError, 82),
    "transcript unformattable": ("_format_messages_for_summary", lambda m: Unformattable(), ZeroDivisionError, 89),
    "client interrupted": ("_llm", None, KeyboardInterrupt, 92),
    "no logger in handler": ("logger", None, NameError, 108),
    "fallback fails in handler": ("_fallback_summary", raising(OSError("f")), OSError, 109),
    "fallback returns list in handler": ("_fallback_summary", lambda m: [], TypeError, 109),
}


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("name", ENDINGS)
def test_other_failures_end_the_operation_unlogged_or_after_the_log(name, monkeypatch, caplog):
    global_name, replacement, error_type, line = ENDINGS[name]
    client = Client(awaitable=lambda kwargs: Steps([], None))  # no `content`: enters the handler
    if global_name == "_llm":
        client.complete = raising(KeyboardInterrupt(), True)
    elif replacement is None:
        monkeypatch.delattr(summarizer, global_name)
    else:
        monkeypatch.setattr(summarizer, global_name, replacement)
    with pytest.raises(error_type) as info:
        run(client, [] if line == 77 else MESSAGES)
    assert ends_at(info.value) == ("summarize_messages", line)
    handled = "Summarization failed: 'NoneType' object has no attribute 'content'"
    assert logged(caplog) == ([(LOGGER, "ERROR", handled)] if line == 109 else [])
    if line >= 108:  # the handled error is the context, with its own entry
        assert ends_at(info.value.__context__)[0].endswith(".ConversationSummarizer.summarize_messages")
    if line < 92:
        assert client.calls == []


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("how", ["cancel", "timeout"])
def test_cancellation_while_the_client_is_pending(how, caplog):
    pending = Client(awaitable=lambda kwargs: asyncio.Event().wait())

    async def main():
        coroutine = summarizer.ConversationSummarizer(pending).summarize_messages(MESSAGES)
        if how == "timeout":
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(coroutine, 0.01)
            return
        task = asyncio.create_task(coroutine)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert caplog.records == []


@pytest.mark.usefixtures("logic")
def test_awaiting_an_asyncio_future():
    def complete(kwargs):
        future = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_later(0.001, future.set_result, Answer("from future"))
        return future

    assert run(Client(awaitable=complete))["summary"] == "from future"


@pytest.mark.usefixtures("logic")
def test_rebinding_while_suspended(monkeypatch):
    instance = summarizer.ConversationSummarizer(Client(awaitable=lambda kwargs: Steps(["tick"], Answer("a"))))
    coroutine = instance.summarize_messages(MESSAGES)
    drive(coroutine)
    instance._llm = None  # read before the await: no effect now
    rebound = record_with(summary="rebound")
    monkeypatch.setattr(summarizer, "_parse_summary", lambda text: rebound)
    kind, record = drive(coroutine)
    assert (kind, record) == ("return", rebound) and record is rebound  # the very object, not a copy


SHUTDOWN_SCRIPT = """
import asyncio
import korbix.core.summarizer as s
s._format_messages_for_summary = lambda m: "t"
class Forever:
    def __await__(self):
        while True:
            yield None
class Client:
    def complete(self, **kwargs):
        return Forever() if self.manual else asyncio.get_running_loop().create_future()
manual, looped = Client(), Client()
manual.manual, looped.manual = True, False
kept = [s.ConversationSummarizer(manual).summarize_messages([{}]) for _ in range(20)]
for c in kept:
    c.send(None)
manual.cycle = kept
async def main():
    for _ in range(20):
        asyncio.ensure_future(s.ConversationSummarizer(looped).summarize_messages([{}]))
    await asyncio.sleep(0)
asyncio.new_event_loop().run_until_complete(main())  # tasks left pending, loop never closed
print("exiting")
"""


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_runs_left_suspended_at_interpreter_exit_do_not_crash():
    result = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr


# ---- many runs at once -------------------------------------------------------

class EchoClient:
    """Answers with the text of the conversation's first message, after a few loop turns."""

    async def complete(self, messages, temperature, max_tokens):
        for _ in range(3):
            await asyncio.sleep(0)
        return Answer(messages[0]["content"].rsplit(": ", 1)[-1])


async def many(count):
    instance = summarizer.ConversationSummarizer(EchoClient())
    records = await asyncio.gather(*(instance.summarize_messages([{"role": "user", "content": f"n{i}"}])
                                      for i in range(count)))
    return [r["summary"] for r in records]


@pytest.mark.no_refleak  # asyncio.gather itself leaves a block per run here
@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("runner", ["asyncio", "uvloop", "threads"])
def test_many_runs_in_flight_each_get_their_own_record(runner):
    expected = [f"n{i}" for i in range(2000)]
    if runner == "asyncio":
        assert asyncio.run(many(2000)) == expected
    elif runner == "uvloop":
        assert pytest.importorskip("uvloop").run(many(2000)) == expected
    else:
        results = []
        threads = [threading.Thread(target=lambda: results.append(asyncio.run(many(300)))) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [expected[:300]] * 4


# ---- with the real logic functions -------------------------------------------

@pytest.mark.needs_logic
def test_end_to_end_with_the_real_functions(caplog):
    client = Client('```json\n{"goals": ["g"], "summary": "s"}\n```')
    record = run(client, [{"role": "user", "content": "hi"}])
    assert client.calls[0]["messages"][0]["content"].endswith("## Conversation to Summarize:\n[User]: hi")
    assert (record["goals"], record["summary"], list(record)[-1]) == (["g"], "s", "created_at")
    assert caplog.records == []


@pytest.mark.needs_logic
def test_empty_answer_with_the_real_fallback(caplog):
    record = run(Client(""), [{"role": "user", "content": "Fix the login page"}])
    assert record["goals"] == ["Fix the login page"]
    assert record["summary"] == "Conversation with 1 messages. Primary request: Fix the login page"
    assert logged(caplog) == [(LOGGER, "WARNING", "Empty response from summarizer LLM")]


@pytest.mark.needs_logic
def test_answer_that_is_not_json_is_kept_as_the_narrative(caplog):
    record = run(Client("not json"), [{"role": "user", "content": "hi"}])
    assert record["summary"] == "not json"
    assert logged(caplog) == [(LOGGER, "WARNING", "Could not parse summary JSON, using fallback")]
