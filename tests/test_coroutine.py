"""The coroutine object that summarize_messages returns, driven by hand and
by asyncio: state table, delegation, throw/close, finalization, GC."""

import asyncio
import copy
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import pytest

import korbix.core.summarizer as summarizer
from conftest import MESSAGES, Answer, Client, Steps, drive

pytestmark = pytest.mark.usefixtures("logic")


def suspended(values=("tick",), result=None):
    """A coroutine suspended on a Steps awaitable (after its first yield)."""
    steps = Steps(values, Answer("answer") if result is None else result)
    coroutine = summarizer.ConversationSummarizer(Client(awaitable=lambda kwargs: steps)).summarize_messages(MESSAGES)
    assert drive(coroutine) == ("yield", steps.values[0])
    return coroutine, steps


def fresh(client=None):
    return summarizer.ConversationSummarizer(client or Client()).summarize_messages(MESSAGES)


def test_types_are_closed_and_recognised_by_asyncio_only():
    coroutine = fresh()
    wrapper = coroutine.__await__()
    assert type(coroutine).__name__ == "coroutine" and "korbix.runtime.coroutine object" in repr(coroutine)
    assert "korbix.runtime.coroutine_wrapper object" in repr(wrapper)
    assert asyncio.iscoroutine(coroutine) and not inspect.iscoroutine(coroutine)
    for cls in (type(coroutine), type(wrapper)):
        for args in ((), (1,)):
            with pytest.raises(TypeError):
                cls(*args)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls.extra = 1
    with pytest.raises(TypeError):
        iter(coroutine)
    assert iter(wrapper) is wrapper and coroutine.__await__() is not wrapper
    assert weakref.ref(coroutine)() is coroutine
    with pytest.raises(TypeError):
        weakref.ref(wrapper)
    for operation in (pickle.dumps, copy.copy):
        for obj, full_name in ((coroutine, "korbix.runtime.coroutine"), (wrapper, "korbix.runtime.coroutine_wrapper")):
            with pytest.raises(TypeError, match=rf"^cannot pickle '{full_name}' object$"):
                operation(obj)
    coroutine.close()


def test_attributes_while_unstarted_and_after_finishing():
    coroutine = fresh()
    assert (coroutine.__name__, coroutine.__qualname__, coroutine.__module__) == (
        "summarize_messages", "ConversationSummarizer.summarize_messages", "korbix.core.summarizer")
    assert coroutine.cr_code is summarizer.ConversationSummarizer.summarize_messages.__code__
    assert coroutine.cr_frame is coroutine.cr_frame and coroutine.cr_frame.f_code is coroutine.cr_code
    assert coroutine.cr_await is None and coroutine.cr_running is False
    for attribute in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(coroutine, attribute, 3)
        with pytest.raises(TypeError):
            delattr(coroutine, attribute)
    coroutine.__name__ = "renamed"
    coroutine.__module__ = 3
    assert (coroutine.__name__, coroutine.__module__) == ("renamed", 3)
    del coroutine.__module__
    assert coroutine.__module__ is None
    asyncio.run(coroutine)
    for attribute in ("__name__", "__qualname__", "__module__", "cr_code", "cr_frame", "cr_await"):
        assert getattr(coroutine, attribute) is None


def test_first_send_must_be_none_and_finished_coroutine_cannot_be_reused():
    coroutine = fresh()
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$") as info:
        coroutine.send(1)
    assert info.value.__traceback__.tb_next.tb_frame.f_code.co_name == "summarize_messages"
    assert info.value.__traceback__.tb_next.tb_lineno == 62
    reuse = "^cannot reuse already awaited coroutine$"
    for operation in (lambda: coroutine.send(None), lambda: coroutine.throw(ValueError),
                      lambda: next(coroutine.__await__())):
        with pytest.raises(RuntimeError, match=reuse):
            operation()
    assert coroutine.close() is None

    async def await_twice(coroutine):
        await coroutine
        await coroutine

    with pytest.raises(RuntimeError, match=reuse):
        asyncio.run(await_twice(fresh()))


def test_unstarted_close_is_quiet_and_destruction_warns():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coroutine = fresh()
        assert coroutine.close() is None
        del coroutine
        gc.collect()
    with pytest.warns(RuntimeWarning) as record:
        fresh()
        gc.collect()
    assert [str(w.message) for w in record] == [
        "coroutine 'ConversationSummarizer.summarize_messages' was never awaited"]


