// `ConversationSummarizer.__init__` and `summarize_messages`.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "pending.hpp"

namespace korbix::summarizer {
namespace {
const Text kLlmAttribute{"_llm"};
}  // namespace

PyObject* summarizer_init(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        constexpr rt::Site site{kTracebackInit};
        site.status(60, PyObject_SetAttr(args[0], kLlmAttribute.get(), args[1]));
        return Py_NewRef(Py_None);
    });
}

PyObject* summarize_messages(FunctionObject*, PyObject* const*) noexcept {
    return not_implemented_yet("summarize_messages");
}

bool summarize_types_ready() noexcept { return true; }

}  // namespace korbix::summarizer
