// `ConversationSummarizer.__init__` and `summarize_messages`: the call scope
// that holds a run's locals, and the body that the run's coroutine resumes.
#include <utility>

#include "../runtime/coroutine.hpp"
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "record.hpp"
#include "state.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

const Text kLlmAttribute{"_llm"};
const Text kCompleteName{"complete"};
const Text kContentName{"content"};
const Text kRoleKey{"role"};
const Text kContentKey{"content"};
const Text kSystemRole{"system"};
const Text kUserRole{"user"};
const Text kUserRequest{"Summarize the conversation above. Return ONLY the JSON object."};
const Text kPreviousSummaryHeading{"\n\n## Previous Summary (build on this):\n"};
const Text kConversationHeading{"\n\n## Conversation to Summarize:\n"};
const Text kLineBreak{"\n"};
const Text kEmptyResponse{"Empty response from summarizer LLM"};
const Text kFailurePrefix{"Summarization failed: "};
const Text kWarningMethod{"warning"};
const Text kErrorMethod{"error"};
const Text kMessagesKeyword{"messages"};
const Text kTemperatureKeyword{"temperature"};
const Text kMaxTokensKeyword{"max_tokens"};

// Module globals the operation resolves each time it uses them.
const Text kEmptySummaryGlobal{"_empty_summary"};
const Text kFormatMessagesGlobal{"_format_messages_for_summary"};
const Text kPromptGlobal{"SUMMARIZE_PROMPT"};
const Text kParseSummaryGlobal{"_parse_summary"};
const Text kFallbackSummaryGlobal{"_fallback_summary"};
const Text kLoggerGlobal{"logger"};

// What the coroutine reports about itself.
const Text kCoroutineName{"summarize_messages"};
const Text kCoroutineQualname{"ConversationSummarizer.summarize_messages"};
const Text kCoroutineModule{"korbix.core.summarizer"};

// Keyword names of the `complete` call, in the order they are passed (made once).
PyObject* g_complete_keywords = nullptr;

// An exception that ends the operation shows the short name; one caught by
// the guarded region shows the dotted name (kTracebackSummarizeMessages).
constexpr rt::Site kOperation{"summarize_messages"};

constexpr int kLineStart = 62;
constexpr int kLineEmptyInput = 77;
constexpr int kLineTranscript = 80;
constexpr int kLinePromptList = 82;
constexpr int kLinePreviousSummary = 86;
constexpr int kLineConversation = 89;
constexpr int kLineCall = 92;
constexpr int kLineRequestList = 93;
constexpr int kLineSystemMessage = 94;
constexpr int kLineUserMessage = 95;
constexpr int kLineContentTest = 101;
constexpr int kLineParse = 102;
constexpr int kLineEmptyWarning = 104;
constexpr int kLineEmptyFallback = 105;
constexpr int kLineFailureLog = 108;
constexpr int kLineFailureFallback = 109;

constexpr int kAwaitingLlm = 1;  // the one suspension point

// ---- the call scope ----------------------------------------------------------

// The locals of one run (named as in the method's code object), plus the
// handled exception saved on entry to the guarded region.
struct CallScope {
    PyObject_HEAD
    PyObject* self;
    PyObject* messages;
    PyObject* existing_summary;
    PyObject* conv_text;
    PyObject* prompt_parts;
    PyObject* response;
    PyObject* e;
    PyObject* saved_handled;
};

PyTypeObject* g_scope_type = nullptr;  // lives until process exit

// Released scopes kept for reuse; their memory stays allocated.
constexpr int kMaxFreeScopes = 8;
CallScope* g_free_scopes[kMaxFreeScopes];
int g_free_scope_count = 0;

CallScope* as_scope(PyObject* object) { return reinterpret_cast<CallScope*>(object); }

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    CallScope* scope = as_scope(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(scope->self);
    Py_VISIT(scope->messages);
    Py_VISIT(scope->existing_summary);
    Py_VISIT(scope->conv_text);
    Py_VISIT(scope->prompt_parts);
    Py_VISIT(scope->response);
    Py_VISIT(scope->e);
    Py_VISIT(scope->saved_handled);
    return 0;
}

int scope_clear(PyObject* self) {
    CallScope* scope = as_scope(self);
    // Detach every field before releasing any, so re-entrant code sees an empty scope.
    PyObject* held[] = {
        std::exchange(scope->self, nullptr),         std::exchange(scope->messages, nullptr),
        std::exchange(scope->existing_summary, nullptr), std::exchange(scope->conv_text, nullptr),
        std::exchange(scope->prompt_parts, nullptr), std::exchange(scope->response, nullptr),
        std::exchange(scope->e, nullptr),            std::exchange(scope->saved_handled, nullptr),
    };
    for (PyObject* object : held) Py_XDECREF(object);
    return 0;
}