def test_warning_turned_error_goes_to_unraisablehook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fresh()
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeWarning)
    assert type(seen[0].object).__name__ == "coroutine"


@pytest.mark.parametrize("args, message", [
    ((5,), "raise: exception class must be a subclass of BaseException"),
    ((ValueError("x"), 1), "instance exception may not have a separate value"),
    ((ValueError, None, 3), "raise: arg 3 must be a traceback or None"),
    ((type("NotAnException", (BaseException,), {"__new__": lambda cls: 7}),),
     r"calling <class '.*NotAnException'> should have returned an instance of BaseException, not <class 'int'>"),
])
def test_throw_with_bad_arguments_finishes_an_unstarted_coroutine(args, message):
    coroutine = fresh()
    with pytest.raises(TypeError, match=message):
        coroutine.throw(*args)
    assert coroutine.cr_code is None


@pytest.mark.parametrize("args, expected", [
    ((KeyError,), KeyError()),
    ((KeyError, "k"), KeyError("k")),
    ((KeyError, ("a", "b")), KeyError("a", "b")),
    ((KeyError, KeyError("same")), KeyError("same")),
    ((KeyError("inst"),), KeyError("inst")),
])
def test_throw_into_unstarted_raises_the_built_exception(args, expected):
    with pytest.raises(KeyError) as info:
        fresh().throw(*args)
    assert info.value.args == expected.args


def test_throw_argument_count_and_wrapper_forwarding():
    coroutine = fresh()
    with pytest.raises(TypeError, match="^throw expected at least 1 argument, got 0$"):
        coroutine.throw()
    with pytest.raises(TypeError, match="^throw expected at most 3 arguments, got 4$"):
        coroutine.__await__().throw(1, 2, 3, 4)
    with pytest.raises(KeyError):
        coroutine.__await__().throw(KeyError)
    assert coroutine.cr_code is None


def test_suspended_coroutine_passes_values_through_to_its_delegate():
    coroutine, steps = suspended(values=("a", "b"))
    assert coroutine.cr_await is not None and coroutine.cr_running is False
    assert drive(coroutine, "one") == ("yield", "b")
    kind, record = drive(coroutine, "two")
    assert kind == "return" and record["summary"] == "answer"
    assert steps.received == ["one", "two"]


def test_throw_reaches_the_delegate_first_and_is_then_handled(caplog):
    coroutine, steps = suspended()
    with pytest.raises(StopIteration) as info:
        coroutine.throw(ValueError("x"))
    assert [type(e) for e in steps.thrown] == [ValueError]
    assert info.value.value["summary"] == "fallback 2"
    assert [r.getMessage() for r in caplog.records] == ["Summarization failed: x"]


@pytest.mark.parametrize("how", ["throw", "close", "destroy"])
def test_leaving_a_suspended_coroutine_closes_its_delegate(how, caplog):
    coroutine, steps = suspended()
    if how == "throw":
        with pytest.raises(GeneratorExit):
            coroutine.throw(GeneratorExit)
    elif how == "close":
        assert coroutine.close() is None
    else:
        del coroutine
    assert steps.closed and steps.thrown == [] and caplog.records == []


def test_close_reports_a_failing_delegate_close(caplog):
    class CloseFails(Steps):
        def __await__(self):
            iterator = super().__await__()
            return types.SimpleNamespace(__next__=iterator.__next__, close=self.fail)

        def fail(self):
            raise OSError("close failed")

    class Iterator:
        def __init__(self, ns): self.ns = ns
        def __iter__(self): return self
        def __next__(self): return self.ns.__next__()
        def close(self): return self.ns.close()

    awaitable = types.SimpleNamespace(__await__=lambda: Iterator(CloseFails().__await__()))
    coroutine = fresh(Client(awaitable=lambda kwargs: awaitable))
    drive(coroutine)
    # The failure is an Exception, so the operation logs it and returns its
    # fallback record: a body that returns a value on close is reported.
    with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
        coroutine.close()
    assert [r.getMessage() for r in caplog.records] == ["Summarization failed: close failed"]


