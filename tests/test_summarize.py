"""The summarize operation: the request it sends, how it treats the answer,
what it logs, what it lets through, and runs in flight side by side."""

import asyncio
import gc
import threading

import pytest

import korbix.core.summarizer as summarizer
from conftest import MESSAGES, Answer, Client, Steps, drive, record_with

PROMPT = summarizer.SUMMARIZE_PROMPT
USER_REQUEST = "Summarize the conversation above. Return ONLY the JSON object."
TRANSCRIPT = "[user]: hi\n[assistant]: hello"
LOGGER = "korbix.summarizer"
REAL_PARSE_SUMMARY = summarizer._parse_summary


def run(client, messages=MESSAGES, existing_summary=None):
    return asyncio.run(summarizer.ConversationSummarizer(client).summarize_messages(messages, existing_summary))


def logged(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


def ends_at(error):
    """(name, file, line) of the module's innermost entry for an operation that ended."""
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("korbix/"):
            return code.co_name, tb.tb_lineno
        tb = tb.tb_next
    return None


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("existing, previous", [
    (None, ""), ("", ""), ("S", "\n\n\n## Previous Summary (build on this):\nS"),
])
def test_request_sent_to_the_client(existing, previous, caplog):
    client = Client()
    record = run(client, existing_summary=existing)
    assert record["summary"] == '{"summary": "ok"}' and caplog.records == []
    (kwargs,) = client.calls
    assert list(kwargs) == ["messages", "temperature", "max_tokens"]
    assert (type(kwargs["temperature"]), kwargs["temperature"], type(kwargs["max_tokens"]), kwargs["max_tokens"]) == (
        float, 0.2, int, 2048)
    system_text = PROMPT + previous + "\n\n\n## Conversation to Summarize:\n" + TRANSCRIPT
    assert kwargs["messages"] == [{"role": "system", "content": system_text}, {"role": "user", "content": USER_REQUEST}]
    assert [list(m) for m in kwargs["messages"]] == [["role", "content"]] * 2
    run(client, existing_summary=existing)
    assert client.calls[1]["messages"] is not kwargs["messages"]
    assert client.calls[1]["messages"][0] is not kwargs["messages"][0]


@pytest.mark.parametrize("existing", [None, "earlier"])
def test_empty_input_returns_a_fresh_empty_record(existing, caplog):
    client = Client()
    first, second = run(client, [], existing), run(client, [], existing)
    assert first == {**summarizer._empty_summary(), "created_at": first["created_at"]}
    assert first["goals"] is not second["goals"] and client.calls == [] and caplog.records == []


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("content", ["", None, 0])
def test_empty_answer_warns_and_falls_back(content, caplog):
    assert run(Client(content))["summary"] == "fallback 2"
    assert logged(caplog) == [(LOGGER, "WARNING", "Empty response from summarizer LLM")]


def test_true_content_is_read_twice(logic):
    reads = []

    class Counting:
        @property
        def content(self):
            reads.append(1)
            return "text"

    run(Client(awaitable=lambda kwargs: Steps([], Counting())))
    assert len(reads) == 2 and logic.parse == ["text"]


class DictSubclass(dict):
    pass


def raising(error):
    async def complete(**kwargs):
        raise error
    return complete


FAILURES = {
    "client error": (lambda c, s: setattr(c, "complete", raising(ConnectionError("boom"))), "boom"),
    "error without text": (lambda c, s: setattr(c, "complete", raising(Exception())), ""),
    "not awaitable": (lambda c, s: setattr(c, "complete", lambda **kw: "text"),
                      "object str can't be used in 'await' expression"),
    "no _llm": (lambda c, s: delattr(s, "_llm"), "'ConversationSummarizer' object has no attribute '_llm'"),
    "parse returns list": (lambda c, s: setattr(summarizer, "_parse_summary", lambda t: []),
                           "Expected dict, got list"),
    "parse returns subclass": (lambda c, s: setattr(summarizer, "_parse_summary", lambda t: DictSubclass()),
                               "Expected dict, got DictSubclass"),
    "no _parse_summary": (lambda c, s: delattr(summarizer, "_parse_summary"),
                          "name '_parse_summary' is not defined"),
    "prompt not text": (lambda c, s: setattr(summarizer, "SUMMARIZE_PROMPT", 5),
                        "sequence item 0: expected str instance, int found"),
}


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("name", FAILURES)
def test_failures_in_the_guarded_region_are_logged_and_fall_back(name, caplog, monkeypatch):
    setup, text = FAILURES[name]
    client = Client()
    instance = summarizer.ConversationSummarizer(client)
    monkeypatch.setattr(summarizer, "SUMMARIZE_PROMPT", PROMPT)  # restored after the run
    setup(client, instance)
    record = asyncio.run(instance.summarize_messages(MESSAGES))
    assert record["summary"] == "fallback 2"
    assert logged(caplog) == [(LOGGER, "ERROR", "Summarization failed: " + text)]


def test_non_text_content_is_refused_by_the_parser_binding(logic, monkeypatch, caplog):
    # The real _parse_summary: its binding refuses a non-str before any logic runs.
    monkeypatch.setattr(summarizer, "_parse_summary", REAL_PARSE_SUMMARY)
    monkeypatch.setattr(summarizer, "_fallback_summary", lambda messages: None)
    assert run(Client(["part"])) is None
    assert logged(caplog) == [(LOGGER, "ERROR", "Summarization failed: "
                               "Argument 'text' has incorrect type (expected str, got list)")]


ENDINGS = {
    "transcript fails": (lambda: setattr(summarizer, "_format_messages_for_summary", raising_sync(KeyError("k"))),
                         KeyError, 80),
    "no prompt": (lambda: delattr(summarizer, "SUMMARIZE_PROMPT"), NameError, 82),
    "transcript not formattable": (lambda: setattr(summarizer, "_format_messages_for_summary",
                                                   lambda m: Unformattable()), ZeroDivisionError, 89),
    "fallback fails in handler": (lambda: setattr(summarizer, "_fallback_summary", raising_sync(OSError("f"))),
                                  OSError, 109),
    "fallback returns list in handler": (lambda: setattr(summarizer, "_fallback_summary", lambda m: []),
                                         TypeError, 109),
    "no logger in handler": (lambda: delattr(summarizer, "logger"), NameError, 108),
}


def raising_sync(error):
    def function(*args):
        raise error
    return function


class Unformattable:
    def __format__(self, spec):
        raise ZeroDivisionError


@pytest.mark.usefixtures("logic")
@pytest.mark.parametrize("name", ENDINGS)
def test_failures_outside_the_region_end_the_operation(name, monkeypatch, caplog):
    setup, error_type, line = ENDINGS[name]
    monkeypatch.setattr(summarizer, "SUMMARIZE_PROMPT", PROMPT)
    monkeypatch.setattr(summarizer, "logger", summarizer.logger)
    setup()
    client = Client(awaitable=lambda kwargs: Steps([], None))  # no `content`: enters the handler
    with pytest.raises(error_type) as info:
        run(client)
    assert ends_at(info.value) == ("summarize_messages", line)
    if line >= 108:
        assert isinstance(info.value.__context__, AttributeError)
        assert info.value.__context__.__traceback__.tb_frame.f_code.co_name.endswith(
            "ConversationSummarizer.summarize_messages")
    else:
        assert client.calls == [] and caplog.records == []


def test_empty_input_result_is_checked(monkeypatch):
    monkeypatch.setattr(summarizer, "_empty_summary", lambda: [])
    with pytest.raises(TypeError, match="^Expected dict, got list$") as info:
        run(Client(), [])
    assert ends_at(info.value) == ("summarize_messages", 77)


@pytest.mark.usefixtures("logic")
def test_base_exceptions_pass_through_unlogged(caplog):
    client = Client()
    client.complete = raising(KeyboardInterrupt())
    coroutine = summarizer.ConversationSummarizer(client).summarize_messages(MESSAGES)
    with pytest.raises(KeyboardInterrupt) as info:
        coroutine.send(None)
    assert ends_at(info.value) == ("summarize_messages", 92) and caplog.records == []


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


SHUTDOWN_SCRIPT = """
import asyncio, gc
import korbix.core.summarizer as s
class Forever:
    def __await__(self):
        while True:
            yield None
class Client:
    def complete(self, **kwargs):
        return Forever()
instance = s.ConversationSummarizer(Client())
s._format_messages_for_summary = lambda m: "t"
kept = []
for _ in range(50):
    c = instance.summarize_messages([{}])
    c.send(None)
    kept.append(c)
cycle = instance.summarize_messages([{}])
cycle.send(None)
instance.cycle = cycle
class LoopClient:
    def complete(self, **kwargs):
        return asyncio.get_running_loop().create_future()
async def main():
    for _ in range(50):
        asyncio.ensure_future(s.ConversationSummarizer(LoopClient()).summarize_messages([{}]))
    # Tasks left pending on a loop that is never closed.
    await asyncio.sleep(0)
loop = asyncio.new_event_loop()
loop.run_until_complete(main())
print("exiting")
"""


def test_suspended_runs_left_at_interpreter_exit_do_not_crash(tmp_path):
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"


@pytest.mark.usefixtures("logic")
def test_rebinding_while_suspended(monkeypatch):
    client = Client(awaitable=lambda kwargs: Steps(["tick"], Answer("a")))
    instance = summarizer.ConversationSummarizer(client)
    coroutine = instance.summarize_messages(MESSAGES)
    drive(coroutine)
    instance._llm = None  # read before the await: no effect now
    monkeypatch.setattr(summarizer, "_parse_summary", lambda text: record_with(summary="rebound " + text))
    assert drive(coroutine)[1]["summary"] == "rebound a"


@pytest.mark.usefixtures("logic")
def test_arguments_are_left_untouched():
    messages = [{"role": "user", "content": "hi"}]
    snapshot = [dict(m) for m in messages]
    run(Client(), messages, "S")
    assert messages == snapshot


def test_refused_call_creates_no_coroutine():
    instance = summarizer.ConversationSummarizer(Client())
    gc.collect()
    before = sum(type(o).__name__ == "coroutine" for o in gc.get_objects())
    for args in [(None,), ([], 5)]:
        with pytest.raises(TypeError):
            instance.summarize_messages(*args)
    assert sum(type(o).__name__ == "coroutine" for o in gc.get_objects()) == before


# ---- many runs at once -------------------------------------------------------

class EchoClient:
    """Answers with the text of the conversation's first message, after a few loop turns."""

    async def complete(self, messages, temperature, max_tokens):
        for _ in range(3):
            await asyncio.sleep(0)
        return Answer(messages[0]["content"].rsplit(":", 1)[-1].strip())


async def many(count):
    instance = summarizer.ConversationSummarizer(EchoClient())
    records = await asyncio.gather(*(instance.summarize_messages([{"role": "user", "content": f"n{i}"}])
                                      for i in range(count)))
    return [r["summary"] for r in records]


@pytest.mark.usefixtures("logic")
def test_thousands_of_runs_on_one_loop():
    assert asyncio.run(many(3000)) == [f"n{i}" for i in range(3000)]


@pytest.mark.usefixtures("logic")
def test_runs_under_uvloop():
    uvloop = pytest.importorskip("uvloop")
    assert uvloop.run(many(500)) == [f"n{i}" for i in range(500)]


@pytest.mark.usefixtures("logic")
def test_loops_on_several_threads():
    results, errors = {}, []

    def worker(index):
        try:
            results[index] = asyncio.run(many(300))
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and all(r == [f"n{i}" for i in range(300)] for r in results.values())


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
