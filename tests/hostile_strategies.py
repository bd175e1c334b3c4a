"""Hypothesis strategies for hostile inputs, and the harness that runs one
input through the native module and the plain-Python reference.

A strategy draws a *plan*: plain, printable data that says what to build
(`("hostile", "obj", inner, actions)`, `("list", [...])`, ...). `build` turns
a plan into fresh objects, once for each side, so both sides see equal
inputs whose own code (``get``, ``__eq__``, ``__format__``, ``__len__``,
``__bool__``, slicing, ``__str__``, iteration) may raise or mutate the
containers being walked. Every protocol call on a hostile object is written
to the world's trace; the two sides must leave equal traces, equal inputs
afterwards and equal outcomes.
"""

from __future__ import annotations

import gc
import math
import weakref
from typing import Any

from hypothesis import strategies as st

from korbix_summarizer.schema import SUMMARY_KEYS
from support import without_time


class Escape(BaseException):
    """Raised by hostile code: no `except Exception` may swallow it."""


RAISABLE = {
    "ValueError": ValueError,
    "KeyError": KeyError,
    "TypeError": TypeError,
    "RuntimeError": RuntimeError,
    "StopIteration": StopIteration,
    "RecursionError": RecursionError,
    "Escape": Escape,
}


class World:
    """What one build shares: the trace of protocol calls, the containers
    that hostile code may mutate, and weak references for the leak check."""

    def __init__(self) -> None:
        self.trace: list[tuple[int, str]] = []
        self.containers: list[Any] = []
        self.weak: list[weakref.ref] = []
        self.labels = 0
        self.building = True  # hostile code stays quiet while inputs are built

    def label(self) -> int:
        self.labels += 1
        return self.labels

    def watch(self, obj: Any) -> None:
        self.weak.append(weakref.ref(obj))


class Acting:
    """Mixin: runs the planned action when a protocol method is called."""

    def _setup(self, world: World, label: int, actions: tuple) -> None:
        object.__setattr__(self, "_world", world)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_actions", actions)
        object.__setattr__(self, "_calls", {})

    def _act(self, method: str) -> None:
        world = self._world
        if world.building:
            return
        count = self._calls.get(method, 0)
        self._calls[method] = count + 1
        world.trace.append((self._label, method))
        for name, when, effect in self._actions:
            if name == method and (when == count or when < 0):
                apply_effect(world, effect)


def apply_effect(world: World, effect: tuple) -> None:
    kind = effect[0]
    if kind == "raise":
        raise RAISABLE[effect[1]](effect[2])
    if kind == "collect":
        gc.collect()
        return
    if not world.containers:
        return
    target = world.containers[effect[1] % len(world.containers)]
    if isinstance(target, list):
        if kind == "clear":
            target.clear()
        elif kind == "grow":
            target.append({"role": "user", "content": "appended"})
        elif kind == "shrink" and target:
            target.pop()
        elif kind == "replace" and target:
            target[0] = {"role": "tool", "content": "replacement " * 60}
            gc.collect()
    elif isinstance(target, dict):
        if kind == "clear":
            dict.clear(target)
        elif kind == "grow":
            dict.__setitem__(target, f"added{len(target)}", "added")
        elif kind == "shrink" and target:
            dict.pop(target, next(iter(dict.keys(target))))
        elif kind == "replace" and target:
            dict.__setitem__(target, next(iter(dict.keys(target))), ["replaced"])
            gc.collect()


class Hostile(Acting):
    """Any object: a role, a content, an argument value or a record that is
    no dict. Each protocol method acts, then behaves as its `value` does."""

    def __init__(self, world: World, label: int, actions: tuple, value: Any) -> None:
        self._setup(world, label, actions)
        self.value = value

    def __eq__(self, other):
        self._act("eq")
        return self.value == other

    def __hash__(self):
        self._act("hash")
        return hash(self.value)

    def __format__(self, spec):
        self._act("format")
        return format(self.value, spec)

    def __str__(self):
        self._act("str")
        return str(self.value)

    def __repr__(self):
        self._act("repr")
        return repr(self.value)

    def __len__(self):
        self._act("len")
        return len(self.value)

    def __bool__(self):
        self._act("bool")
        return bool(self.value)

    def __getitem__(self, index):
        self._act("getitem")
        return self.value[index]

    def __add__(self, other):
        self._act("add")
        return self.value + other

    def __iter__(self):
        self._act("iter")
        return iter(self.value)

    def get(self, key, *default):
        self._act("get")
        return self.value.get(key, *default)


