// `_format_messages_for_summary` and `_brief_args`: the Transcript.
#include "logic.hpp"
#include "pending.hpp"

namespace korbix::summarizer {

PyObject* format_messages_for_summary(FunctionObject*, PyObject* const*) noexcept {
    return not_implemented_yet("_format_messages_for_summary");
}

PyObject* brief_args(FunctionObject*, PyObject* const*) noexcept { return not_implemented_yet("_brief_args"); }

}  // namespace korbix::summarizer
