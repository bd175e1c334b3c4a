// The module's functions: one row per function, with everything the exec
// step needs to make its function object and code object, and the entries
// (in the files of their concerns) that the rows point at.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <iterator>
#include <string_view>

#include "../runtime/function.hpp"
#include "../runtime/traceback.hpp"
#include "identity.hpp"
#include "lines.hpp"

namespace korbix::summarizer {

using rt::FunctionObject;

// Entries: each receives its bound, checked arguments (one per parameter)
// and returns a new reference, or nullptr with an exception set that carries
// the function's traceback entry.
PyObject* summarizer_init(FunctionObject* function, PyObject* const* args) noexcept;             // summarize.cpp
PyObject* summarize_messages(FunctionObject* function, PyObject* const* args) noexcept;          // summarize.cpp
PyObject* format_summary_for_context(FunctionObject* function, PyObject* const* args) noexcept;  // context.cpp
PyObject* format_messages_for_summary(FunctionObject* function, PyObject* const* args) noexcept; // transcript.cpp
PyObject* brief_args(FunctionObject* function, PyObject* const* args) noexcept;                  // transcript.cpp
PyObject* parse_summary(FunctionObject* function, PyObject* const* args) noexcept;               // parsing.cpp
PyObject* empty_summary(FunctionObject* function, PyObject* const* args) noexcept;               // record.cpp
PyObject* fallback_summary(FunctionObject* function, PyObject* const* args) noexcept;            // fallback.cpp

// The functions in the order the module body makes them: the class's methods
// first (a qualified name with a dot), then the module functions.
enum class Fn : unsigned char {
    init,
    summarize_messages,
    format_summary_for_context,
    format_messages_for_summary,
    brief_args,
    parse_summary,
    empty_summary,
    fallback_summary,
};

inline constexpr int kMaxLocals = 10;

struct FunctionRow {
    Fn id;
    rt::FunctionDef def;  // name, entry names, first line, parameters with their annotations, entry
    const char* qualname;
    const char* doc;                // nullptr: no docstring
    const char* return_annotation;  // nullptr: no "return" annotation
    int local_count;                // the code object's variables after the parameters
    const char* locals[kMaxLocals];

