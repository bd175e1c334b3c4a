"""Companions of the native ``korbix.core.summarizer`` module: LLM clients,
context compaction for agent loops, and a command-line tool."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .compaction import CompactionError, CompactionResult, Compactor

__all__ = ["CompactionError", "CompactionResult", "Compactor"]


def __getattr__(name: str) -> Any:
    # Imported on first use, so that importing a client does not load the
    # native module and the tokenizer.
    if name in __all__:
        from . import compaction

        return getattr(compaction, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
