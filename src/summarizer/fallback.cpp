// `_fallback_summary`: a Summary record from the messages alone.
#include "logic.hpp"
#include "pending.hpp"

namespace korbix::summarizer {

PyObject* fallback_summary(FunctionObject*, PyObject* const*) noexcept {
    return not_implemented_yet("_fallback_summary");
}

}  // namespace korbix::summarizer
