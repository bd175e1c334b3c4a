// Every constant text of the module, each declared once and named after its
// text. The exec step makes them all into interned str objects once
// (`make_texts`); they live for the rest of the process and calls only read
// them, as `str::role`, `str::loads` and so on.
//
// Names: the text itself where it is a name ("role", "JSONDecodeError");
// `dunder_x` for "__x__"; for other texts their words in lower case, with
// `nl2_` for two leading line breaks and `h2_`/`h3_` for Markdown headings.
#pragma once

#include <Python.h>

#include <cstddef>

#include "../runtime/ref.hpp"
#include "identity.hpp"
#include "prompt.hpp"

// X(identifier, text)
#define KORBIX_SUMMARIZER_TEXTS(X)                                                                  \
    /* names of the module, its globals and its imports */                                          \
    X(korbix_core_summarizer, KORBIX_SUMMARIZER_MODULE_NAME)                                        \
    X(korbix_summarizer, "korbix.summarizer")                                                       \
    X(json, "json")                                                                                 \
    X(logging, "logging")                                                                           \
    X(time, "time")                                                                                 \
    X(typing, "typing")                                                                             \
    X(Any, "Any")                                                                                   \
    X(logger, "logger")                                                                             \
    X(getLogger, "getLogger")                                                                       \
    X(SUMMARIZE_PROMPT, "SUMMARIZE_PROMPT")                                                         \
    X(ConversationSummarizer, "ConversationSummarizer")                                             \
    X(dunder_module, "__module__")                                                                  \
    X(dunder_qualname, "__qualname__")                                                              \
    X(dunder_doc, "__doc__")                                                                        \
    X(dunder_test, "__test__")                                                                      \
    X(replace, "replace")                                                                           \
    X(co_argcount, "co_argcount")                                                                   \
    X(co_nlocals, "co_nlocals")                                                                     \
    X(co_varnames, "co_varnames")                                                                   \
    X(co_flags, "co_flags")                                                                         \
    /* attributes and methods of the objects the logic uses */                                      \
    X(loads, "loads")                                                                               \
    X(JSONDecodeError, "JSONDecodeError")                                                           \
    X(get, "get")                                                                                   \
    X(warning, "warning")                                                                           \
    X(error, "error")                                                                               \
    X(_llm, "_llm")                                                                                 \
    X(complete, "complete")                                                                         \
    X(messages, "messages")                                                                         \
    X(temperature, "temperature")                                                                   \
    X(max_tokens, "max_tokens")                                                                     \
    /* the Summary record's keys */                                                                 \
    X(goals, "goals")                                                                               \
    X(progress, "progress")                                                                         \
    X(current_state, "current_state")                                                               \
    X(key_decisions, "key_decisions")                                                               \
    X(key_facts, "key_facts")                                                                       \
    X(blockers, "blockers")                                                                         \
    X(next_steps, "next_steps")                                                                     \
    X(summary, "summary")                                                                           \
    X(created_at, "created_at")                                                                     \
    /* Message records and tool calls */                                                            \
    X(role, "role")                                                                                 \
    X(content, "content")                                                                           \
    X(tool_call_id, "tool_call_id")                                                                 \
    X(tool_calls, "tool_calls")                                                                     \
    X(function, "function")                                                                         \
    X(name, "name")                                                                                 \
    X(arguments, "arguments")                                                                       \
    X(unknown, "unknown")                                                                           \
    X(system, "system")                                                                             \
    X(tool, "tool")                                                                                 \
    X(assistant, "assistant")                                                                       \
    X(user, "user")                                                                                 \
    /* pieces of the rendered texts */                                                              \
    X(empty, "")                                                                                    \
    X(nl, "\n")                                                                                     \
    X(equals, "=")                                                                                  \
    X(comma_space, ", ")                                                                            \
    X(ellipsis, "...")                                                                              \
    X(ellipsis_truncated, "... [truncated]")                                                        \
    X(tool_result_open, "[Tool Result (")                                                           \
    X(paren_bracket_colon, ")]: ")                                                                  \
    X(assistant_tag, "[Assistant]: ")                                                               \
    X(assistant_called, "[Assistant called ")                                                       \
    X(bracket_colon, "]: ")                                                                         \
    X(user_tag, "[User]: ")                                                                         \
    X(indent_dash, "  - ")                                                                          \
    X(h2_conversation_history_summary, "## Conversation History Summary")                           \
    X(earlier_messages_were_summarized, "*(Earlier messages were summarized to save context space)*\n") \
    X(h3_original_goals, "### Original Goals")                                                      \
    X(h3_progress_so_far, "### Progress So Far")                                                    \
    X(h3_current_state_nl, "### Current State\n")                                                   \
    X(h3_key_decisions, "### Key Decisions")                                                        \
    X(h3_key_facts, "### Key Facts")                                                                \
    X(h3_issues_and_resolutions, "### Issues & Resolutions")                                        \
    X(h3_next_steps, "### Next Steps")                                                              \
    X(h3_narrative_summary_nl, "### Narrative Summary\n")                                           \
    X(nl2_h2_previous_summary, "\n\n## Previous Summary (build on this):\n")                        \
    X(nl2_h2_conversation_to_summarize, "\n\n## Conversation to Summarize:\n")                      \
    X(summarize_the_conversation_above, "Summarize the conversation above. Return ONLY the JSON object.") \
    X(summarizes_conversation_chunks, "Summarizes conversation chunks to compress context.")        \
    /* log messages */                                                                              \
    X(could_not_parse_summary_json, "Could not parse summary JSON, using fallback")                 \
    X(empty_response_from_summarizer_llm, "Empty response from summarizer LLM")                     \
    X(summarization_failed_colon, "Summarization failed: ")                                         \
    /* the prompt (prompt.hpp) */                                                                   \
    X(summarize_prompt, kSummarizePrompt)

namespace korbix::summarizer {

namespace str {
#define KORBIX_DECLARE_TEXT(identifier, text) extern PyObject* identifier;
KORBIX_SUMMARIZER_TEXTS(KORBIX_DECLARE_TEXT)
#undef KORBIX_DECLARE_TEXT
}  // namespace str

// Makes every text of the table (once; later calls do nothing): 0, or -1 with
// an exception set.
int make_texts() noexcept;

// The tuple of the texts `names` point at: the keyword names of a vectorcall,
// whose values it passes in the same order. Empty with an exception set on
// failure.
template <size_t N>
rt::Ref keyword_names(PyObject** const (&names)[N]) noexcept {
    rt::Ref tuple = rt::Ref::steal(PyTuple_New(N));
    if (!tuple) return {};
    for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(*names[i]));
    return tuple;
}

}  // namespace korbix::summarizer
