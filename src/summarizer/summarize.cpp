// `ConversationSummarizer.__init__` and `summarize_messages`: the call scope
// that holds a run's locals, and the body that the run's coroutine resumes.
#include <iterator>
#include <utility>

#include "../runtime/coroutine.hpp"
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "state.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

namespace at = line::summarize_messages;

// The keyword arguments of the `complete` call: their names, in the order in
// which the call passes their values after the client, and the tuple of them
// (made once).
PyObject** const kCompleteKeywordNames[] = {&str::messages, &str::temperature, &str::max_tokens};
PyObject* g_complete_keywords = nullptr;

constexpr const FunctionRow& kMethodRow = row_of(Fn::summarize_messages);

// An exception that ends the operation shows the short name; one caught by
// the guarded region shows the dotted name.
constexpr rt::Site kOperation(kMethodRow.def.name);
constexpr rt::GuardedSite kRegion = site_of<rt::Policy::guarded>(Fn::summarize_messages);
constexpr rt::ExpectedSite kCaught = site_of<rt::Policy::expected>(Fn::summarize_messages);  // adds the entry only

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

// Every field of the scope, for the GC, for release and for a new scope.
constexpr PyObject* CallScope::*kScopeFields[] = {
    &CallScope::self,         &CallScope::messages, &CallScope::existing_summary, &CallScope::conv_text,
    &CallScope::prompt_parts, &CallScope::response, &CallScope::e,                &CallScope::saved_handled,
};
static_assert(std::size(kScopeFields) == kMethodRow.def.param_count + kMethodRow.local_count + 1,
              "one field per parameter and local of the method, and the saved exception");

PyTypeObject* g_scope_type = nullptr;  // lives until process exit

CallScope* as_scope(PyObject* object) noexcept { return reinterpret_cast<CallScope*>(object); }

int scope_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CallScope* scope = as_scope(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* CallScope::*field : kScopeFields) Py_VISIT(scope->*field);
    return 0;
}

int scope_clear(PyObject* self) noexcept {
    CallScope* scope = as_scope(self);
    // Detach every field before releasing any, so re-entrant code sees an empty scope.
    Ref held[std::size(kScopeFields)];
    for (size_t i = 0; i < std::size(kScopeFields); ++i) {
        held[i] = Ref::steal(std::exchange(scope->*kScopeFields[i], nullptr));
    }
    for (Ref& object : held) object.reset();  // in field order
    return 0;
}

void scope_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scope_clear)},
    {0, nullptr},
};

PyType_Spec scope_spec = {
    KORBIX_SUMMARIZER_MODULE_NAME "._summarize_messages_scope",
    sizeof(CallScope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scope_slots,
};

// A scope holding the call's arguments.
Ref new_scope(PyObject* self, PyObject* messages, PyObject* existing_summary) noexcept {
    CallScope* scope = PyObject_GC_New(CallScope, g_scope_type);
    if (scope == nullptr) return {};
    for (PyObject* CallScope::*field : kScopeFields) scope->*field = nullptr;
    scope->self = Py_NewRef(self);
    scope->messages = Py_NewRef(messages);
    scope->existing_summary = Py_NewRef(existing_summary);
    PyObject_GC_Track(scope);
    return Ref::steal(reinterpret_cast<PyObject*>(scope));
}

void store(PyObject*& field, Ref value) noexcept { Py_XSETREF(field, value.release()); }

// ---- the guarded region --------------------------------------------------------

// Like a `try` statement, the region restores on leaving the exception that
// was being handled when it was entered; the run may suspend in between.
void enter_region(CallScope* scope, PyThreadState* thread) noexcept {
    Py_XSETREF(scope->saved_handled, Py_XNewRef(thread->exc_info->exc_value));
}

void leave_region(CallScope* scope) noexcept {
    Ref saved = Ref::steal(std::exchange(scope->saved_handled, nullptr));
    PyErr_SetHandledException(saved.get());
}

// The records the operation passes on must be exact dicts (or None); any
// other value fails the step at `line` of `site`.
template <class StepSite>
void require_record(const StepSite& site, int line, PyObject* value) {
    if (value == Py_None || PyDict_CheckExact(value)) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value)->tp_name);
    site.fail(line);
}

