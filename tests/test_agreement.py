"""The native functions agree with the plain-Python reference on generated input."""

import json

from hypothesis import given
from hypothesis import strategies as st

import korbix.core.summarizer as summarizer
import reference
from korbix_summarizer.schema import SUMMARY_KEYS
from support import SubDict, context, outcome


class MarkedGet(dict):
    """A dict subclass whose `get` differs from dict's: it must be used."""

    def get(self, key, default=None):
        value = super().get(key, default)
        return f"<{value}>" if key == "content" and isinstance(value, str) else value


class Record:
    """A mapping that is no dict at all: only `get` and item access."""

    def __init__(self, data):
        self._data = data

    def get(self, key, *default):
        return self._data.get(key, *default)

    def __getitem__(self, key):
        return self._data[key]


# Any character, lone surrogates and non-BMP ones included.
chars = st.characters(codec=None, exclude_categories=())
short_texts = st.text(chars, max_size=12)


def sized_text(limit: int):
    """Texts one below, at and one above a cut."""
    return st.builds(lambda c, n: c * n, chars, st.sampled_from([limit - 1, limit, limit + 1]))


long_texts = st.one_of(sized_text(100), sized_text(200), sized_text(500), sized_text(1000))
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), short_texts, long_texts
)
contents = st.one_of(
    short_texts,
    long_texts,
    scalars,
    st.lists(short_texts, max_size=3),
    st.builds(lambda n: list(range(n)), st.sampled_from([200, 201, 500, 501])),
)
known_roles = st.sampled_from(["system", "user", "assistant", "tool"])
roles = st.one_of(known_roles, known_roles, known_roles, st.sampled_from(["User", "developer", None, 0]))

argument_dicts = st.dictionaries(
    st.one_of(short_texts, st.integers()), st.one_of(sized_text(100), scalars), max_size=4
)
nonempty_argument_dicts = argument_dicts.filter(bool)
arguments = st.one_of(
    argument_dicts,
    nonempty_argument_dicts,
    nonempty_argument_dicts,
    nonempty_argument_dicts.map(json.dumps),
    nonempty_argument_dicts.map(json.dumps),
    st.sampled_from(["[1, 2]", "3", "null", '"text"', "true", "{bad json", ""]),
    short_texts,
    long_texts,
    st.lists(scalars, max_size=3),
    st.integers(),
    st.none(),
    argument_dicts.map(SubDict),
)
call_fields = st.fixed_dictionaries({}, optional={"name": st.one_of(short_texts, st.none()), "arguments": arguments})
tool_call_entries = st.one_of(
    call_fields,
    st.builds(lambda top, function: {**top, "function": function}, call_fields, call_fields),
    call_fields.map(lambda top: {**top, "function": None}),
    call_fields.map(SubDict),
    short_texts,
    st.integers(),
)
tool_calls = st.one_of(
    st.lists(tool_call_entries, max_size=3),
    st.lists(tool_call_entries, max_size=3).map(tuple),
    st.sampled_from([None, [], "", "abc", 0]),
)
message_fields = st.fixed_dictionaries(
    {"role": roles},
    optional={
        "content": contents,
        "tool_call_id": st.one_of(short_texts, st.integers(), st.none()),
        "tool_calls": tool_calls,
    },
)
assistant_calls = st.fixed_dictionaries(
    {"role": st.just("assistant"), "tool_calls": st.lists(tool_call_entries, min_size=1, max_size=3)},
    optional={"content": contents},
)
tool_results = st.fixed_dictionaries(
    {"role": st.just("tool"), "content": st.one_of(sized_text(500), contents)},
    optional={"tool_call_id": st.one_of(short_texts, st.integers(), st.none())},
)
def rebuilt_keys(fields):
    """The same message with keys made at run time (equal, but not the same objects)."""
    return {(key + ".")[:-1]: value for key, value in fields.items()}


def with_extra_keys(fields, count):
    """The same message with more keys, some of them not str."""
    extra = {f"extra{i}": i for i in range(count)}
    return {**extra, **fields, 7: "seven", None: "none"}


messages = st.lists(
    st.one_of(
        message_fields,
        assistant_calls,
        tool_results,
        tool_results.map(rebuilt_keys),
        message_fields.map(rebuilt_keys),
        st.builds(with_extra_keys, tool_results, st.integers(0, 10)),
        st.builds(lambda fields, count: {**{f"extra{i}": i for i in range(count)}, **fields}, tool_results,
                  st.integers(4, 10)),
        message_fields.map(lambda fields: {key: value for key, value in fields.items() if key != "role"}),
        message_fields.map(SubDict),
        message_fields.map(MarkedGet),
        message_fields.map(Record),
    ),
    max_size=6,
)


@given(messages)
def test_transcript_matches_reference(conversation):
    expected = outcome(reference._format_messages_for_summary, conversation)
    assert outcome(summarizer._format_messages_for_summary, conversation) == expected


@given(st.dictionaries(st.one_of(short_texts, st.integers(), st.none()), st.one_of(scalars, contents), max_size=6))
def test_argument_brief_matches_reference(args):
    assert outcome(summarizer._brief_args, args) == outcome(reference._brief_args, args)


@given(messages)
def test_fallback_matches_reference(conversation):
    assert outcome(summarizer._fallback_summary, conversation) == outcome(reference._fallback_summary, conversation)


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), short_texts),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(short_texts, children, max_size=3),
    max_leaves=6,
)
answer_objects = st.fixed_dictionaries(
    {}, optional={key: json_values for key in [*SUMMARY_KEYS, "created_at", "extra"]}
)
answer_bodies = st.one_of(
    answer_objects.map(json.dumps),
    answer_objects.map(lambda obj: json.dumps(obj, indent=2)),
    json_values.map(json.dumps),
    short_texts,
    sized_text(1000),
)


@st.composite
def answers(draw):
    body = draw(answer_bodies)
    if draw(st.booleans()):
        tag = draw(st.sampled_from(["", "json", " json", "python extra"]))
        closing = draw(st.sampled_from(["", "\n```", "\n  ```  ", "\n```\nprose after", "\n```json\n{}"]))
        body = f"```{tag}\n{body}{closing}"
    if draw(st.booleans()):
        body = body.replace("\n", "\r\n")
    if draw(st.booleans()):
        body = draw(st.sampled_from(["Here it is:\n", "```"])) + body
    padding = draw(st.sampled_from(["", " ", "\n\n", "\t \u2003\n"]))
    return padding + body + padding


@given(answers())
def test_parsing_matches_reference(answer):
    assert outcome(summarizer._parse_summary, answer) == outcome(reference._parse_summary, answer)


section_values = st.one_of(
    st.lists(st.one_of(scalars, st.lists(short_texts, max_size=2)), max_size=4),
    st.lists(scalars, max_size=3).map(tuple),
    st.dictionaries(short_texts, scalars, max_size=3),
    scalars,
    st.sampled_from([0, False, "", [], {}]),
)
summaries = st.fixed_dictionaries(
    {}, optional={key: section_values for key in [*SUMMARY_KEYS, "created_at", "extra"]}
)


@given(summaries)
def test_context_matches_reference(summary):
    assert outcome(context, summary) == outcome(reference.format_summary_for_context, summary)
