"""Companions of the native ``korbix.core.summarizer`` module: LLM clients and a command-line tool."""