void scope_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    if (type == g_scope_type && g_free_scope_count < kMaxFreeScopes) {
        g_free_scopes[g_free_scope_count++] = as_scope(self);
    } else {
        PyObject_GC_Del(self);
    }
    Py_DECREF(type);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scope_clear)},
    {0, nullptr},
};

PyType_Spec scope_spec = {
    "korbix.core.summarizer._summarize_messages_scope",
    sizeof(CallScope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scope_slots,
};

// A scope holding the call's arguments: a recycled one when available.
Ref new_scope(PyObject* self, PyObject* messages, PyObject* existing_summary) {
    CallScope* scope;
    if (g_free_scope_count > 0) {
        scope = g_free_scopes[--g_free_scope_count];
        // Gives the dead object a reference count and a type reference again.
        PyObject_Init(reinterpret_cast<PyObject*>(scope), g_scope_type);
    } else {
        scope = PyObject_GC_New(CallScope, g_scope_type);
        if (scope == nullptr) return {};
    }
    scope->self = Py_NewRef(self);
    scope->messages = Py_NewRef(messages);
    scope->existing_summary = Py_NewRef(existing_summary);
    scope->conv_text = nullptr;
    scope->prompt_parts = nullptr;
    scope->response = nullptr;
    scope->e = nullptr;
    scope->saved_handled = nullptr;
    PyObject_GC_Track(scope);
    return Ref::steal(reinterpret_cast<PyObject*>(scope));
}

void store(PyObject*& field, Ref value) { Py_XSETREF(field, value.release()); }

// ---- the guarded region --------------------------------------------------------

// Thrown by a failing step inside the guarded region; the handler decides,
// by the exception's class, which traceback entry it gets.
struct RegionFailure {
    int line;
};

struct RegionSite {
    Ref at(int line, PyObject* result) const {
        if (result == nullptr) throw RegionFailure{line};
        return Ref::steal(result);
    }
    Ref at(int line, Ref result) const {
        if (!result) throw RegionFailure{line};
        return result;
    }
    void status(int line, int result) const {
        if (result < 0) throw RegionFailure{line};
    }
};
constexpr RegionSite kRegion{};

// Like a `try` statement, the region restores on leaving the exception that
// was being handled when it was entered; the run may suspend in between.
void enter_region(CallScope* scope, PyThreadState* thread) {
    Py_XSETREF(scope->saved_handled, Py_XNewRef(thread->exc_info->exc_value));
}

void leave_region(CallScope* scope) {
    Ref saved = Ref::steal(std::exchange(scope->saved_handled, nullptr));
    PyErr_SetHandledException(saved.get());
}

// The records the operation passes on must be exact dicts (or None).
[[gnu::cold]] void refuse_record(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value)->tp_name);
}

bool is_record(PyObject* value) { return value == Py_None || PyDict_CheckExact(value); }

PyObject* finish(rt::CoroutineObject* coroutine, Ref result) {
    coroutine->resume_point = rt::kResumeFinished;
    return result.release();
}

// Steps after the await, all inside the guarded region: read the answer and
// turn it into a record.
Ref record_from_response(CallScope* scope) {
    Ref content = kRegion.at(kLineContentTest, PyObject_GetAttr(scope->response, kContentName.get()));
    int answered = PyObject_IsTrue(content.get());
    kRegion.status(kLineContentTest, answered);
    content.reset();
    Ref record;
    int line;
    if (answered) {
        line = kLineParse;
        Ref parse = kRegion.at(line, lookup_global(kParseSummaryGlobal.get()));
        Ref text = kRegion.at(line, PyObject_GetAttr(scope->response, kContentName.get()));
        record = kRegion.at(line, PyObject_CallOneArg(parse.get(), text.get()));
    } else {
        Ref logger = kRegion.at(kLineEmptyWarning, lookup_global(kLoggerGlobal.get()));
        kRegion.at(kLineEmptyWarning,
                   PyObject_CallMethodOneArg(logger.get(), kWarningMethod.get(), kEmptyResponse.get()));
        line = kLineEmptyFallback;
        Ref fallback = kRegion.at(line, lookup_global(kFallbackSummaryGlobal.get()));
        record = kRegion.at(line, PyObject_CallOneArg(fallback.get(), scope->messages));
    }
    if (!is_record(record.get())) {
        refuse_record(record.get());
        throw RegionFailure{line};
    }
    return record;
}

