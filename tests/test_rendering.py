"""Exact texts and records for representative inputs."""

import json
import time

import pytest

import korbix.core.summarizer as summarizer
from support import BANNER, context, without_time


def assistant_call(**entry):
    return {"role": "assistant", "tool_calls": [entry]}


@pytest.mark.parametrize(
    ("messages", "expected"),
    [
        ([], ""),
        ([{"role": "system", "content": "x"}, {"content": "no role"}, {"role": "User", "content": "x"}], ""),
        ([{"role": "user"}], "[User]: "),
        ([{"role": "user", "content": None}], "[User]: None"),
        ([{"role": "user", "content": [{"type": "text"}]}], "[User]: [{'type': 'text'}]"),
        ([{"role": "tool", "content": 0}], "[Tool Result (unknown)]: 0"),
        ([{"role": "tool", "tool_call_id": "c", "content": "a" * 500}], "[Tool Result (c)]: " + "a" * 500),
        (
            [{"role": "tool", "tool_call_id": "c", "content": "\U0001f600" * 501}],
            "[Tool Result (c)]: " + "\U0001f600" * 500 + "... [truncated]",
        ),
        ([{"role": "assistant", "content": ""}], ""),
        (
            [
                {
                    "role": "assistant",
                    "content": "On it",
                    "tool_calls": [
                        {"function": {"name": "read_file", "arguments": json.dumps({"path": "/tmp/a"})}},
                        "not a call",
                        {"name": None, "function": {"name": "hidden"}},
                    ],
                }
            ],
            "[Assistant]: On it\n[Assistant called read_file]: path=/tmp/a\n[Assistant called None]: ",
        ),
        ([assistant_call()], "[Assistant called unknown]: "),
        ([assistant_call(name="t", arguments="not json " * 30)], "[Assistant called t]: " + ("not json " * 30)[:200]),
        ([assistant_call(name="t", arguments="[1, 2]")], "[Assistant called t]: [1, 2]"),
        ([assistant_call(name="t", arguments="null")], "[Assistant called t]: None"),
        ([{"role": "assistant", "tool_calls": "abc"}], ""),
        ([{"role": "user", "content": "a\n"}, {"role": "user", "content": "b"}], "[User]: a\n\n[User]: b"),
    ],
)
def test_transcript_text(messages, expected):
    assert summarizer._format_messages_for_summary(messages) == expected


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ({}, ""),
        ({"v": "x" * 150}, "v=" + "x" * 100 + "..."),
        ({"v": "x" * 100}, "v=" + "x" * 100),
        ({1: True, "n": {"a": 1}}, "1=True, n={'a': 1}"),
        ({"s": "\ud800" * 101}, "s=" + "\ud800" * 100 + "..."),
    ],
)
def test_argument_brief(args, expected):
    assert summarizer._brief_args(args) == expected


FULL_ANSWER = {
    "goals": ["g"], "progress": ["p"], "current_state": "c", "key_decisions": ["d"],
    "key_facts": ["f"], "blockers": ["b"], "next_steps": ["n"], "summary": "s",
}


@pytest.mark.parametrize(
    ("answer", "expected_summary"),
    [
        (json.dumps(FULL_ANSWER), "s"),
        ("\n\n  ```json\n" + json.dumps(FULL_ANSWER, indent=2) + "\n```\nThat is all.  \n", "s"),
        ("```\r\n" + json.dumps(FULL_ANSWER) + "\r\n```\r\n", "s"),
        ("```json\n" + json.dumps(FULL_ANSWER), "s"),
    ],
)
def test_parsed_answer(answer, expected_summary):
    before = time.time()
    record = summarizer._parse_summary(answer)
    assert before <= record["created_at"] <= time.time()
    assert list(record) == [*FULL_ANSWER, "created_at"]
    assert without_time(record) == {**FULL_ANSWER, "summary": expected_summary}


def test_parsed_answer_keeps_values_as_parsed():
    record = summarizer._parse_summary('{"goals": "one", "progress": null, "created_at": 1, "x": 2}')
    assert without_time(record) == {
        "goals": "one", "progress": None, "current_state": "", "key_decisions": [],
        "key_facts": [], "blockers": [], "next_steps": [], "summary": "",
    }
    assert record["created_at"] != 1
    assert record["key_facts"] is not record["blockers"]


@pytest.mark.parametrize(
    ("answer", "narrative"),
    [
        ("Sure!\n```json\n{}\n```", "Sure!\n```json\n{}\n```"),
        ('```json {"goals": []}```', ""),
        ("   \n\t ", ""),
        ("  " + "y" * 5000 + "  ", "y" * 1000),
    ],
)
def test_unparsable_answer(answer, narrative, caplog):
    record = summarizer._parse_summary(answer)
    assert without_time(record) == {
        "goals": [], "progress": [], "current_state": "", "key_decisions": [],
        "key_facts": [], "blockers": [], "next_steps": [], "summary": narrative,
    }
    assert [r.getMessage() for r in caplog.records] == ["Could not parse summary JSON, using fallback"]


