from typing import Any

SUMMARIZE_PROMPT: str
