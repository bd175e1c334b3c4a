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
from support import MESSAGES, SOURCE_FILE, SUMMARIZE, Answer, Client, Steps, drive

pytestmark = pytest.mark.usefixtures("logic")
REUSE = "^cannot reuse already awaited coroutine$"


def fresh(client=None):
    return summarizer.ConversationSummarizer(client or Client()).summarize_messages(MESSAGES)


def suspended_on(awaitable):
    coroutine = fresh(Client(awaitable=lambda kwargs: awaitable))
    assert drive(coroutine)[0] == "yield"
    return coroutine


def messages(caplog):
    return [r.getMessage() for r in caplog.records]


def test_types_attributes_and_pickling():
    coroutine = fresh()
    wrapper = coroutine.__await__()
    assert "<korbix.runtime.coroutine object at" in repr(coroutine)
    assert asyncio.iscoroutine(coroutine) and not inspect.iscoroutine(coroutine)
    for cls in (type(coroutine), type(wrapper)):
        for make in (lambda: cls(), lambda: cls(1), lambda: type("Sub", (cls,), {}), lambda: setattr(cls, "x", 1)):
            with pytest.raises(TypeError):
                make()
    with pytest.raises(TypeError):
        iter(coroutine)
    assert iter(wrapper) is wrapper and coroutine.__await__() is not wrapper
    assert weakref.ref(coroutine)() is coroutine
    with pytest.raises(TypeError):
        weakref.ref(wrapper)
    for obj, name in ((coroutine, "coroutine"), (wrapper, "coroutine_wrapper")):
        # The full name as tools build it from the type: a module string, like any class's.
        cls = type(obj)
        assert (cls.__module__, cls.__qualname__) == ("korbix.runtime", name)
        assert repr(cls) == f"<class '{cls.__module__}.{cls.__qualname__}'>"
        for operation in (pickle.dumps, copy.copy):
            with pytest.raises(TypeError, match=f"^cannot pickle '{cls.__module__}.{cls.__qualname__}' object$"):
                operation(obj)

    assert (coroutine.__name__, coroutine.__qualname__, coroutine.__module__) == (
        "summarize_messages", "ConversationSummarizer.summarize_messages", "korbix.core.summarizer")
    assert inspect.getmodule(coroutine) is summarizer
    assert coroutine.cr_code is summarizer.ConversationSummarizer.summarize_messages.__code__
    assert coroutine.cr_frame is coroutine.cr_frame and coroutine.cr_frame.f_code is coroutine.cr_code
    assert coroutine.cr_await is None and coroutine.cr_running is False
    for attribute in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(coroutine, attribute, 3)
        with pytest.raises(TypeError):
            delattr(coroutine, attribute)
    coroutine.__module__ = 3
    assert coroutine.__module__ == 3
    del coroutine.__module__
    assert coroutine.__module__ is None

    asyncio.run(coroutine)
    for attribute in ("__name__", "__qualname__", "__module__", "cr_code", "cr_frame", "cr_await"):
        assert getattr(coroutine, attribute) is None


def test_first_value_must_be_none_and_a_finished_coroutine_stays_finished():
    coroutine = fresh()
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$") as info:
        coroutine.send(1)
    entry = info.value.__traceback__.tb_next
    assert (entry.tb_frame.f_code.co_name, entry.tb_lineno) == ("summarize_messages", 62)
    for operation in (lambda: coroutine.send(None), lambda: coroutine.throw(ValueError),
                      lambda: next(coroutine.__await__())):
        with pytest.raises(RuntimeError, match=REUSE):
            operation()
    assert coroutine.close() is None

    async def await_twice(coroutine):
        await coroutine
        await coroutine

    with pytest.raises(RuntimeError, match=REUSE):
        asyncio.run(await_twice(fresh()))


# Not repeatable in the reference-leak mode: hook arguments kept in a list
# form a cycle through an untracked structseq that CPython never frees
# (a Python coroutine leaks the same way).
@pytest.mark.no_refleak
def test_never_awaited_warning(monkeypatch):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fresh().close()  # closed first: no warning
        gc.collect()
    with pytest.warns(RuntimeWarning) as record:
        fresh()
    assert [str(w.message) for w in record] == [
        "coroutine 'ConversationSummarizer.summarize_messages' was never awaited"]
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fresh()
    assert [(type(u.exc_value), type(u.object).__name__) for u in unraisable] == [(RuntimeWarning, "coroutine")]


NotAnException = type("NotAnException", (BaseException,), {"__new__": lambda cls: 7})


