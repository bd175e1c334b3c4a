"""Coverage-guided fuzzing of `_format_messages_for_summary` (and, on the
same messages, `_fallback_summary`); see README, "Fuzzing".

    python fuzz/fuzz_transcript.py -max_total_time=60 CORPUS_DIR fuzz/seeds/transcript

The bytes are read as a small program that builds a list of messages: roles,
contents of many types and lengths around the cuts, tool calls in both
layouts with dict, JSON-text and other arguments, and a few objects whose
own code raises or mutates the list being walked.
"""

import json
import sys

import atheris

import common

ROLES = ["user", "assistant", "tool", "system", "User", "", None, 0, "developer"]
KEYS = ["role", "content", "tool_call_id", "tool_calls", "name", "arguments", "function", "path", "", "x"]
CUT_LENGTHS = [0, 1, 99, 100, 101, 199, 200, 201, 499, 500, 501, 1000]


class Raising:
    """A value whose text cannot be made."""

    def __format__(self, spec):
        raise ValueError("no format")

    def __str__(self):
        raise ValueError("no text")

    __repr__ = __str__


class Builder:
    def __init__(self, data: bytes) -> None:
        self.provider = atheris.FuzzedDataProvider(data)
        self.messages: list = []

    def pick(self, options):
        return options[self.provider.ConsumeIntInRange(0, len(options) - 1)]

    def text(self) -> str:
        if self.provider.ConsumeBool():
            unit = self.provider.ConsumeUnicode(2) or "x"
            return (unit * 1001)[: self.pick(CUT_LENGTHS)]
        return self.provider.ConsumeUnicode(self.provider.ConsumeIntInRange(0, 40))

    def value(self, depth: int = 0):
        kind = self.provider.ConsumeIntInRange(0, 11)
        if kind <= 3:
            return self.text()
        if kind == 4:
            return None
        if kind == 5:
            return self.provider.ConsumeInt(4)
        if kind == 6:
            return self.provider.ConsumeBool()
        if kind == 7 and depth < 3:
            return [self.value(depth + 1) for _ in range(self.provider.ConsumeIntInRange(0, 3))]
        if kind == 8 and depth < 3:
            return self.mapping(depth + 1)
        if kind == 9:
            return self.provider.ConsumeFloat()
        if kind == 10:
            return Raising()
        return self.mutator()

    def mapping(self, depth: int) -> dict:
        return {self.pick(KEYS) if self.provider.ConsumeBool() else self.text(): self.value(depth)
                for _ in range(self.provider.ConsumeIntInRange(0, 4))}

    def mutator(self):
        """A string-like value whose truth test shrinks or grows the list."""
        messages, grow = self.messages, self.provider.ConsumeBool()

        class Mutating(str):
            def __bool__(self):
                if grow and len(messages) < 20:
                    messages.append({"role": "user", "content": "appended"})
                elif messages:
                    messages.pop()
                return True

        return Mutating(self.text())

    def arguments(self):
        kind = self.provider.ConsumeIntInRange(0, 3)
        if kind == 0:
            return self.mapping(1)
        if kind == 1:
            try:
                return json.dumps(self.mapping(2))
            except (TypeError, ValueError):
                return "{}"
        return self.value(1)

    def tool_call(self):
        kind = self.provider.ConsumeIntInRange(0, 3)
        if kind == 0:
            return {"function": {"name": self.value(2), "arguments": self.arguments()}}
        if kind == 1:
            return {"name": self.value(2), "arguments": self.arguments()}
        if kind == 2:
            return {"function": self.value(2), "name": self.value(2)}
        return self.value(2)

    def message(self) -> dict:
        message = {}
        if self.provider.ConsumeIntInRange(0, 7):
            message["role"] = self.pick(ROLES)
        if self.provider.ConsumeIntInRange(0, 5):
            message["content"] = self.value()
        if self.provider.ConsumeBool():
            message["tool_call_id"] = self.value(2)
        if self.provider.ConsumeBool():
            calls = [self.tool_call() for _ in range(self.provider.ConsumeIntInRange(0, 3))]
            message["tool_calls"] = tuple(calls) if self.provider.ConsumeIntInRange(0, 5) == 0 else calls
        return message

    def build(self) -> list:
        for _ in range(self.provider.ConsumeIntInRange(0, 8)):
            self.messages.append(self.message())
        return self.messages


leaks = common.LeakWatch()


def test_one_input(data: bytes) -> None:
    def make():
        return Builder(data).build()

    common.run_both("_format_messages_for_summary", make)
    common.run_both("_fallback_summary", make)
    leaks(lambda: common.outcome(common.native._format_messages_for_summary, make()))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
