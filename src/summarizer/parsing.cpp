// `_parse_summary`: the LLM's answer as a Summary record.
#include "logic.hpp"
#include "pending.hpp"

namespace korbix::summarizer {

PyObject* parse_summary(FunctionObject*, PyObject* const*) noexcept { return not_implemented_yet("_parse_summary"); }

}  // namespace korbix::summarizer