class HostileDict(Acting, dict):
    """A dict subclass: a message record or a tool call entry whose `get`
    and item access act first."""

    def get(self, key, *default):
        self._act("get")
        return dict.get(self, key, *default)

    def __getitem__(self, key):
        self._act("getitem")
        return dict.__getitem__(self, key)

    def __len__(self):
        self._act("len")
        return dict.__len__(self)


class HostileList(Acting, list):
    """A list subclass: "tool_calls" or a record's list entry, walked through
    its own `__iter__`."""

    def __iter__(self):
        self._act("iter")
        return list.__iter__(self)

    def __len__(self):
        self._act("len")
        return list.__len__(self)


def build(plan: Any, world: World) -> Any:
    """Fresh objects for `plan`; hostile ones and containers are registered."""
    kind = plan[0]
    if kind == "lit":
        return plan[1]
    if kind == "list":
        items: list = []
        world.containers.append(items)
        items.extend(build(item, world) for item in plan[1])
        return items
    if kind == "tuple":
        return tuple(build(item, world) for item in plan[1])
    if kind == "dict":
        mapping: dict = {}
        world.containers.append(mapping)
        for key, value in plan[1]:
            mapping[build(key, world)] = build(value, world)
        return mapping
    if kind == "huge int":
        return 10**5000  # too long for str(): ValueError
    if kind == "deep":
        value: Any = "bottom"
        for _ in range(plan[1]):
            value = [value]
        return value
    if kind == "hostile":
        _, shape, inner, actions = plan
        label = world.label()
        if shape == "obj":
            obj = Hostile(world, label, actions, build(inner, world))
        else:
            obj = (HostileDict if shape == "dict" else HostileList)()
            obj._setup(world, label, actions)
            world.containers.append(obj)
            content = build(inner, world)
            if shape == "dict":
                dict.update(obj, content)
            else:
                list.extend(obj, content)
        world.watch(obj)
        return obj
    raise ValueError(f"unknown plan {plan!r}")


# ---- comparing outcomes -------------------------------------------------------


def canon(value: Any, depth: int = 0) -> Any:
    """A form of `value` that compares without running any hostile code."""
    if depth > 50:
        return "..."
    if isinstance(value, Acting):
        inner = value.value if isinstance(value, Hostile) else None
        if isinstance(value, dict):
            inner = [(canon(k, depth + 1), canon(v, depth + 1)) for k, v in dict.items(value)]
        elif isinstance(value, list):
            inner = [canon(item, depth + 1) for item in list.__iter__(value)]
        else:
            inner = canon(inner, depth + 1)
        return (type(value).__name__, value._label, inner)
    if type(value) is float:
        return ("float", repr(value))
    if type(value) is dict:
        return ("dict", [(canon(k, depth + 1), canon(v, depth + 1)) for k, v in value.items()])
    if type(value) in (list, tuple):
        return (type(value).__name__, [canon(item, depth + 1) for item in value])
    if value is None or type(value) in (str, int, bool):
        return value
    return ("object", type(value).__name__)


def canon_result(value: Any) -> Any:
    """A result; a record's time stamp only has to be a float."""
    if type(value) is dict and "created_at" in value:
        stamp = value["created_at"]
        assert type(stamp) is float and math.isfinite(stamp), stamp
        value = without_time(value)
    return canon(value)


def canon_error(error: BaseException) -> tuple:
    try:
        text = str(error)
    except Exception as failure:  # noqa: BLE001 - a hostile payload in the message
        text = f"<str failed: {type(failure).__name__}>"
    return ("raised", type(error).__name__, text)