PyObject* finish(rt::CoroutineObject* coroutine, Ref result) noexcept {
    coroutine->resume_point = rt::kResumeFinished;
    return result.release();
}

// Steps after the await, all inside the guarded region: read the answer and
// turn it into a record.
Ref record_from_response(CallScope* scope) {
    Ref content = kRegion.at(at::content_test, PyObject_GetAttr(scope->response, str::content));
    int answered = PyObject_IsTrue(content.get());
    kRegion.status(at::content_test, answered);
    content.reset();
    Ref record;
    int line;
    if (answered) {
        line = at::parse;
        Ref parse = kRegion.at(line, lookup_global(name_of(Fn::parse_summary)));
        Ref text = kRegion.at(line, PyObject_GetAttr(scope->response, str::content));
        record = kRegion.at(line, PyObject_CallOneArg(parse.get(), text.get()));
    } else {
        log_message(kRegion, at::empty_warning, str::warning, str::empty_response_from_summarizer_llm);
        line = at::empty_fallback;
        record = call_module_function(kRegion, line, Fn::fallback_summary, scope->messages);
    }
    require_record(kRegion, line, record.get());
    return record;
}

// The handler of the guarded region: an `Exception` is logged and answered
// with the fallback record; anything else ends the operation unchanged.
PyObject* handle_region_failure(rt::CoroutineObject* coroutine, CallScope* scope, int line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        leave_region(scope);
        kOperation.fail(line);
    }
    kCaught.fail(line);
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

    Ref text = kOperation.at(at::failure_log, PyObject_Format(error.get(), str::empty));
    Ref message = kOperation.at(at::failure_log, PyUnicode_Concat(str::summarization_failed_colon, text.get()));
    log_message(kOperation, at::failure_log, str::error, message.get());
    Ref record = call_module_function(kOperation, at::failure_fallback, Fn::fallback_summary, scope->messages);
    require_record(kOperation, at::failure_fallback, record.get());
    return finish(coroutine, std::move(record));
}

// ---- the operation ---------------------------------------------------------------

