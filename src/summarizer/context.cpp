// `ConversationSummarizer.format_summary_for_context`: the Markdown context block.
#include "logic.hpp"
#include "pending.hpp"

namespace korbix::summarizer {

PyObject* format_summary_for_context(FunctionObject*, PyObject* const*) noexcept {
    return not_implemented_yet("format_summary_for_context");
}

}  // namespace korbix::summarizer
