// Entries of the module's functions: each receives its bound, checked
// arguments (one per parameter) and returns a new reference, or nullptr with
// an exception set that carries the function's traceback entry.
#pragma once

#include <Python.h>

#include "../runtime/function.hpp"

namespace korbix::summarizer {

using rt::FunctionObject;

// Dotted names that the traceback entries of the functions show.
inline constexpr const char kTracebackInit[] = "korbix.core.summarizer.ConversationSummarizer.__init__";
inline constexpr const char kTracebackSummarizeMessages[] =
    "korbix.core.summarizer.ConversationSummarizer.summarize_messages";
inline constexpr const char kTracebackFormatSummaryForContext[] =
    "korbix.core.summarizer.ConversationSummarizer.format_summary_for_context";
inline constexpr const char kTracebackFormatMessages[] = "korbix.core.summarizer._format_messages_for_summary";
inline constexpr const char kTracebackBriefArgs[] = "korbix.core.summarizer._brief_args";
inline constexpr const char kTracebackParseSummary[] = "korbix.core.summarizer._parse_summary";
inline constexpr const char kTracebackEmptySummary[] = "korbix.core.summarizer._empty_summary";
inline constexpr const char kTracebackFallbackSummary[] = "korbix.core.summarizer._fallback_summary";

// ConversationSummarizer methods (summarize.cpp, context.cpp).
PyObject* summarizer_init(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* summarize_messages(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* format_summary_for_context(FunctionObject* function, PyObject* const* args) noexcept;

// Module functions (transcript.cpp, parsing.cpp, record.cpp, fallback.cpp).
PyObject* format_messages_for_summary(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* brief_args(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* parse_summary(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* empty_summary(FunctionObject* function, PyObject* const* args) noexcept;
PyObject* fallback_summary(FunctionObject* function, PyObject* const* args) noexcept;

// Readies what the summarize operation needs before its first call (the
// type of its call scope). False with an exception set on failure.
bool summarize_types_ready() noexcept;

}  // namespace korbix::summarizer
