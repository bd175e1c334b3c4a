"""Coverage-guided fuzzing of `_parse_summary` (see README, "Fuzzing").

    python fuzz/fuzz_parse.py -max_total_time=60 CORPUS_DIR fuzz/seeds/parse
"""

import sys

import atheris

import common

FENCE_TAGS = ["", "json", " json", "``", "```", "python x"]
CLOSINGS = ["", "\n```", "\n  ```\u3000", "\n```\nprose after", "\n````", "\r\n```", "\n```json\n{}"]


def answer_from(data: bytes) -> str:
    """The raw bytes as text, now and then wrapped in a code fence."""
    provider = atheris.FuzzedDataProvider(data)
    shape = provider.ConsumeIntInRange(0, 3)
    text = provider.ConsumeUnicode(provider.remaining_bytes())
    if shape == 1:
        return f"```{FENCE_TAGS[len(text) % len(FENCE_TAGS)]}\n{text}{CLOSINGS[len(text) % len(CLOSINGS)]}"
    if shape == 2:
        return f"  \n{text}\n\t"
    return text


leaks = common.LeakWatch()


def test_one_input(data: bytes) -> None:
    answer = answer_from(data)
    common.run_both("_parse_summary", lambda: answer)
    leaks(lambda: common.outcome(common.native._parse_summary, answer))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
