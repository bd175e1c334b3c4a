"""Conversation summarizer — compresses old messages into concise summaries."""

import json as json
import logging as logging
import time as time
from collections.abc import Awaitable
from typing import Any as Any, Protocol, type_check_only

@type_check_only
class _LLMResponse(Protocol):
    # The answer text; None or "" count as an empty answer.
    @property
    def content(self) -> str | None: ...

@type_check_only
class _LLMClient(Protocol):
    # The summarizer calls ``complete`` with these three keywords and awaits
    # the result.
    def complete(
        self,
        *,
        messages: list[dict[str, str]],
        temperature: float,
        max_tokens: int,
    ) -> Awaitable[_LLMResponse]: ...

logger: logging.Logger
SUMMARIZE_PROMPT: str
__test__: dict[str, Any]

class ConversationSummarizer:
    """Summarizes conversation chunks to compress context."""

    _llm: _LLMClient
    def __init__(self, llm_client: _LLMClient) -> None: ...
    async def summarize_messages(
        self,
        messages: list[dict[str, Any]],
        existing_summary: str | None = None,
    ) -> dict[str, Any]: ...
    def format_summary_for_context(self, summary: dict[str, Any]) -> str: ...

def _format_messages_for_summary(messages: list[dict[str, Any]]) -> str: ...
def _brief_args(args: dict[Any, Any]) -> str: ...
def _parse_summary(text: str) -> dict[str, Any]: ...
def _empty_summary() -> dict[str, Any]: ...
def _fallback_summary(messages: list[dict[str, Any]]) -> dict[str, Any]: ...
