"""Helpers shared by the tests."""

import korbix.core.summarizer as summarizer


def without_time(record):
    """A record without its time stamp, which no two builds share."""
    assert isinstance(record["created_at"], float)
    return {key: value for key, value in record.items() if key != "created_at"}


def outcome(function, *args):
    """The result of a call, or the type and text of what it raised."""
    try:
        result = function(*args)
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return ("raised", type(exc), str(exc))
    if isinstance(result, dict) and "created_at" in result:
        result = without_time(result)
    return ("returned", result)


def context(summary):
    return summarizer.ConversationSummarizer.format_summary_for_context(None, summary)