@pytest.mark.parametrize("args, raised, detail", [
    ((KeyError,), KeyError, ()),
    ((KeyError, "k"), KeyError, ("k",)),
    ((KeyError, ("a", "b")), KeyError, ("a", "b")),
    ((KeyError, KeyError("same")), KeyError, ("same",)),
    ((KeyError("inst"),), KeyError, ("inst",)),
    ((5,), TypeError, "raise: exception class must be a subclass of BaseException"),
    ((ValueError("x"), 1), TypeError, "instance exception may not have a separate value"),
    ((ValueError, None, 3), TypeError, "raise: arg 3 must be a traceback or None"),
    ((NotAnException,), TypeError,
     "calling <class 'test_coroutine.NotAnException'> should have returned an instance of BaseException, "
     "not <class 'int'>"),
])
def test_throw_into_an_unstarted_coroutine_finishes_it(args, raised, detail):
    coroutine = fresh()
    with pytest.raises(raised) as info:
        coroutine.throw(*args)
    assert (info.value.args if isinstance(detail, tuple) else str(info.value)) == detail
    assert coroutine.cr_code is None
    for arg in args:  # an instance raised again would grow its traceback
        if isinstance(arg, BaseException):
            arg.__traceback__ = None


def test_throw_argument_count_and_wrapper_forwarding():
    coroutine = fresh()
    with pytest.raises(TypeError, match="^throw expected at least 1 argument, got 0$"):
        coroutine.throw()
    with pytest.raises(TypeError, match="^throw expected at most 3 arguments, got 4$"):
        coroutine.__await__().throw(1, 2, 3, 4)
    with pytest.raises(KeyError):
        coroutine.__await__().throw(KeyError)
    assert coroutine.cr_code is None


def test_suspended_coroutine_forwards_sends_and_throws_to_its_delegate(caplog):
    steps = Steps(["a", "b"], Answer("answer"))
    coroutine = suspended_on(steps)
    assert coroutine.cr_await is not None and coroutine.cr_running is False
    assert drive(coroutine, "one") == ("yield", "b")
    assert drive(coroutine, "two")[1]["summary"] == "answer" and steps.received == ["one", "two"]

    steps = Steps(["a"])
    coroutine = suspended_on(steps)
    with pytest.raises(StopIteration) as info:
        coroutine.throw(ValueError("x"))
    assert [type(e) for e in steps.thrown] == [ValueError] and info.value.value["summary"] == "fallback 2"
    assert messages(caplog) == ["Summarization failed: x"]


@pytest.mark.parametrize("how", ["throw", "close", "destroy"])
def test_leaving_a_suspended_coroutine_closes_its_delegate(how, caplog):
    steps = Steps(["a"])
    coroutine = suspended_on(steps)
    if how == "throw":
        with pytest.raises(GeneratorExit):
            coroutine.throw(GeneratorExit)
    elif how == "close":
        assert coroutine.close() is None
    else:
        del coroutine
    assert steps.closed and steps.thrown == [] and caplog.records == []


class IteratorOnly:
    """__await__ returns a plain iterator, without the async send slot."""

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


class Quirky(IteratorOnly):
    """No `throw`; `close` fails, or fails to be looked up."""

    lookup_fails = False

    def __getattr__(self, name):
        if name == "close":
            if self.lookup_fails:
                raise LookupError("lookup")
            return self.fail
        raise AttributeError(name)

    def fail(self):
        raise OSError("close failed")


# Not repeatable in the reference-leak mode: hook arguments kept in a list
# form a cycle through an untracked structseq that CPython never frees
# (a Python coroutine leaks the same way).
@pytest.mark.no_refleak
def test_delegates_without_throw_or_with_failing_close(caplog, monkeypatch):
    coroutine = suspended_on(Quirky(Answer("x")))
    with pytest.raises(StopIteration):
        coroutine.throw(KeyError("k"))  # without `throw` the error is raised in the operation itself
    assert messages(caplog) == ["Summarization failed: 'k'"]
    # A StopIteration is no exception of its own there: a failure like any other.
    coroutine = suspended_on(Quirky(Answer("x")))
    with pytest.raises(StopIteration):
        coroutine.throw(StopIteration("thrown"))
    assert messages(caplog)[-1] == "Summarization failed: thrown"

    # A failing close is an Exception: the operation logs it and returns its
    # fallback record, which close() returns.
    coroutine = suspended_on(Quirky(Answer("x")))
    assert coroutine.close()["summary"] == "fallback 2"
    assert messages(caplog)[-1] == "Summarization failed: close failed"

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    quirky = Quirky(Answer("x"))
    quirky.lookup_fails = True
    assert suspended_on(quirky).close() is None
    assert [(type(u.exc_value), u.object) for u in unraisable] == [(LookupError, quirky)]


async def closes_its_session():
    """A client call whose `finally` awaits, as one that closes its session
    does: the await yields, so closing the call fails."""
    try:
        await Steps(["waiting for the model"])
    finally:
        await Steps(["closing the session"])