    constexpr bool is_method() const { return std::string_view(qualname).find('.') != std::string_view::npos; }
    constexpr int flags() const { return def.is_coroutine ? 0x83 : 0x3; }  // CO_OPTIMIZED | CO_NEWLOCALS (| CO_COROUTINE)
};

inline constexpr std::string_view kEntryPrefix = KORBIX_SUMMARIZER_MODULE_NAME ".";

// A row from the dotted name that traceback entries show: the qualified name
// follows the module prefix, the name is its last part.
constexpr FunctionRow function(Fn id, const char* dotted_name, int first_line, rt::Entry entry,
                               std::initializer_list<rt::Param> params, const char* return_annotation,
                               std::initializer_list<const char*> locals, const char* doc,
                               bool is_coroutine = false) {
    const std::string_view dotted(dotted_name);
    // Evaluated for the constant table, so a name outside the module fails the build.
    if (!dotted.starts_with(kEntryPrefix)) throw "a function's dotted name starts with the module's name";
    FunctionRow row{id, {}, dotted_name + kEntryPrefix.size(), doc, return_annotation, 0, {}};
    row.def.name = dotted_name + dotted.rfind('.') + 1;
    row.def.traceback_name = dotted_name;
    row.def.line = first_line;
    row.def.entry = entry;
    row.def.is_coroutine = is_coroutine;
    for (const rt::Param& param : params) row.def.params[row.def.param_count++] = param;
    for (const char* local : locals) row.locals[row.local_count++] = local;
    return row;
}

using rt::ArgType;

inline constexpr FunctionRow kFunctions[] = {
    function(Fn::init, KORBIX_SUMMARIZER_MODULE_NAME ".ConversationSummarizer.__init__", line::init::first,
             summarizer_init,
             {{"self"}, {"llm_client", ArgType::Any, false, "Any"}}, nullptr, {},
             "Initialize with an LLMClient instance."),
    function(Fn::summarize_messages, KORBIX_SUMMARIZER_MODULE_NAME ".ConversationSummarizer.summarize_messages",
             line::summarize_messages::first, summarize_messages,
             {{"self"},
              {"messages", ArgType::ExactList, false, "list[dict[str, Any]]"},
              {"existing_summary", ArgType::ExactStrOrNone, true, "str | None"}},
             "dict[str, Any]", {"conv_text", "prompt_parts", "response", "e"},
             "Summarize a list of messages into a structured summary.\n"
             "\n"
             "        Args:\n"
             "            messages: The messages to summarize (in chronological order)\n"
             "            existing_summary: If provided, the new summary should build on this\n"
             "\n"
             "        Returns:\n"
             "            A structured summary dict with goals, progress, etc.\n"
             "        ",
             true),
    function(Fn::format_summary_for_context,
             KORBIX_SUMMARIZER_MODULE_NAME ".ConversationSummarizer.format_summary_for_context",
             line::format_summary_for_context::first, format_summary_for_context,
             {{"self"}, {"summary", ArgType::ExactDict, false, "dict[str, Any]"}}, "str",
             {"parts", "g", "p", "d", "f", "b", "n"},
             "Format a structured summary as readable text for the system prompt."),
    function(Fn::format_messages_for_summary, KORBIX_SUMMARIZER_MODULE_NAME "._format_messages_for_summary",
             line::format_messages_for_summary::first, format_messages_for_summary,
             {{"messages", ArgType::ExactList, false, "list[dict[str, Any]]"}}, "str",
             {"lines", "msg", "role", "content", "tool_id", "tc", "name", "args", "args_brief"},
             "Convert messages to a readable text format for the summarizer."),
    function(Fn::brief_args, KORBIX_SUMMARIZER_MODULE_NAME "._brief_args", line::brief_args::first, brief_args,
             {{"args", ArgType::ExactDict, false, "dict"}}, "str", {"parts", "k", "v", "val_str"},
             "Create a brief summary of tool arguments."),
    function(Fn::parse_summary, KORBIX_SUMMARIZER_MODULE_NAME "._parse_summary", line::parse_summary::first,
             parse_summary,
             {{"text", ArgType::ExactStr, false, "str"}}, "dict[str, Any]",
             {"lines", "json_lines", "in_block", "line", "data"}, "Parse the LLM's JSON response into a summary dict."),
    function(Fn::empty_summary, KORBIX_SUMMARIZER_MODULE_NAME "._empty_summary", line::empty_summary::first,
             empty_summary,
             {}, "dict[str, Any]", {}, nullptr),
    function(Fn::fallback_summary, KORBIX_SUMMARIZER_MODULE_NAME "._fallback_summary", line::fallback_summary::first,
             fallback_summary, {{"messages", ArgType::ExactList, false, "list[dict[str, Any]]"}}, "dict[str, Any]",
             {"goals", "progress", "msg", "content"},
             "Create a basic summary without LLM when summarization fails."),
};
inline constexpr int kFunctionCount = static_cast<int>(std::size(kFunctions));

constexpr const FunctionRow& row_of(Fn id) { return kFunctions[static_cast<int>(id)]; }

// The site of a function's traceback entries, with the policy its failures
// follow (propagate unless told otherwise).
template <rt::Policy policy = rt::Policy::propagate>
constexpr rt::BasicSite<policy> site_of(Fn id) {
    return rt::BasicSite<policy>(row_of(id).def.traceback_name);
}

// Readies what the summarize operation needs before its first call (the
// type of its call scope): 0, or -1 with an exception set.
int summarize_types_ready() noexcept;

}  // namespace korbix::summarizer
