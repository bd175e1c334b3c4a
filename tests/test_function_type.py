"""The function type seen from Python: attributes and their setters, binding, repr, pickling, GC."""

import copy
import gc
import inspect
import pickle
import warnings
import weakref

import pytest

import korbix.core.summarizer as s
from support import StrSub

C = s.ConversationSummarizer
FunctionType = type(s._brief_args)


@pytest.fixture
def func():
    """A module function whose attributes the test may change; restored afterwards."""
    f = s._parse_summary
    saved = {name: getattr(f, name) for name in ("__name__", "__qualname__", "__doc__", "__module__",
                                                 "__annotations__")}
    saved_dict = dict(f.__dict__)
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f.__defaults__ = None
        f.__kwdefaults__ = None
    for name, value in saved.items():
        setattr(f, name, value)
    f.__dict__.clear()
    f.__dict__.update(saved_dict)


@pytest.mark.parametrize("attr", ["__name__", "func_name", "__qualname__"])
def test_name_attributes_accept_only_strings(func, attr):
    message = ("__qualname__" if attr == "__qualname__" else "__name__") + " must be set to a string object"
    setattr(func, attr, "renamed")
    assert getattr(func, attr) == "renamed"
    setattr(func, attr, StrSub("sub"))
    for bad in (3, None, b"x"):
        with pytest.raises(TypeError, match=f"^{message}$"):
            setattr(func, attr, bad)
    with pytest.raises(TypeError, match=f"^{message}$"):
        delattr(func, attr)
    assert getattr(func, attr) == "sub"


def test_refusal_messages_keep_the_defined_name(func):
    func.__name__ = "other"
    with pytest.raises(TypeError, match=r"^_parse_summary\(\) takes exactly 1 positional argument \(0 given\)$"):
        func()


def test_doc_module_and_dict(func):
    func.__doc__ = 42
    assert func.__doc__ == 42 and func.func_doc == 42
    del func.__doc__
    assert func.__doc__ is None
    func.__module__ = 3
    assert func.__module__ == 3
    del func.__module__
    assert func.__module__ is None
    func.custom = "value"
    assert func.__dict__["custom"] == "value" and func.func_dict is func.__dict__
    func.__dict__ = {"other": 1}
    assert func.other == 1 and not hasattr(func, "custom")


@pytest.mark.parametrize("attr", ["__globals__", "func_globals", "__closure__", "func_closure", "__code__",
                                  "func_code", "_is_coroutine"])
def test_read_only_attributes(func, attr):
    before = getattr(func, attr)
    with pytest.raises(AttributeError):
        setattr(func, attr, None)
    assert getattr(func, attr) is before


@pytest.mark.parametrize("attr, accepted, message", [
    ("__defaults__", (1, 2), "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", {"a": 1}, "__kwdefaults__ must be set to a dict object"),
])
def test_reported_defaults(func, attr, accepted, message):
    warning_text = f"changes to cyfunction.{attr} will not currently affect the values used in function calls"
    with pytest.warns(RuntimeWarning) as record:
        setattr(func, attr, accepted)
    assert [str(w.message) for w in record] == [warning_text]
    assert getattr(func, attr) == accepted
    with pytest.raises(TypeError, match=f"^{message}$"):
        setattr(func, attr, [1])
    with pytest.warns(RuntimeWarning):
        delattr(func, attr)
    assert getattr(func, attr) is None


def test_defaults_assignment_does_not_change_calls():
    f = C.summarize_messages
    saved = f.__defaults__
    try:
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = ("changed",)
        assert f.__defaults__ == ("changed",)
        coro = C(None).summarize_messages([])
        coro.close()
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = saved


def test_defaults_warning_turned_error_changes_nothing(func):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            func.__defaults__ = (1,)
    assert func.__defaults__ is None


def test_annotations(func):
    original = func.__annotations__
    assert func.__annotations__ is original
    func.__annotations__ = None
    fresh = func.__annotations__
    assert fresh == {} and func.__annotations__ is fresh
    del func.__annotations__
    assert func.__annotations__ == {}
    with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
        func.__annotations__ = [("a", "b")]


def test_method_binding():
    instance = C(None)
    bound = instance.format_summary_for_context
    assert bound.__self__ is instance and bound.__func__ is C.__dict__["format_summary_for_context"]
    assert C.format_summary_for_context is C.__dict__["format_summary_for_context"]
    assert s._brief_args.__get__(None, C) is s._brief_args
    assert s._brief_args.__get__(instance, C).__self__ is instance
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        instance.format_summary_for_context()


# pickle's module search allocates caches of its own as it goes.
@pytest.mark.no_refleak
def test_repr_and_pickling():
    f = C.summarize_messages
    assert repr(f) == f"<cyfunction ConversationSummarizer.summarize_messages at {id(f):#x}>"
    assert f.__reduce__() == "ConversationSummarizer.summarize_messages"
    for func in (f, s._brief_args, C.__init__):
        assert pickle.loads(pickle.dumps(func)) is func
        assert copy.deepcopy(func) is func


def test_type_names_its_module_as_a_string():
    assert (FunctionType.__module__, FunctionType.__qualname__) == ("korbix.runtime", "cyfunction")
    assert repr(FunctionType) == "<class 'korbix.runtime.cyfunction'>"
    assert inspect.getmodule(s._brief_args) is s


def test_type_is_closed():
    with pytest.raises(TypeError):
        FunctionType()
    with pytest.raises(TypeError):
        class Sub(FunctionType):
            pass
    with pytest.raises(TypeError):
        FunctionType.extra = 1


def test_weak_references_and_gc():
    ref = weakref.ref(s._brief_args)
    assert ref() is s._brief_args
    # A cycle through a function's own attribute dict is collectable.
    holder = s._fallback_summary
    holder.cycle = [holder]
    gc.collect()
    del holder.cycle
    assert s._fallback_summary.__dict__ == {}