// Everything up to the await, and the await itself.
PyObject* start(rt::CoroutineObject* coroutine, CallScope* scope, PyThreadState* thread, PyObject* sent) {
    if (sent == nullptr) kOperation.fail(at::first);  // thrown in before the first step
    if (sent != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        kOperation.fail(at::first);
    }

    if (PyList_GET_SIZE(scope->messages) == 0) {
        Ref record = call_module_function(kOperation, at::empty_input, Fn::empty_summary);
        require_record(kOperation, at::empty_input, record.get());
        return finish(coroutine, std::move(record));
    }

    store(scope->conv_text,
          call_module_function(kOperation, at::transcript, Fn::format_messages_for_summary, scope->messages));
    {
        Ref prompt = kOperation.at(at::prompt_list, lookup_global(str::SUMMARIZE_PROMPT));
        Ref parts = kOperation.at(at::prompt_list, PyList_New(1));
        PyList_SET_ITEM(parts.get(), 0, prompt.release());
        store(scope->prompt_parts, std::move(parts));
    }
    if (scope->existing_summary != Py_None && PyUnicode_GET_LENGTH(scope->existing_summary) != 0) {
        Ref piece = kOperation.at(at::previous_summary,
                                  PyUnicode_Concat(str::nl2_h2_previous_summary, scope->existing_summary));
        kOperation.status(at::previous_summary, PyList_Append(scope->prompt_parts, piece.get()));
    }
    {
        Ref transcript = kOperation.at(at::conversation, PyObject_Format(scope->conv_text, str::empty));
        Ref piece = kOperation.at(at::conversation, PyUnicode_Concat(str::nl2_h2_conversation_to_summarize, transcript.get()));
        kOperation.status(at::conversation, PyList_Append(scope->prompt_parts, piece.get()));
    }

    enter_region(scope, thread);
    try {
        Ref llm = kRegion.at(at::call, PyObject_GetAttr(scope->self, str::_llm));
        Ref system_message = kRegion.at(at::system_message, PyDict_New());
        kRegion.status(at::system_message, PyDict_SetItem(system_message.get(), str::role, str::system));
        {
            Ref system_text = kRegion.at(at::system_message, PyUnicode_Join(str::nl, scope->prompt_parts));
            kRegion.status(at::system_message,
                           PyDict_SetItem(system_message.get(), str::content, system_text.get()));
        }
        Ref user_message = kRegion.at(at::user_message, PyDict_New());
        kRegion.status(at::user_message, PyDict_SetItem(user_message.get(), str::role, str::user));
        kRegion.status(at::user_message, PyDict_SetItem(user_message.get(), str::content, str::summarize_the_conversation_above));
        Ref request = kRegion.at(at::request_list, PyList_New(2));
        PyList_SET_ITEM(request.get(), 0, system_message.release());
        PyList_SET_ITEM(request.get(), 1, user_message.release());

        const ModuleState& module_state = state();
        PyObject* call_args[] = {llm.get(), request.get(), module_state.temperature, module_state.max_tokens};
        static_assert(std::size(call_args) == 1 + std::size(kCompleteKeywordNames));
        Ref awaitable = kRegion.at(at::call, PyObject_VectorcallMethod(str::complete, call_args, 1,
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
        if (status == PYGEN_ERROR) kRegion.fail(at::call);
        store(scope->response, Ref::steal(produced));
        Ref record = record_from_response(scope);
        leave_region(scope);
        return finish(coroutine, std::move(record));
    } catch (const rt::GuardedFailure& failure) {
        return handle_region_failure(coroutine, scope, failure.line);
    }
}

// Resumed at the await: `sent` is the awaited object's result, or nullptr
// with its exception (or one thrown into the coroutine) pending.
PyObject* resume_after_llm(rt::CoroutineObject* coroutine, CallScope* scope, PyObject* sent) {
    try {
        if (sent == nullptr) kRegion.fail(at::call);
        store(scope->response, Ref::borrow(sent));
        Ref record = record_from_response(scope);
        leave_region(scope);
        return finish(coroutine, std::move(record));
    } catch (const rt::GuardedFailure& failure) {
        return handle_region_failure(coroutine, scope, failure.line);
    }
}

PyObject* summarize_body(rt::CoroutineObject* coroutine, PyThreadState* thread, PyObject* sent) noexcept {
    return rt::boundary([&]() -> PyObject* {
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
}

}  // namespace

PyObject* summarizer_init(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        constexpr rt::Site site = site_of(Fn::init);
        site.status(line::init::store_client, PyObject_SetAttr(args[0], str::_llm, args[1]));
        return Py_NewRef(Py_None);
    });
}

PyObject* summarize_messages(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        constexpr rt::Site site = site_of(Fn::summarize_messages);
        Ref scope = site.at(at::first, new_scope(args[0], args[1], args[2]));
        constexpr Fn id = Fn::summarize_messages;
        Ref coroutine = site.at(at::first, rt::new_coroutine(summarize_body, scope.get(), code_of(id), name_of(id),
                                                             qualname_of(id), str::korbix_core_summarizer));
        return coroutine.release();
    });
}

int summarize_types_ready() noexcept {
    if (g_complete_keywords == nullptr) {
        g_complete_keywords = keyword_names(kCompleteKeywordNames).release();
        if (g_complete_keywords == nullptr) return -1;
    }
    if (g_scope_type == nullptr) {
        g_scope_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scope_spec));
        if (g_scope_type == nullptr) return -1;
    }
    return 0;
}

}  // namespace korbix::summarizer