def test_reentry_is_refused_while_running(monkeypatch):
    observed = []

    def reenter(messages):
        observed.append(coroutine.cr_running)
        coroutine.send(None)

    monkeypatch.setattr(summarizer, "_format_messages_for_summary", reenter)
    coroutine = fresh()
    with pytest.raises(ValueError, match="^coroutine already executing$"):
        coroutine.send(None)
    assert observed == [True] and coroutine.cr_running is False


def test_stop_iteration_escaping_the_body_becomes_runtime_error(monkeypatch):
    monkeypatch.setattr(summarizer, "_format_messages_for_summary", lambda m: next(iter(())))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        fresh().send(None)
    assert isinstance(info.value.__cause__, StopIteration)


def test_return_values_reach_send_and_the_wrapper(monkeypatch):
    with monkeypatch.context() as patch, pytest.raises(StopIteration) as info:
        patch.setattr(summarizer, "_empty_summary", lambda: None)
        summarizer.ConversationSummarizer(Client()).summarize_messages([]).send(None)
    assert info.value.args == () and info.value.value is None
    wrapper = fresh(Client(awaitable=lambda kwargs: Steps(["y"], Answer("a")))).__await__()
    assert next(wrapper) == "y"
    with pytest.raises(StopIteration) as info:
        next(wrapper)
    assert info.value.value["summary"] == "a"


# ---- delegation to every kind of awaitable --------------------------------------

class IteratorOnly:
    """__await__ returns a plain iterator without the async send slot."""

    def __init__(self, result):
        self.result, self.sent = result, []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        if self.sent:
            raise StopIteration(self.result)
        self.sent.append(None)
        return "next"

    def send(self, value):
        self.sent.append(value)
        return self.__next__()


@types.coroutine
def generator_based(result):
    yield "gen"
    return result


async def native(result):
    await Steps(["native"])
    return result


def own_kind(result):
    return fresh(Client(awaitable=lambda kwargs: Steps(["own"], result)))


@pytest.mark.parametrize("make, first", [
    (native, "native"), (generator_based, "gen"), (IteratorOnly, "next"),
    (lambda answer: Steps(["plain"], answer), "plain"),
])
def test_every_kind_of_awaitable_is_driven_to_its_result(make, first):
    awaitable = make(Answer("delegated"))
    coroutine = fresh(Client(awaitable=lambda kwargs: awaitable))
    assert drive(coroutine) == ("yield", first)
    if make is native:
        assert coroutine.cr_await is not awaitable and coroutine.cr_await is not None
    kind, value = drive(coroutine, "sent")
    while kind == "yield":
        kind, value = drive(coroutine)
    assert value["summary"] == "delegated"
    if make is IteratorOnly:
        assert awaitable.sent == [None, "sent"]  # None by __next__, anything else by send()


def test_awaiting_a_coroutine_of_the_same_kind(caplog):
    inner = own_kind(Answer("inner"))
    outer = fresh(Client(awaitable=lambda kwargs: inner))
    assert drive(outer) == ("yield", "own")
    assert outer.cr_await is inner
    kind, record = drive(outer)
    # The inner record has no `content`: the outer operation falls back.
    assert kind == "return" and record["summary"] == "fallback 2"
    assert [r.getMessage() for r in caplog.records] == [
        "Summarization failed: 'dict' object has no attribute 'content'"]


def test_awaiting_a_coroutine_that_is_awaited_elsewhere_is_refused(caplog):
    inner = own_kind(Answer("x"))
    first = fresh(Client(awaitable=lambda kwargs: inner))
    drive(first)
    second = fresh(Client(awaitable=lambda kwargs: inner))
    assert drive(second)[1]["summary"] == "fallback 2"
    assert caplog.records[-1].getMessage() == "Summarization failed: coroutine is being awaited already"
    first.close()


def test_throw_and_close_reach_an_awaited_coroutine_of_the_same_kind(caplog):
    steps = Steps(["own"], Answer("inner"))
    inner = fresh(Client(awaitable=lambda kwargs: steps))
    outer = fresh(Client(awaitable=lambda kwargs: inner))
    drive(outer)
    with pytest.raises(StopIteration) as info:
        outer.throw(ValueError("t"))
    # The inner operation handles the error first; its record is no answer for the outer one.
    assert [type(e) for e in steps.thrown] == [ValueError] and info.value.value["summary"] == "fallback 2"
    assert [r.getMessage() for r in caplog.records] == [
        "Summarization failed: t", "Summarization failed: 'dict' object has no attribute 'content'"]

    inner = own_kind(Answer("x"))
    outer = fresh(Client(awaitable=lambda kwargs: inner))
    drive(outer)
    assert outer.close() is None and inner.cr_code is None and outer.cr_code is None


