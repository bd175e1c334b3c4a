"""Plain-Python reference of the summarizer: its functions and the class.

Written the way the module's Python source reads; the native module must
agree with it on every input (results, and the type and text of every
exception). It is also the baseline for benchmarks. The argument checks at
the top mirror the native call binding, which refuses anything but the
exact built-in types.
"""

import json
import logging
import time
from typing import Any

logger = logging.getLogger("korbix.summarizer")


# The module constant is shared rather than copied: it is data, not logic.
SUMMARIZE_PROMPT = __import__("korbix.core.summarizer", fromlist=["SUMMARIZE_PROMPT"]).SUMMARIZE_PROMPT


def _require(name: str, value: Any, required: type, *, none_ok: bool = False) -> None:
    if type(value) is required or (none_ok and value is None):
        return
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected {required.__name__}, got {type(value).__name__})"
    )


def _require_record(value: Any) -> Any:
    if value is not None and type(value) is not dict:
        raise TypeError(f"Expected dict, got {type(value).__name__}")
    return value


def _empty_summary() -> dict[str, Any]:
    return {
        "goals": [],
        "progress": [],
        "current_state": "",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": "",
        "created_at": time.time(),
    }


class ConversationSummarizer:
    """Summarizes conversation chunks to compress context."""

    def __init__(self, llm_client: Any) -> None:
        self._llm = llm_client

    async def summarize_messages(
        self, messages: list[dict[str, Any]], existing_summary: str | None = None
    ) -> dict[str, Any]:
        _require("messages", messages, list)
        _require("existing_summary", existing_summary, str, none_ok=True)
        if len(messages) == 0:
            return _require_record(_empty_summary())

        conv_text = _format_messages_for_summary(messages)
        prompt_parts = [SUMMARIZE_PROMPT]
        if existing_summary is not None and len(existing_summary) != 0:
            prompt_parts.append(f"\n\n## Previous Summary (build on this):\n{existing_summary}")
        prompt_parts.append(f"\n\n## Conversation to Summarize:\n{conv_text}")

        try:
            response = await self._llm.complete(
                messages=[
                    {"role": "system", "content": "\n".join(prompt_parts)},
                    {"role": "user", "content": "Summarize the conversation above. Return ONLY the JSON object."},
                ],
                temperature=0.2,
                max_tokens=2048,
            )
            if response.content:
                return _require_record(_parse_summary(response.content))
            logger.warning("Empty response from summarizer LLM")
            return _require_record(_fallback_summary(messages))
        except Exception as e:
            logger.error(f"Summarization failed: {e}")
            return _require_record(_fallback_summary(messages))

    def format_summary_for_context(self, summary: dict[str, Any]) -> str:
        return format_summary_for_context(summary)


def _format_messages_for_summary(messages: list[dict[str, Any]]) -> str:
    _require("messages", messages, list)
    lines = []
    for msg in messages:
        role = msg.get("role", "unknown")
        content = msg.get("content", "")

        if role == "system":
            continue
        elif role == "tool":
            tool_id = msg.get("tool_call_id", "unknown")
            if content and len(content) > 500:
                content = content[:500] + "... [truncated]"
            lines.append(f"[Tool Result ({tool_id})]: {content}")
        elif role == "assistant":
            if content:
                lines.append(f"[Assistant]: {content}")
            if msg.get("tool_calls"):
                for tc in msg["tool_calls"]:
                    if not isinstance(tc, dict):
                        continue
                    name = tc.get("name", tc.get("function", {}).get("name", "unknown"))
                    args = tc.get("arguments", tc.get("function", {}).get("arguments", {}))
                    if isinstance(args, str):
                        try:
                            args = json.loads(args)
                        except json.JSONDecodeError:
                            pass
                    if isinstance(args, dict):
                        args_brief = _brief_args(args)
                    else:
                        args_brief = str(args)[:200]
                    lines.append(f"[Assistant called {name}]: {args_brief}")
        elif role == "user":
            lines.append(f"[User]: {content}")

    return "\n".join(lines)


def _brief_args(args: dict) -> str:
    _require("args", args, dict)
    parts = []
    for k, v in args.items():
        val_str = str(v)
        if len(val_str) > 100:
            val_str = val_str[:100] + "..."
        parts.append(f"{k}={val_str}")
    return ", ".join(parts)


def _parse_summary(text: str) -> dict[str, Any]:
    _require("text", text, str)
    text = text.strip()

    if text.startswith("```"):
        lines = text.split("\n")
        json_lines = []
        in_block = False
        for line in lines:
            if line.strip().startswith("```") and not in_block:
                in_block = True
                continue
            elif line.strip() == "```" and in_block:
                break
            elif in_block:
                json_lines.append(line)
        text = "\n".join(json_lines)

    try:
        data = json.loads(text)
        return {
            "goals": data.get("goals", []),
            "progress": data.get("progress", []),
            "current_state": data.get("current_state", ""),
            "key_decisions": data.get("key_decisions", []),
            "key_facts": data.get("key_facts", []),
            "blockers": data.get("blockers", []),
            "next_steps": data.get("next_steps", []),
            "summary": data.get("summary", ""),
            "created_at": time.time(),
        }
    except json.JSONDecodeError:
        logger.warning("Could not parse summary JSON, using fallback")
        return {
            "goals": [],
            "progress": [],
            "current_state": "",
            "key_decisions": [],
            "key_facts": [],
            "blockers": [],
            "next_steps": [],
            "summary": text[:1000],
            "created_at": time.time(),
        }


def _fallback_summary(messages: list[dict[str, Any]]) -> dict[str, Any]:
    _require("messages", messages, list)
    goals = []
    progress = []
    for msg in messages:
        if msg.get("role") == "user" and msg.get("content"):
            content = msg["content"]
            if len(content) > 200:
                content = content[:200] + "..."
            goals.append(content)

    if goals:
        goals = [goals[0]]

    return {
        "goals": goals,
        "progress": progress,
        "current_state": f"Conversation had {len(messages)} messages before summarization",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": f"Conversation with {len(messages)} messages. "
        f"Primary request: {goals[0] if goals else 'unknown'}",
        "created_at": time.time(),
    }


def format_summary_for_context(summary: dict[str, Any]) -> str:
    _require("summary", summary, dict)
    parts = ["## Conversation History Summary"]
    parts.append("*(Earlier messages were summarized to save context space)*\n")

    if summary.get("goals"):
        parts.append("### Original Goals")
        for g in summary["goals"]:
            parts.append(f"  - {g}")
        parts.append("")
    if summary.get("progress"):
        parts.append("### Progress So Far")
        for p in summary["progress"]:
            parts.append(f"  - {p}")
        parts.append("")
    if summary.get("current_state"):
        parts.append(f"### Current State\n{summary['current_state']}\n")
    if summary.get("key_decisions"):
        parts.append("### Key Decisions")
        for d in summary["key_decisions"]:
            parts.append(f"  - {d}")
        parts.append("")
    if summary.get("key_facts"):
        parts.append("### Key Facts")
        for f in summary["key_facts"]:
            parts.append(f"  - {f}")
        parts.append("")
    if summary.get("blockers"):
        parts.append("### Issues & Resolutions")
        for b in summary["blockers"]:
            parts.append(f"  - {b}")
        parts.append("")
    if summary.get("next_steps"):
        parts.append("### Next Steps")
        for n in summary["next_steps"]:
            parts.append(f"  - {n}")
        parts.append("")
    if summary.get("summary"):
        parts.append(f"### Narrative Summary\n{summary['summary']}")

    return "\n".join(parts)