@pytest.mark.parametrize("how", ["close", "destroy"])
def test_a_client_that_awaits_while_closed_ends_in_the_fallback_record(how, caplog, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda hook_args: reported.append(repr(hook_args.exc_value)))
    coroutine = suspended_on(closes_its_session())
    if how == "close":
        assert coroutine.close()["summary"] == "fallback 2"
    else:
        del coroutine
        gc.collect()
    assert messages(caplog) == ["Summarization failed: coroutine ignored GeneratorExit"] and reported == []


def test_inspect_follows_the_state_through_a_run(monkeypatch):
    states = []

    def note_state():
        states.append((inspect.getcoroutinestate(coroutine), coroutine.cr_suspended))

    class Probe:
        def __await__(self):
            yield "tick"
            note_state()
            return Answer("done")

    monkeypatch.setattr(summarizer, "_format_messages_for_summary", lambda messages: note_state() or "transcript")
    coroutine = fresh(Client(awaitable=lambda kwargs: Probe()))
    note_state()
    assert drive(coroutine) == ("yield", "tick")
    note_state()
    assert drive(coroutine)[1]["summary"] == "done"
    note_state()
    assert states == [(inspect.CORO_CREATED, False), (inspect.CORO_RUNNING, False), (inspect.CORO_SUSPENDED, True),
                      (inspect.CORO_RUNNING, False), (inspect.CORO_CLOSED, False)]


def test_origin_follows_the_tracking_depth():
    depth = sys.get_coroutine_origin_tracking_depth()
    try:
        sys.set_coroutine_origin_tracking_depth(0)
        untracked = fresh()
        sys.set_coroutine_origin_tracking_depth(2)
        tracked, line = fresh(), sys._getframe().f_lineno
    finally:
        sys.set_coroutine_origin_tracking_depth(depth)
    assert untracked.close() is None and untracked.cr_origin is None
    code = fresh.__code__
    assert tracked.cr_origin == ((code.co_filename, code.co_firstlineno + 1, "fresh"),
                                 (code.co_filename, line, "test_origin_follows_the_tracking_depth"))
    # Never awaited, it says where it was made, innermost call last.
    with pytest.warns(RuntimeWarning) as record:
        del tracked
    text = str(record[0].message)
    assert text.startswith("coroutine 'ConversationSummarizer.summarize_messages' was never awaited\n"
                           "Coroutine created at (most recent call last)\n")
    assert text.index(f"line {line}, in test_origin") < text.index("in fresh")


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

@types.coroutine
def generator_based(result):
    yield "gen"
    return result


async def native(result):
    await Steps(["native"])
    return result


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
        assert awaitable.sent == [None, "sent"]  # None through __next__, anything else through send()


def test_awaiting_a_coroutine_of_the_same_kind(caplog):
    steps = Steps(["own"], Answer("inner"))
    inner = fresh(Client(awaitable=lambda kwargs: steps))
    outer = suspended_on(inner)
    assert outer.cr_await is inner
    with pytest.raises(StopIteration) as info:
        outer.throw(ValueError("t"))
    # The inner operation handles the error first; its record is no answer for the outer one.
    assert [type(e) for e in steps.thrown] == [ValueError] and info.value.value["summary"] == "fallback 2"
    assert messages(caplog) == ["Summarization failed: t",
                                "Summarization failed: 'dict' object has no attribute 'content'"]

    inner = fresh(Client(awaitable=lambda kwargs: Steps(["own"])))
    outer = suspended_on(inner)
    assert drive(fresh(Client(awaitable=lambda kwargs: inner)))[1]["summary"] == "fallback 2"
    assert messages(caplog)[-1] == "Summarization failed: coroutine is being awaited already"
    assert outer.close() is None and inner.cr_code is None


def test_a_native_coroutine_that_another_awaiter_drives_is_refused(caplog):
    async def shared_answer():
        return await Steps(["tick"], Answer('{"summary": "theirs"}'))

    shared = shared_answer()
    assert shared.send(None) == "tick"  # its own awaiter now waits in it
    assert drive(fresh(Client(awaitable=lambda kwargs: shared)))[1]["summary"] == "fallback 2"
    assert messages(caplog) == ["Summarization failed: coroutine is being awaited already"]
    with pytest.raises(StopIteration) as info:
        shared.send(None)
    assert info.value.value.content == '{"summary": "theirs"}'  # its awaiter still gets its result


NATIVE_LEFTOVER = native(None)
NATIVE_LEFTOVER.close()  # never run: only returned by a bad __await__