class NoThrowNoClose(IteratorOnly):
    def __getattr__(self, name):
        if name == "close":
            raise LookupError("close lookup")
        raise AttributeError(name)


def test_delegate_without_throw_or_with_failing_close_lookup(caplog, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    awaitable = NoThrowNoClose(Answer("x"))
    coroutine = fresh(Client(awaitable=lambda kwargs: awaitable))
    drive(coroutine)
    with pytest.raises(StopIteration):
        coroutine.throw(KeyError("k"))  # no `throw`: raised in the operation itself
    assert coroutine.cr_await is None and caplog.records[-1].getMessage() == "Summarization failed: 'k'"

    coroutine = fresh(Client(awaitable=lambda kwargs: NoThrowNoClose(Answer("x"))))
    drive(coroutine)
    assert coroutine.close() is None
    assert [type(u.exc_value) for u in unraisable] == [LookupError]
    assert isinstance(unraisable[0].object, NoThrowNoClose)


NATIVE_LEFTOVER = native(None)
NATIVE_LEFTOVER.close()  # never run: only returned by a bad __await__


@pytest.mark.parametrize("awaitable, message", [
    ("text", "object str can't be used in 'await' expression"),
    (types.SimpleNamespace(__await__=lambda: 5), "__await__() returned non-iterator of type 'int'"),
    (types.SimpleNamespace(__await__=lambda: NATIVE_LEFTOVER), "__await__() returned a coroutine"),
])
def test_unawaitable_results_are_logged(awaitable, message, caplog):
    kind, record = drive(fresh(Client(awaitable=lambda kwargs: awaitable)))
    assert kind == "return" and record["summary"] == "fallback 2"
    assert [r.getMessage() for r in caplog.records] == ["Summarization failed: " + message]


# ---- handled exceptions, GC and leaks ------------------------------------------

def test_handled_exception_is_the_body_own_and_the_caller_is_restored(monkeypatch):
    seen = []

    def fallback(messages):
        seen.append(sys.exception())
        return None

    monkeypatch.setattr(summarizer, "_fallback_summary", fallback)
    failing = Steps(["tick"], None)
    coroutine = fresh(Client(awaitable=lambda kwargs: failing))
    try:
        raise KeyError("caller")
    except KeyError as caller:
        drive(coroutine)
        kind, _ = drive(coroutine)  # Steps returns None: `content` is missing
        assert kind == "return" and sys.exception() is caller
    assert isinstance(seen[0], AttributeError)
    entry = seen[0].__traceback__
    assert entry.tb_frame.f_code.co_name == "korbix.core.summarizer.ConversationSummarizer.summarize_messages"
    assert (entry.tb_lineno, entry.tb_frame.f_code.co_filename) == (101, "korbix/core/summarizer.pyx")


@pytest.mark.parametrize("state", ["unstarted", "suspended"])
def test_reference_cycles_through_a_coroutine_are_collected(state):
    steps = Steps(["tick"], Answer("x"))
    client = Client(awaitable=lambda kwargs: steps)
    coroutine = fresh(client)
    if state == "suspended":
        drive(coroutine)
    client.cycle = coroutine  # coroutine -> scope -> summarizer -> client -> coroutine
    alive = weakref.ref(coroutine)
    del coroutine, client
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gc.collect()
    assert alive() is None
    assert steps.closed == (state == "suspended")


def run_each_way():
    """One finished, failed, cancelled, closed-unstarted and destroyed-while-suspended run."""
    asyncio.run(fresh())
    asyncio.run(fresh(Client(awaitable=lambda kwargs: Steps([None], None))))

    async def cancelled():
        task = asyncio.ensure_future(fresh(Client(awaitable=lambda kwargs: asyncio.Event().wait())))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(cancelled())
    fresh().close()
    coroutine, _ = suspended()
    del coroutine


def test_no_references_leak_over_many_runs(caplog):
    caplog.set_level("CRITICAL")
    for _ in range(30):
        run_each_way()
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), len(gc.get_objects())
    for _ in range(300):
        run_each_way()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    assert len(gc.get_objects()) - refs < 50