// The handler of the guarded region: an `Exception` is logged and answered
// with the fallback record; anything else ends the operation unchanged.
PyObject* handle_region_failure(rt::CoroutineObject* coroutine, CallScope* scope, int line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        rt::add_traceback(kOperation.name(), line, rt::traceback_globals());
        leave_region(scope);
        throw rt::PythonError{};
    }
    rt::add_traceback(kTracebackSummarizeMessages, line, rt::traceback_globals());
    Ref error = Ref::steal(PyErr_GetRaisedException());
    store(scope->e, error.copy());
    // While the handler runs, `error` is the handled exception: it shows in
    // sys.exc_info() and becomes the context of anything raised here.
    PyErr_SetHandledException(error.get());
    struct HandlerExit {
        CallScope* scope;
        ~HandlerExit() {
            Ref unbound = Ref::steal(std::exchange(scope->e, nullptr));
            leave_region(scope);
        }
    } handler_exit{scope};

    Ref text = kOperation.at(kLineFailureLog, PyObject_Format(error.get(), kEmptyText.get()));
    Ref message = kOperation.at(kLineFailureLog, PyUnicode_Concat(kFailurePrefix.get(), text.get()));
    Ref logger = kOperation.at(kLineFailureLog, lookup_global(kLoggerGlobal.get()));
    kOperation.at(kLineFailureLog, PyObject_CallMethodOneArg(logger.get(), kErrorMethod.get(), message.get()));
    Ref fallback = kOperation.at(kLineFailureFallback, lookup_global(kFallbackSummaryGlobal.get()));
    Ref record = kOperation.at(kLineFailureFallback, PyObject_CallOneArg(fallback.get(), scope->messages));
    if (!is_record(record.get())) {
        refuse_record(record.get());
        kOperation.fail(kLineFailureFallback);
    }
    return finish(coroutine, std::move(record));
}

// ---- the operation ---------------------------------------------------------------

// Everything up to the await, and the await itself.
PyObject* start(rt::CoroutineObject* coroutine, CallScope* scope, PyThreadState* thread, PyObject* sent) {
    if (sent == nullptr) kOperation.fail(kLineStart);  // thrown in before the first step
    if (sent != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        kOperation.fail(kLineStart);
    }

    if (PyList_GET_SIZE(scope->messages) == 0) {
        Ref empty_summary = kOperation.at(kLineEmptyInput, lookup_global(kEmptySummaryGlobal.get()));
        Ref record = kOperation.at(kLineEmptyInput, PyObject_CallNoArgs(empty_summary.get()));
        if (!is_record(record.get())) {
            refuse_record(record.get());
            kOperation.fail(kLineEmptyInput);
        }
        return finish(coroutine, std::move(record));
    }

    {
        Ref format_messages = kOperation.at(kLineTranscript, lookup_global(kFormatMessagesGlobal.get()));
        store(scope->conv_text,
              kOperation.at(kLineTranscript, PyObject_CallOneArg(format_messages.get(), scope->messages)));
    }
    {
        Ref prompt = kOperation.at(kLinePromptList, lookup_global(kPromptGlobal.get()));
        Ref parts = kOperation.at(kLinePromptList, PyList_New(1));
        PyList_SET_ITEM(parts.get(), 0, prompt.release());
        store(scope->prompt_parts, std::move(parts));
    }
    if (scope->existing_summary != Py_None && PyUnicode_GET_LENGTH(scope->existing_summary) != 0) {
        Ref piece = kOperation.at(kLinePreviousSummary,
                                  PyUnicode_Concat(kPreviousSummaryHeading.get(), scope->existing_summary));
        kOperation.status(kLinePreviousSummary, PyList_Append(scope->prompt_parts, piece.get()));
    }
    {
        Ref transcript = kOperation.at(kLineConversation, PyObject_Format(scope->conv_text, kEmptyText.get()));
        Ref piece = kOperation.at(kLineConversation, PyUnicode_Concat(kConversationHeading.get(), transcript.get()));
        kOperation.status(kLineConversation, PyList_Append(scope->prompt_parts, piece.get()));
    }

    enter_region(scope, thread);
    try {
        Ref llm = kRegion.at(kLineCall, PyObject_GetAttr(scope->self, kLlmAttribute.get()));
        Ref system_message = kRegion.at(kLineSystemMessage, PyDict_New());
        kRegion.status(kLineSystemMessage, PyDict_SetItem(system_message.get(), kRoleKey.get(), kSystemRole.get()));
        {
            Ref system_text = kRegion.at(kLineSystemMessage, PyUnicode_Join(kLineBreak.get(), scope->prompt_parts));
            kRegion.status(kLineSystemMessage,
                           PyDict_SetItem(system_message.get(), kContentKey.get(), system_text.get()));
        }
        Ref user_message = kRegion.at(kLineUserMessage, PyDict_New());
        kRegion.status(kLineUserMessage, PyDict_SetItem(user_message.get(), kRoleKey.get(), kUserRole.get()));
        kRegion.status(kLineUserMessage, PyDict_SetItem(user_message.get(), kContentKey.get(), kUserRequest.get()));
        Ref request = kRegion.at(kLineRequestList, PyList_New(2));
        PyList_SET_ITEM(request.get(), 0, system_message.release());
        PyList_SET_ITEM(request.get(), 1, user_message.release());

        const ModuleState& module_state = state();
        PyObject* call_args[] = {llm.get(), request.get(), module_state.temperature, module_state.max_tokens};
        Ref awaitable = kRegion.at(kLineCall, PyObject_VectorcallMethod(kCompleteName.get(), call_args, 1,
                                                                        g_complete_keywords));
        request.reset();
        llm.reset();

        PyObject* produced = nullptr;
        const PySendResult status = rt::coroutine_await(coroutine, awaitable.get(), &produced);
        awaitable.reset();
        if (status == PYGEN_NEXT) {
            coroutine->resume_point = kAwaitingLlm;
            return produced;
        }
        if (status == PYGEN_ERROR) throw RegionFailure{kLineCall};
        store(scope->response, Ref::steal(produced));
        Ref record = record_from_response(scope);
        leave_region(scope);
        return finish(coroutine, std::move(record));
    } catch (const RegionFailure& failure) {
        return handle_region_failure(coroutine, scope, failure.line);
    }
}

