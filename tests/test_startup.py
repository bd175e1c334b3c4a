"""Import-time behaviour: namespace, constants, class, function objects, re-import, failures."""

import asyncio
import asyncio.coroutines
import builtins
import importlib
import inspect
import json
import logging
import sys
import time
import typing

import pytest

import korbix.core.summarizer as s
from support import SOURCE_FILE, run_python

C = s.ConversationSummarizer

NAMESPACE = [
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
    "json", "logging", "time", "Any", "logger", "SUMMARIZE_PROMPT", "ConversationSummarizer",
    "_format_messages_for_summary", "_brief_args", "_parse_summary", "_empty_summary",
    "_fallback_summary", "__test__",
]


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_namespace_names_in_binding_order():
    # Other tests rebind module names (which moves them in the dict): use a fresh import.
    result = run_python("import korbix.core.summarizer as s; print(list(vars(s)))")
    assert result.stdout.strip() == str(NAMESPACE)


def test_namespace_values():
    assert s.__builtins__ is builtins
    assert s.json is json and s.logging is logging and s.time is time and s.Any is typing.Any
    assert s.logger is logging.getLogger("korbix.summarizer")
    assert s.__test__ == {} and type(s.__test__) is dict
    assert s.__name__ == "korbix.core.summarizer"
    assert s.__package__ == "korbix.core"
    assert s.__file__ == s.__spec__.origin
    assert not hasattr(s, "__all__") and not hasattr(s, "__path__")


def test_module_docstring_exact():
    doc = s.__doc__
    assert len(doc) == 477 and len(doc.encode()) == 479
    lines = doc.split("\n")
    assert len(lines) == 11 and lines[-1] == ""
    assert lines[0] == "Conversation summarizer \u2014 compresses old messages into concise summaries."
    assert lines[1] == "" and lines[7] == ""
    assert lines[9] == "very long conversations that exceed the context window."


def test_prompt_exact():
    prompt = s.SUMMARIZE_PROMPT
    assert len(prompt) == 1476 and prompt.isascii() and prompt.endswith("\n")
    lines = prompt.split("\n")[:-1]
    assert len(lines) == 28
    assert lines[0] == "You are a conversation summarizer for an AI agent called Korbix."
    assert lines[15] == '  "goals": ["Primary goal 1", "Sub-goal 2"],'
    assert lines[22] == '  "summary": "One paragraph narrative summary of the entire conversation chunk"'
    assert lines[27] == "file paths, technical details, or user preferences."


def test_class_shape():
    assert type(C) is type and C.__mro__ == (C, object)
    assert C.__module__ == "korbix.core.summarizer" and C.__qualname__ == "ConversationSummarizer"
    assert C.__doc__ == "Summarizes conversation chunks to compress context."
    assert list(C.__dict__) == [
        "__module__", "__doc__", "__init__", "summarize_messages", "format_summary_for_context",
        "__dict__", "__weakref__",
    ]
    instance = C(None)
    assert instance.__dict__ == {"_llm": None}