def call(function, *args) -> tuple:
    """The outcome of a call: what it returned or what it raised."""
    try:
        return ("returned", canon_result(function(*args)))
    except (Exception, Escape) as error:
        return canon_error(error)


def assert_released(world: World) -> None:
    """Every hostile object of a build is freed once its input is dropped."""
    if any(ref() is not None for ref in world.weak):
        gc.collect()  # only cycles are left to the collector; it is slow with a big heap
    alive = [ref() for ref in world.weak if ref() is not None]
    assert not alive, f"{len(alive)} input object(s) still referenced after the call"


# ---- strategies -------------------------------------------------------------

# Odd unicode: lone surrogates, non-BMP, NUL, the separators str.split and
# str.strip know, a byte-order mark, combining marks.
ODD_CHARACTERS = "\x00\r\n\t\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2028\u2029\u3000\ufeff\ud800\udfff\U0001f600\u0301`{}[]\"\\"
characters = st.one_of(
    st.characters(codec=None, exclude_categories=()),
    st.sampled_from(ODD_CHARACTERS),
    st.sampled_from("`{}\"\n "),
)
texts = st.text(characters, max_size=20)


@st.composite
def long_texts(draw) -> str:
    """Texts at and around the cuts, and now and then a huge one."""
    size = draw(st.sampled_from([99, 100, 101, 199, 200, 201, 499, 500, 501, 999, 1000, 1001]))
    if draw(st.integers(0, 30)) == 0:
        size = 200_000
    unit = draw(st.text(characters, min_size=1, max_size=3))
    return (unit * (size // len(unit) + 1))[:size]


literals = st.one_of(
    texts,
    long_texts(),
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from([0, -1, 2**63]),
    st.floats(),
).map(lambda value: ("lit", value)) | st.just(("huge int",))

METHODS = ("get", "getitem", "eq", "hash", "format", "str", "repr", "len", "bool", "add", "iter")
effects = st.one_of(
    st.tuples(st.just("raise"), st.sampled_from(sorted(RAISABLE)), texts),
    st.tuples(st.sampled_from(["clear", "grow", "shrink", "replace"]), st.integers(0, 8)),
    st.just(("collect",)),
)
actions = st.lists(
    st.tuples(st.sampled_from(METHODS), st.sampled_from([0, 0, 1, 2, -1]), effects), max_size=2
).map(tuple)


def hostile(inner: st.SearchStrategy, shape: str = "obj") -> st.SearchStrategy:
    return st.tuples(st.just("hostile"), st.just(shape), inner, actions)


def lists_of(item: st.SearchStrategy, max_size: int = 4) -> st.SearchStrategy:
    return st.lists(item, max_size=max_size).map(lambda items: ("list", items))


def dicts_of(keys: st.SearchStrategy, values: st.SearchStrategy, max_size: int = 4) -> st.SearchStrategy:
    return st.lists(st.tuples(keys, values), max_size=max_size).map(lambda pairs: ("dict", pairs))


def fixed_dict(required: dict, optional: dict) -> st.SearchStrategy:
    """A dict plan with literal str keys (in this order) and planned values."""
    return st.fixed_dictionaries(
        {key: value for key, value in required.items()},
        optional={key: value for key, value in optional.items()},
    ).map(lambda fields: ("dict", [(("lit", key), value) for key, value in fields.items()]))


values = st.recursive(
    literals,
    lambda children: st.one_of(
        lists_of(children),
        st.lists(children, max_size=3).map(lambda items: ("tuple", items)),
        dicts_of(st.one_of(texts.map(lambda t: ("lit", t)), st.integers().map(lambda i: ("lit", i))), children),
        hostile(children),
    ),
    max_leaves=8,
)


@st.composite
def any_values_with_rare_depth(draw):
    # Deep nesting (its str() fails with RecursionError) is costly to build
    # and to walk, so only about one value in forty is one.
    if draw(st.integers(0, 40)) == 0:
        return ("deep", 30_000)
    return draw(values)


any_values = any_values_with_rare_depth()

roles = st.one_of(
    st.sampled_from(["system", "user", "assistant", "tool", "User", "developer", ""]).map(lambda r: ("lit", r)),
    hostile(st.sampled_from(["user", "tool", "assistant", "system", "other"]).map(lambda r: ("lit", r))),
    literals,
)
argument_plans = st.one_of(
    dicts_of(st.one_of(texts.map(lambda t: ("lit", t)), hostile(texts.map(lambda t: ("lit", t)))), any_values),
    st.sampled_from(['{"path": "/tmp/a", "n": 3}', "[1, 2]", "null", "{bad", "", '"\\ud800"', "\ufeff{}"]).map(
        lambda text: ("lit", text)),
    texts.map(lambda t: ("lit", t)),
    hostile(dicts_of(texts.map(lambda t: ("lit", t)), values), "dict"),
    any_values,
)
call_fields = {"name": any_values, "arguments": argument_plans, "function": st.one_of(
    fixed_dict({}, {"name": any_values, "arguments": argument_plans}),
    hostile(fixed_dict({}, {"name": any_values, "arguments": argument_plans}), "dict"),
    hostile(fixed_dict({}, {"name": any_values, "arguments": argument_plans})),
    literals,
)}
tool_call_entries = st.one_of(
    fixed_dict({}, call_fields),
    hostile(fixed_dict({}, call_fields), "dict"),
    literals,
)
tool_call_lists = st.one_of(
    lists_of(tool_call_entries),
    hostile(lists_of(tool_call_entries), "list"),
    hostile(lists_of(tool_call_entries)),
    literals,
)
message_fields = {
    "content": st.one_of(any_values, long_texts().map(lambda t: ("lit", t))),
    "tool_call_id": any_values,
    "tool_calls": tool_call_lists,
}
message_bodies = fixed_dict({"role": roles}, message_fields)
messages_plans = lists_of(
    st.one_of(
        message_bodies,
        message_bodies,
        hostile(message_bodies, "dict"),
        hostile(message_bodies),
        fixed_dict({}, message_fields),
        literals,
    ),
    max_size=6,
)
argument_dict_plans = dicts_of(
    st.one_of(texts.map(lambda t: ("lit", t)), st.integers().map(lambda i: ("lit", i)), hostile(literals)),
    any_values,
    max_size=6,
)
section_values = st.one_of(
    lists_of(any_values),
    hostile(lists_of(any_values), "list"),
    st.lists(any_values, max_size=3).map(lambda items: ("tuple", items)),
    any_values,
)
record_plans = fixed_dict({}, {key: section_values for key in (*SUMMARY_KEYS, "created_at", "extra")})


@st.composite
def answer_texts(draw) -> str:
    """LLM answers: JSON objects, fenced or bare, prose, odd white space."""
    record = draw(st.fixed_dictionaries({}, optional={key: st.one_of(texts, st.lists(texts, max_size=3), st.none(),
                                                                     st.integers())
                                                      for key in (*SUMMARY_KEYS, "created_at")}))
    import json

    body = draw(st.one_of(
        st.just(json.dumps(record)),
        st.just(json.dumps(record, indent=2, ensure_ascii=False)),
        st.sampled_from(["[1, 2]", "3", "null", '"text"', "{", "", "\ufeff{}", '{"a": NaN}', "1e999999"]),
        texts,
        long_texts(),
    ))
    if draw(st.booleans()):
        tag = draw(st.sampled_from(["", "json", " json", "``", "```"]))
        closing = draw(st.sampled_from(["", "\n```", "\n  ```\u3000", "\n```\nprose", "\n````", "\r\n```"]))
        body = f"```{tag}\n{body}{closing}"
    padding = draw(st.sampled_from(["", " ", "\n\n", "\x1c\u2028", "\ufeff"]))
    return padding + body + draw(st.sampled_from(["", "\n", " \x85"]))
