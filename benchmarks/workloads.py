"""Inputs of the benchmark: deterministic, realistic agent data.

Every generator takes a seed, so native and reference runs see equal inputs
and two benchmark runs see the same ones.
"""

from __future__ import annotations

import json
import random

WORDS = (
    "the a to of and in is for on with that this it be as file test build error "
    "function module config path value return import class request response user "
    "server client cache index query result update install version check run fix "
    "line data list name type call state step model token output input field"
).split()
# Mostly ASCII, as agent traffic is; now and then a sentence carries one of these.
UNICODE_WORDS = "déjà naïve größe café наверное テスト 错误 🙂".split()
TOOLS = ("read_file", "write_file", "run_command", "search", "list_dir", "http_get", "edit_file")


def sentence(rng: random.Random, words: int) -> str:
    chosen = [rng.choice(WORDS) for _ in range(words)]
    if rng.random() < 0.03:
        chosen[rng.randrange(words)] = rng.choice(UNICODE_WORDS)
    return " ".join(chosen)


def paragraph(rng: random.Random, characters: int) -> str:
    """Text of about `characters` characters, in lines of 60 to 100."""
    lines = []
    total = 0
    while total < characters:
        line = sentence(rng, rng.randint(8, 16))
        lines.append(line)
        total += len(line) + 1
    return "\n".join(lines)[:characters]


def tool_arguments(rng: random.Random, tool: str) -> dict:
    path = "/workspace/" + "/".join(rng.choice(WORDS[:40]) for _ in range(rng.randint(1, 4))) + ".py"
    if tool == "write_file":
        return {"path": path, "content": paragraph(rng, rng.randint(50, 600))}
    if tool == "run_command":
        return {"command": f"pytest -q tests/test_{rng.choice(WORDS[:40])}.py -k {rng.choice(WORDS[:40])}",
                "timeout": rng.choice([30, 60, 120])}
    if tool == "search":
        return {"query": sentence(rng, rng.randint(2, 6)), "max_results": 10, "regex": False}
    if tool == "edit_file":
        return {"path": path, "old": sentence(rng, 12), "new": sentence(rng, 14), "count": 1}
    if tool == "http_get":
        return {"url": f"https://example.org/{rng.choice(WORDS[:40])}?page={rng.randint(1, 9)}"}
    return {"path": path}


def tool_call(rng: random.Random, index: int) -> dict:
    tool = rng.choice(TOOLS)
    arguments = tool_arguments(rng, tool)
    if rng.random() < 0.85:
        # The chat-completion layout: name and JSON text under "function".
        return {"id": f"call_{index}", "type": "function",
                "function": {"name": tool, "arguments": json.dumps(arguments)}}
    return {"id": f"call_{index}", "name": tool, "arguments": arguments}


def conversation(count: int, seed: int = 7) -> list[dict]:
    """An agent conversation of `count` messages: a system prompt, user
    requests now and then, assistant turns that mostly call tools, and tool
    results of which about a third are longer than the 500-character cut."""
    rng = random.Random(seed)
    messages: list[dict] = [{"role": "system", "content": paragraph(rng, 800)}]
    call_index = 0
    pending: list[str] = []
    while len(messages) < count:
        if pending:
            call_id = pending.pop(0)
            size = rng.choice([40, 120, 300, 450, 700, 1500, 4000])
            messages.append({"role": "tool", "tool_call_id": call_id, "content": paragraph(rng, size)})
            continue
        roll = rng.random()
        if roll < 0.12:
            messages.append({"role": "user", "content": sentence(rng, rng.randint(5, 40))})
        elif roll < 0.85:
            calls = [tool_call(rng, call_index + i) for i in range(rng.choice([1, 1, 1, 2, 3]))]
            call_index += len(calls)
            pending.extend(call["id"] for call in calls)
            content = sentence(rng, rng.randint(4, 30)) if rng.random() < 0.5 else ""
            messages.append({"role": "assistant", "content": content, "tool_calls": calls})
        else:
            messages.append({"role": "assistant", "content": paragraph(rng, rng.randint(80, 900))})
    return messages[:count]


def argument_dict(seed: int = 11) -> dict:
    """A 20-key argument dict as tools take them: mostly text (three values
    longer than the 100-character cut), some numbers and flags, a None, and
    one short list."""
    rng = random.Random(seed)
    values = (
        [lambda: sentence(rng, rng.randint(1, 6)) for _ in range(9)]
        + [lambda: paragraph(rng, 180).replace("\n", " ") for _ in range(3)]
        + [lambda: rng.randint(0, 10**6) for _ in range(4)]
        + [lambda: rng.random() < 0.5 for _ in range(2)]
        + [lambda: None, lambda: [rng.choice(WORDS) for _ in range(3)]]
    )
    rng.shuffle(values)
    return {f"{rng.choice(WORDS[:40])}_{i}": make() for i, make in enumerate(values)}


def fenced_json_answer(size: int = 50_000, seed: int = 13) -> str:
    """An LLM answer: a fence line with a tag, a pretty-printed record of about
    `size` characters, the closing fence and a closing remark."""
    rng = random.Random(seed)
    record: dict = {key: [] for key in ("goals", "progress", "key_decisions", "key_facts", "blockers",
                                        "next_steps")}
    record["current_state"] = sentence(rng, 30)
    record["summary"] = paragraph(rng, 1200).replace("\n", " ")
    keys = list(record)
    while len(json.dumps(record, indent=2, ensure_ascii=False)) < size - 40:
        key = rng.choice(keys[:6])
        record[key].append(sentence(rng, rng.randint(6, 20)))
    body = json.dumps(record, indent=2, ensure_ascii=False)
    return f"  \n```json\n{body}\n```\nLet me know if you need more detail.\n"


def prose_answer(size: int = 5_000, seed: int = 17) -> str:
    """An answer that is not JSON: plain prose of `size` characters."""
    return "\n" + paragraph(random.Random(seed), size) + "\n"


def large_record(seed: int = 19) -> dict:
    """A record as a long run builds it: every list well filled, long texts."""
    rng = random.Random(seed)
    return {
        "goals": [sentence(rng, rng.randint(6, 20)) for _ in range(40)],
        "progress": [sentence(rng, rng.randint(6, 20)) for _ in range(300)],
        "current_state": paragraph(rng, 600),
        "key_decisions": [sentence(rng, rng.randint(6, 20)) for _ in range(120)],
        "key_facts": [sentence(rng, rng.randint(3, 10)) for _ in range(400)],
        "blockers": [sentence(rng, rng.randint(6, 20)) for _ in range(60)],
        "next_steps": [sentence(rng, rng.randint(6, 20)) for _ in range(80)],
        "summary": paragraph(rng, 2000),
        "created_at": 1.7e9,
    }


def short_answer(seed: int = 23) -> str:
    """A typical fenced answer of about 1.5 KB."""
    rng = random.Random(seed)
    record = {
        "goals": [sentence(rng, 10) for _ in range(2)],
        "progress": [sentence(rng, 12) for _ in range(5)],
        "current_state": sentence(rng, 20),
        "key_decisions": [sentence(rng, 12) for _ in range(2)],
        "key_facts": [sentence(rng, 6) for _ in range(4)],
        "blockers": [sentence(rng, 10)],
        "next_steps": [sentence(rng, 10) for _ in range(2)],
        "summary": sentence(rng, 60),
    }
    return "```json\n" + json.dumps(record, indent=2) + "\n```"