@pytest.mark.parametrize(
    ("messages", "goals", "count", "request_text"),
    [
        ([], [], 0, "unknown"),
        ([{"role": "system"}, {"role": "assistant", "content": "a"}, {"role": "tool", "content": "t"}], [], 3, "unknown"),
        ([{"role": "user", "content": ""}, {"role": "user", "content": "Fix the login page"}, {"role": "user", "content": "later"}],
         ["Fix the login page"], 3, "Fix the login page"),
        ([{"role": "user", "content": "a" * 200}], ["a" * 200], 1, "a" * 200),
        ([{"role": "user", "content": "a" * 201}], ["a" * 200 + "..."], 1, "a" * 200 + "..."),
        ([{"role": "User", "content": "no"}], [], 1, "unknown"),
        ([{"role": "user", "content": ["part"]}], [["part"]], 1, "['part']"),
    ],
)
def test_fallback_record(messages, goals, count, request_text):
    record = summarizer._fallback_summary(messages)
    assert without_time(record) == {
        "goals": goals, "progress": [], "current_state": f"Conversation had {count} messages before summarization",
        "key_decisions": [], "key_facts": [], "blockers": [], "next_steps": [],
        "summary": f"Conversation with {count} messages. Primary request: {request_text}",
    }


@pytest.mark.parametrize(
    ("summary", "expected"),
    [
        ({}, BANNER),
        ({"summary": None, "created_at": 1.0, "extra": "x"}, BANNER),
        (
            {"goals": ["A", "B"], "progress": ["C"], "current_state": "S", "key_decisions": ["D"],
             "key_facts": ["F"], "blockers": ["X"], "next_steps": ["N"], "summary": "T"},
            BANNER + "\n### Original Goals\n  - A\n  - B\n\n### Progress So Far\n  - C\n\n### Current State\nS\n\n"
            "### Key Decisions\n  - D\n\n### Key Facts\n  - F\n\n### Issues & Resolutions\n  - X\n\n"
            "### Next Steps\n  - N\n\n### Narrative Summary\nT",
        ),
        ({"goals": "abc"}, BANNER + "\n### Original Goals\n  - a\n  - b\n  - c\n"),
        ({"blockers": {"k": "v", "j": 1}}, BANNER + "\n### Issues & Resolutions\n  - k\n  - j\n"),
        ({"current_state": [1]}, BANNER + "\n### Current State\n[1]\n"),
        ({"next_steps": (None, 3)}, BANNER + "\n### Next Steps\n  - None\n  - 3\n"),
    ],
)
def test_context_text(summary, expected):
    assert context(summary) == expected


def test_context_of_built_records():
    assert context(summarizer._empty_summary()) == BANNER
    fallback = summarizer._fallback_summary([{"role": "user", "content": "Fix it"}, {}, {}])
    assert context(fallback) == (
        BANNER + "\n### Original Goals\n  - Fix it\n\n### Current State\n"
        "Conversation had 3 messages before summarization\n\n### Narrative Summary\n"
        "Conversation with 3 messages. Primary request: Fix it"
    )


# Texts of every storage width, at lengths around the 16-character steps of
# the copy loops. A joined text must hold exactly these characters and be
# stored in the narrowest width that fits them, as Python's own strings are
# (a wider one would compare unequal to an equal text).
WIDTH_SAMPLES = ["a", "é", "ж", "\U0001f642"]
WIDTH_LENGTHS = [1, 15, 16, 17, 33]


def width_text(char, length, filler="x"):
    return filler * (length - 1) + char


@pytest.mark.parametrize("last_char", WIDTH_SAMPLES)
@pytest.mark.parametrize("first_char", WIDTH_SAMPLES)
def test_joined_texts_take_the_narrowest_width(first_char, last_char):
    import reference

    items = [width_text(first_char, n) for n in WIDTH_LENGTHS] + [width_text(last_char, n, "é") for n in WIDTH_LENGTHS]
    record = {**summarizer._empty_summary(), "goals": items, "summary": last_char}
    assert context(record) == reference.ConversationSummarizer(None).format_summary_for_context(record)

    messages = [
        # Cut after 500 characters: the wide character beyond the cut must
        # not widen the line.
        {"role": "tool", "tool_call_id": first_char, "content": "y" * 500 + last_char * 3},
        {"role": "user", "content": width_text(first_char, 17)},
        {"role": "assistant", "tool_calls": [{"name": "t", "arguments": {"k": "z" * 100 + last_char}}]},
    ]
    for rendered in (messages, messages[::-1]):
        assert summarizer._format_messages_for_summary(rendered) == reference._format_messages_for_summary(rendered)
    args = {f"k{n}": width_text(first_char, n) for n in WIDTH_LENGTHS} | {"long": "w" * 100 + last_char}
    assert summarizer._brief_args(args) == reference._brief_args(args)