// Resumed at the await: `sent` is the awaited object's result, or nullptr
// with its exception (or one thrown into the coroutine) pending.
PyObject* resume_after_llm(rt::CoroutineObject* coroutine, CallScope* scope, PyObject* sent) {
    try {
        if (sent == nullptr) throw RegionFailure{kLineCall};
        store(scope->response, Ref::borrow(sent));
        Ref record = record_from_response(scope);
        leave_region(scope);
        return finish(coroutine, std::move(record));
    } catch (const RegionFailure& failure) {
        return handle_region_failure(coroutine, scope, failure.line);
    }
}

PyObject* summarize_body(rt::CoroutineObject* coroutine, PyThreadState* thread, PyObject* sent) noexcept {
    PyObject* result = rt::boundary([&]() -> PyObject* {
        CallScope* scope = as_scope(coroutine->closure);
        if (scope == nullptr || scope->messages == nullptr) {
            // Only the garbage collector empties a scope, and only once nothing can resume it.
            PyErr_SetString(PyExc_SystemError, "summarize_messages resumed after its state was cleared");
            return nullptr;
        }
        switch (coroutine->resume_point) {
            case 0:
                return start(coroutine, scope, thread, sent);
            case kAwaitingLlm:
                return resume_after_llm(coroutine, scope, sent);
            default:
                PyErr_SetString(PyExc_SystemError, "summarize_messages resumed at an unknown point");
                return nullptr;
        }
    });
    if (result == nullptr) coroutine->resume_point = rt::kResumeFinished;
    return result;
}

}  // namespace

PyObject* summarizer_init(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        constexpr rt::Site site{kTracebackInit};
        site.status(60, PyObject_SetAttr(args[0], kLlmAttribute.get(), args[1]));
        return Py_NewRef(Py_None);
    });
}

PyObject* summarize_messages(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        constexpr rt::Site site{kTracebackSummarizeMessages};
        Ref scope = site.at(kLineStart, new_scope(args[0], args[1], args[2]));
        Ref coroutine = site.at(kLineStart, rt::new_coroutine(summarize_body, scope.get(),
                                                             state().code_summarize_messages, kCoroutineName.get(),
                                                             kCoroutineQualname.get(), kCoroutineModule.get()));
        return coroutine.release();
    });
}

bool summarize_types_ready() noexcept {
    if (g_complete_keywords == nullptr) {
        g_complete_keywords =
            PyTuple_Pack(3, kMessagesKeyword.get(), kTemperatureKeyword.get(), kMaxTokensKeyword.get());
        if (g_complete_keywords == nullptr) return false;
    }
    if (g_scope_type == nullptr) {
        g_scope_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scope_spec));
        if (g_scope_type == nullptr) return false;
    }
    return true;
}

}  // namespace korbix::summarizer