FUNCTIONS = {
    # name: (object, qualname, argcount, varnames, flags, firstlineno, annotations, doc start)
    "__init__": (C.__init__, "ConversationSummarizer.__init__", 2, ("self", "llm_client"), 0x3, 58,
                 {"llm_client": "Any"}, "Initialize with an LLMClient instance."),
    "summarize_messages": (
        C.summarize_messages, "ConversationSummarizer.summarize_messages", 3,
        ("self", "messages", "existing_summary", "conv_text", "prompt_parts", "response", "e"), 0x83, 62,
        {"messages": "list[dict[str, Any]]", "existing_summary": "str | None", "return": "dict[str, Any]"},
        "Summarize a list of messages into a structured summary.\n"),
    "format_summary_for_context": (
        C.format_summary_for_context, "ConversationSummarizer.format_summary_for_context", 2,
        ("self", "summary", "parts", "g", "p", "d", "f", "b", "n"), 0x3, 111,
        {"summary": "dict[str, Any]", "return": "str"},
        "Format a structured summary as readable text for the system prompt."),
    "_format_messages_for_summary": (
        s._format_messages_for_summary, "_format_messages_for_summary", 1,
        ("messages", "lines", "msg", "role", "content", "tool_id", "tc", "name", "args", "args_brief"), 0x3, 161,
        {"messages": "list[dict[str, Any]]", "return": "str"},
        "Convert messages to a readable text format for the summarizer."),
    "_brief_args": (s._brief_args, "_brief_args", 1, ("args", "parts", "k", "v", "val_str"), 0x3, 199,
                    {"args": "dict", "return": "str"}, "Create a brief summary of tool arguments."),
    "_parse_summary": (s._parse_summary, "_parse_summary", 1,
                       ("text", "lines", "json_lines", "in_block", "line", "data"), 0x3, 210,
                       {"text": "str", "return": "dict[str, Any]"},
                       "Parse the LLM's JSON response into a summary dict."),
    "_empty_summary": (s._empty_summary, "_empty_summary", 0, (), 0x3, 260, {"return": "dict[str, Any]"}, None),
    "_fallback_summary": (s._fallback_summary, "_fallback_summary", 1,
                          ("messages", "goals", "progress", "msg", "content"), 0x3, 274,
                          {"messages": "list[dict[str, Any]]", "return": "dict[str, Any]"},
                          "Create a basic summary without LLM when summarization fails."),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    func, qualname, argcount, varnames, flags, firstlineno, annotations, doc = FUNCTIONS[name]
    assert func.__name__ == name and func.__qualname__ == qualname
    assert func.__module__ == "korbix.core.summarizer"
    assert func.__globals__ is vars(s)
    assert func.__kwdefaults__ is None and func.__closure__ is None
    assert func.__defaults__ == ((None,) if name == "summarize_messages" else None)
    assert list(func.__annotations__.items()) == list(annotations.items())
    if doc is None:
        assert func.__doc__ is None
    else:
        assert func.__doc__.startswith(doc)
    code = func.__code__
    assert (code.co_name, code.co_qualname) == (name, name)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert code.co_flags == flags and code.co_firstlineno == firstlineno
    assert code.co_freevars == () and code.co_cellvars == ()
    assert code.co_filename == SOURCE_FILE
    coroutine = name == "summarize_messages"
    assert asyncio.iscoroutinefunction(func) is coroutine
    assert inspect.iscoroutinefunction(func) is coroutine


def test_summarize_messages_docstring_keeps_indentation():
    lines = C.summarize_messages.__doc__.split("\n")
    assert len(lines) == 9
    assert lines[1] == "" and lines[5] == ""
    assert lines[2] == " " * 8 + "Args:" and lines[6] == " " * 8 + "Returns:"
    assert lines[3].startswith(" " * 12 + "messages:") and lines[4].startswith(" " * 12 + "existing_summary:")
    assert lines[7] == " " * 12 + "A structured summary dict with goals, progress, etc."
    assert lines[8] == " " * 8


def test_coroutine_mark():
    mark = C.summarize_messages._is_coroutine
    assert mark is asyncio.coroutines._is_coroutine
    assert C.summarize_messages._is_coroutine is mark
    assert all(f._is_coroutine is False for n, (f, *_rest) in FUNCTIONS.items() if n != "summarize_messages")


@pytest.mark.no_refleak  # a fresh interpreter per run
@pytest.mark.parametrize("error, first, later", [
    ("LookupError('no asyncio')", "True", "True"),  # an Exception: True instead, and kept
    ("KeyboardInterrupt()", "KeyboardInterrupt", "mark"),  # an interrupt: raised, and the next read retries
    ("MemoryError()", "MemoryError", "mark"),  # not lost either
])
def test_coroutine_mark_when_its_import_fails(error, first, later):
    result = run_python(f"""
        import sys
        import korbix.core.summarizer as s
        assert "asyncio" not in sys.modules

        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "asyncio":
                    sys.meta_path.remove(self)
                    raise {error}

        def read():
            try:
                mark = s.ConversationSummarizer.summarize_messages._is_coroutine
            except BaseException as error:
                return type(error).__name__
            import asyncio.coroutines
            return "mark" if mark is asyncio.coroutines._is_coroutine else repr(mark)

        sys.meta_path.insert(0, Refuse())
        print(read(), read())
    """)
    assert result.stdout.split() == [first, later]


def test_signature_and_type_hints():
    sig = inspect.signature(C.summarize_messages)
    assert str(sig) == "(self, messages: 'list[dict[str, Any]]', existing_summary: 'str | None' = None) -> 'dict[str, Any]'"
    hints = typing.get_type_hints(C.summarize_messages)
    assert hints == {"messages": list[dict[str, typing.Any]], "existing_summary": str | None,
                     "return": dict[str, typing.Any]}
    assert str(inspect.signature(s._empty_summary)) == "() -> 'dict[str, Any]'"


@pytest.mark.no_refleak  # the import system keeps caches of its own
def test_reimport_returns_the_same_module(monkeypatch):
    logger = s.logger
    monkeypatch.delitem(sys.modules, "korbix.core.summarizer")
    again = importlib.import_module("korbix.core.summarizer")
    assert again is s and again.logger is logger and again.ConversationSummarizer is C


def test_reload_keeps_rebound_names(monkeypatch):
    replacement = logging.getLogger("korbix.test.replacement")
    monkeypatch.setattr(s, "logger", replacement)
    assert importlib.reload(s) is s
    assert s.logger is replacement


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_failed_import_reports_line_and_a_later_import_runs_the_body():
    run_python(
        """
        import sys, traceback
        sys.modules["json"] = None
        try:
            import korbix.core.summarizer
        except ImportError as exc:
            entries = [(f.f_code.co_name, f.f_code.co_filename, line) for f, line in traceback.walk_tb(exc.__traceback__)]
            assert ("init korbix.core.summarizer", "korbix/core/summarizer.pyx", 15) in entries, entries
        else:
            raise AssertionError("import should fail")
        assert "korbix.core.summarizer" not in sys.modules
        del sys.modules["json"]
        import korbix.core.summarizer as s
        import json
        assert s.json is json and callable(s._empty_summary)
        """
    )


@pytest.mark.no_refleak  # a fresh interpreter per run
@pytest.mark.parametrize(
    "setup, line, error",
    [
        ("import types; sys.modules['typing'] = types.ModuleType('typing')", 18, "cannot import name Any"),
        ("import logging\ndef boom(name): raise LookupError('no logger')\nlogging.getLogger = boom", 20, "no logger"),
        ("import logging; sys.modules['time'] = None", 17, "halted"),
    ],
)
def test_failed_import_steps(setup, line, error):
    run_python(
        f"""
        import sys, traceback
        exec({setup!r})
        try:
            import korbix.core.summarizer
        except Exception as exc:
            assert {error!r} in str(exc), exc
            entries = [(f.f_code.co_name, line) for f, line in traceback.walk_tb(exc.__traceback__)
                       if f.f_code.co_filename == "korbix/core/summarizer.pyx"]
            assert entries == [("init korbix.core.summarizer", {line})], entries
            assert "korbix.core.summarizer" not in sys.modules
        else:
            raise AssertionError("import should fail")
        """
    )


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_second_module_object_refuses_exec():
    run_python(
        """
        import importlib.util
        spec = importlib.util.find_spec("korbix.core.summarizer")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            assert str(exc) == "Module 'summarizer' has already been imported. Re-initialisation is not supported."
        else:
            raise AssertionError("second exec should fail")
        # Once initialised, every create step hands out the same module.
        assert importlib.util.module_from_spec(spec) is first
        """
    )


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_loaded_under_another_name():
    run_python(
        """
        import importlib.util, importlib.machinery, sys
        origin = importlib.util.find_spec("korbix.core.summarizer").origin
        loader = importlib.machinery.ExtensionFileLoader("summarizer", origin)
        spec = importlib.util.spec_from_file_location("summarizer", origin, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["korbix.core.summarizer"] is module
        assert module.__name__ == "summarizer"
        assert module.ConversationSummarizer.__module__ == "korbix.core.summarizer"
        assert module._brief_args.__module__ == "korbix.core.summarizer"
        """
    )


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_second_interpreter_is_refused():
    result = run_python(
        """
        import korbix.core.summarizer
        try:
            import _interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
        interp = _interpreters.create("legacy")
        try:
            excinfo = _interpreters.exec(interp, "import korbix.core.summarizer")
        finally:
            _interpreters.destroy(interp)
        print(excinfo.msg if excinfo else "no error")
        """
    )
    if result.stdout.strip() == "SKIP":
        pytest.skip("no _interpreters module")
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in result.stdout


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_entries_of_a_repeated_failed_import_name_the_new_namespace():
    # Each failed import runs on a new module object; its entry's frame must
    # show that module's namespace, not the one of an earlier attempt, and
    # the earlier half-built namespaces must not pile up.
    run_python(
        """
        import gc, sys, traceback
        attempts = []

        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "json":
                    attempts.append(sys.modules["korbix.core.summarizer"].__dict__)
                    raise LookupError("no json")

        sys.modules.pop("json", None)
        sys.meta_path.insert(0, Finder())

        def failed_import_globals():
            try:
                import korbix.core.summarizer
            except LookupError as exc:
                frames = [f for f, _ in traceback.walk_tb(exc.__traceback__)
                          if f.f_code.co_filename == "korbix/core/summarizer.pyx"]
                return frames[0].f_globals
            raise AssertionError("import should fail")

        for _ in range(3):
            assert failed_import_globals() is attempts[-1]
        attempts.clear()
        for _ in range(50):
            failed_import_globals()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(500):
            failed_import_globals()
        attempts.clear()
        gc.collect()
        assert sys.getallocatedblocks() - before < 200, sys.getallocatedblocks() - before
        """
    )


@pytest.mark.no_refleak  # a fresh interpreter per run
def test_failed_import_under_another_name_leaves_no_entry_under_the_module_name():
    # The entry that the exec step itself added must not outlive a failed
    # exec: otherwise a later import would hand out the half-built module.
    run_python(
        """
        import importlib.util, importlib.machinery, sys
        origin = importlib.util.find_spec("korbix.core.summarizer").origin
        loader = importlib.machinery.ExtensionFileLoader("summarizer", origin)
        spec = importlib.util.spec_from_file_location("summarizer", origin, loader=loader)
        sys.modules["json"] = None
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError:
            pass
        else:
            raise AssertionError("exec should fail")
        assert "korbix.core.summarizer" not in sys.modules
        # An entry that was there before the exec step is left alone.
        sys.modules["korbix.core.summarizer"] = placeholder = object()
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError:
            pass
        assert sys.modules.pop("korbix.core.summarizer") is placeholder
        del sys.modules["json"]
        import korbix.core.summarizer as s
        assert callable(s._empty_summary) and s is not module
        """
    )