@pytest.mark.parametrize("awaitable, message", [
    ("text", "object str can't be used in 'await' expression"),
    (types.SimpleNamespace(__await__=lambda: 5), "__await__() returned non-iterator of type 'int'"),
    (types.SimpleNamespace(__await__=lambda: NATIVE_LEFTOVER), "__await__() returned a coroutine"),
])
def test_unawaitable_results_are_logged(awaitable, message, caplog):
    assert drive(fresh(Client(awaitable=lambda kwargs: awaitable)))[1]["summary"] == "fallback 2"
    assert messages(caplog) == ["Summarization failed: " + message]


def test_unawaitable_source_that_changes_class_while_looked_up(caplog):
    # Looking up `__await__` runs the object's __getattr__, which moves it to
    # another class and lets the old one be collected: the refusal must name
    # the class the object has now, not read the freed one.
    class Settled:
        pass

    def make():
        class Vanishing:
            def __getattr__(self, name):
                self.__class__ = Settled
                gc.collect()
                raise AttributeError(name)
        return Vanishing()

    sources = [make()]
    assert drive(fresh(Client(awaitable=lambda kwargs: sources.pop())))[1]["summary"] == "fallback 2"
    assert messages(caplog) == ["Summarization failed: object Settled can't be used in 'await' expression"]


# ---- handled exceptions, GC and leaks ------------------------------------------

def test_handled_exception_is_the_body_own_and_the_caller_is_restored(monkeypatch):
    seen = []
    monkeypatch.setattr(summarizer, "_fallback_summary", lambda messages: seen.append(sys.exception()))
    coroutine = suspended_on(Steps(["tick"], None))  # the awaited result has no `content`
    try:
        raise KeyError("caller")
    except KeyError as caller:
        assert drive(coroutine) == ("return", None) and sys.exception() is caller
    assert isinstance(seen[0], AttributeError)
    entry = seen[0].__traceback__
    assert entry.tb_frame.f_code.co_name == SUMMARIZE
    assert (entry.tb_lineno, entry.tb_frame.f_code.co_filename) == (101, SOURCE_FILE)


@pytest.mark.parametrize("state", ["unstarted", "suspended"])
def test_reference_cycles_through_a_coroutine_are_collected(state):
    steps = Steps(["tick"])
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
    assert alive() is None and steps.closed == (state == "suspended")


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
    suspended_on(Steps(["a"]))


def test_no_references_leak_over_many_runs(caplog):
    caplog.set_level("CRITICAL")
    for _ in range(30):
        run_each_way()
    gc.collect()
    blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
    for _ in range(300):
        run_each_way()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200 and len(gc.get_objects()) - objects < 50


def test_a_second_thread_is_refused_while_the_body_has_released_the_lock(monkeypatch):
    import threading

    entered, release = threading.Event(), threading.Event()

    def blocking(messages):
        entered.set()
        release.wait(10)  # waits without the interpreter lock
        return "transcript"

    monkeypatch.setattr(summarizer, "_format_messages_for_summary", blocking)
    coroutine = fresh()
    outcome = []
    runner = threading.Thread(target=lambda: outcome.append(drive(coroutine)[0]))
    runner.start()
    try:
        assert entered.wait(10)
        refused = []
        for operation in (lambda: coroutine.send(None), lambda: coroutine.throw(KeyError),
                          coroutine.close, lambda: coroutine.__await__().send(None)):
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                operation()
            refused.append(coroutine.cr_running)
        assert refused == [True] * 4
    finally:
        release.set()
        runner.join(10)
    assert outcome == ["yield"] and coroutine.cr_running is False
    assert drive(coroutine)[0] == "return"


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_coroutines_awaiting_each_other_without_end_hit_the_recursion_limit():
    # Each client call returns a further coroutine of the module, so every
    # level's first send starts the next level inside it: the chain must stop
    # at the recursion limit (the innermost operations log the error and fall
    # back), not overflow the C stack. The chain runs on a thread with a large
    # stack, which the limit fits also in a sanitizer build's larger frames.
    from support import run_python

    result = run_python("""
        import logging, threading
        import korbix.core.summarizer as s
        failures = []
        logging.getLogger("korbix.summarizer").error = failures.append
        s._format_messages_for_summary = lambda messages: "transcript"
        s._fallback_summary = lambda messages: {"summary": "fallback"}

        class Chain:
            def complete(self, **kwargs):
                return s.ConversationSummarizer(Chain()).summarize_messages([{}])

        def run():
            try:
                s.ConversationSummarizer(Chain()).summarize_messages([{}]).send(None)
            except StopIteration as stop:
                print(stop.value, any("recursion" in text for text in failures))

        threading.stack_size(64 << 20)
        runner = threading.Thread(target=run)
        runner.start()
        runner.join()
    """, check=False)
    assert (result.returncode, result.stdout.strip()) == (0, "{'summary': 'fallback'} True"), result.stderr[-2000:]
