// The coroutine protocol around a resumable body: send, throw, close, the
// async send slot, delegation to an awaited object, finalization, and the
// thin await wrapper that `__await__` returns.
#include "coroutine.hpp"

#include <frameobject.h>

#include "attributes.hpp"
#include "errors.hpp"

#include <cstddef>
#include <utility>

namespace korbix::rt {
namespace {

// The refusals that more than one entry gives, in the interpreter's words.
constexpr char kAwaitedAlready[] = "coroutine is being awaited already";
constexpr char kExpectedCoroutine[] = "invalid input, expected coroutine";

// Both types are static (defined below); these point at them once they are ready.
PyTypeObject* g_coroutine_type = nullptr;
PyTypeObject* g_wrapper_type = nullptr;

// Interned names used to drive delegates and to warn (made once, never
// released). A fresh string per lookup would also be kept alive for a while
// by the interpreter's attribute cache.
struct Names {
    PyObject* send = nullptr;
    PyObject* throw_ = nullptr;
    PyObject* close = nullptr;
    PyObject* await = nullptr;
    PyObject* cr_await = nullptr;
    PyObject* warnings = nullptr;
    PyObject* warn_unawaited = nullptr;
} g_names;

struct WrapperObject {
    PyObject_HEAD
    PyObject* coroutine;
};

CoroutineObject* as_coroutine(PyObject* object) noexcept { return reinterpret_cast<CoroutineObject*>(object); }
WrapperObject* as_wrapper(PyObject* object) noexcept { return reinterpret_cast<WrapperObject*>(object); }
PyObject* as_object(CoroutineObject* coroutine) noexcept { return reinterpret_cast<PyObject*>(coroutine); }
bool is_wrapper(PyObject* object) noexcept { return g_wrapper_type != nullptr && Py_IS_TYPE(object, g_wrapper_type); }

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept;
PyObject* close_coroutine(CoroutineObject* coroutine) noexcept;

// ---- small pieces ----------------------------------------------------------

// Sets the running flag for the duration of one operation.
class RunningScope {
public:
    explicit RunningScope(CoroutineObject* coroutine) noexcept : coroutine_(coroutine) { coroutine_->running = true; }
    ~RunningScope() { coroutine_->running = false; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    CoroutineObject* coroutine_;
};

// One level of the C stack for a send. A coroutine that awaits another one
// sends into it from inside its own send, so a chain of coroutines nests one
// level per coroutine; counting each level like a call keeps an endless chain
// to a RecursionError instead of a stack overflow.
class NestingScope {
public:
    NestingScope() noexcept : entered_(Py_EnterRecursiveCall(" while sending into a coroutine") == 0) {}
    ~NestingScope() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    NestingScope(const NestingScope&) = delete;
    NestingScope& operator=(const NestingScope&) = delete;
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

[[gnu::cold]] PySendResult refuse_running() noexcept {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

// The value a finished iterator reports through its pending StopIteration
// (None when nothing is pending); empty with the exception left set when
// something else is pending.
Ref take_stop_iteration_value() noexcept {
    if (!PyErr_Occurred()) return Ref::borrow(Py_None);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return {};
    Ref stop = Ref::steal(PyErr_GetRaisedException());
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(stop.get())->value;
    return Ref::borrow(value != nullptr ? value : Py_None);
}

// Raises StopIteration carrying `value` as its `value` attribute.
void raise_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // Calling the class with the value keeps a tuple or exception value intact.
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// A StopIteration must not end a body silently: it becomes a RuntimeError
// caused by it, so the awaiting code cannot mistake it for a return.
void replace_stop_iteration() noexcept {
    Ref stop = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), stop.copy().release());
    PyException_SetContext(error.get(), stop.release());
    PyErr_SetRaisedException(error.release());
}

void forget_delegate(CoroutineObject* coroutine) noexcept {
    coroutine->delegate_send = nullptr;
    Ref old = Ref::steal(std::exchange(coroutine->delegate, nullptr));
}

// Drops everything a finished coroutine holds. Fields are detached before any
// release, so code run by a release sees a finished coroutine; the pending
// exception (the body's failure) survives the releases.
void release_finished(CoroutineObject* coroutine) noexcept {
    SetAsideError pending;
    {
        coroutine->delegate_send = nullptr;
        Ref closure = Ref::steal(std::exchange(coroutine->closure, nullptr));
        Ref delegate = Ref::steal(std::exchange(coroutine->delegate, nullptr));
        Ref handled = Ref::steal(std::exchange(coroutine->handled.exc_value, nullptr));
        Ref code = Ref::steal(std::exchange(coroutine->code, nullptr));
        Ref frame = Ref::steal(std::exchange(coroutine->frame, nullptr));
        Ref name = Ref::steal(std::exchange(coroutine->name, nullptr));
        Ref qualname = Ref::steal(std::exchange(coroutine->qualname, nullptr));
        Ref module = Ref::steal(std::exchange(coroutine->module, nullptr));
    }
}

// Up to `depth` (filename, line, function name) triples of the calling Python
// frames, innermost first: the shape of a native coroutine's `cr_origin`.
Ref creation_origin(PyThreadState* thread, int depth) noexcept {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return {};
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(thread)));
    for (int i = 0; frame && i < depth; ++i) {
        auto* current = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(current)));
        auto* code_object = reinterpret_cast<PyCodeObject*>(code.get());
        Ref entry = Ref::steal(Py_BuildValue("OiO", code_object->co_filename, PyFrame_GetLineNumber(current),
                                             code_object->co_name));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return {};
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
        if (!frame && PyErr_Occurred()) return {};
    }
    return Ref::steal(PyList_AsTuple(entries.get()));
}

// ---- the protocol ----------------------------------------------------------

// Enters the body with `value` (nullptr: raise the pending exception at the
// resume point). `closing` makes resuming a finished coroutine silent.
PySendResult resume_body(CoroutineObject* coroutine, PyObject* value, bool closing, PyObject** result) noexcept {
    *result = nullptr;
    if (coroutine->resume_point == kResumeFinished) {
        if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    PyThreadState* thread = PyThreadState_Get();
    coroutine->handled.previous_item = thread->exc_info;
    thread->exc_info = &coroutine->handled;
    PyObject* produced = coroutine->body(coroutine, thread, value);
    thread->exc_info = coroutine->handled.previous_item;
    coroutine->handled.previous_item = nullptr;

    if (produced != nullptr && coroutine->resume_point != kResumeFinished) {
        *result = produced;
        return PYGEN_NEXT;
    }
    coroutine->resume_point = kResumeFinished;
    if (produced == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "coroutine body failed without an exception");
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) replace_stop_iteration();
    }
    release_finished(coroutine);
    if (produced == nullptr) return PYGEN_ERROR;
    *result = produced;
    return PYGEN_RETURN;
}

// The delegate ended without yielding: resume the body with its final value,
// or with its exception pending.
PySendResult finish_delegation(CoroutineObject* coroutine, PyObject** result) noexcept {
    Ref returned = take_stop_iteration_value();
    return resume_body(coroutine, returned.get(), false, result);
}

PySendResult send_step(CoroutineObject* coroutine, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    if (coroutine->running) return refuse_running();
    NestingScope nesting;
    if (!nesting.entered()) return PYGEN_ERROR;
    RunningScope running(coroutine);
    if (coroutine->delegate == nullptr) return resume_body(coroutine, value, false, result);

    if (coroutine->delegate_send != nullptr) {
        PyObject* produced = nullptr;
        PySendResult status;
        {
            Ref delegate = Ref::borrow(coroutine->delegate);
            status = coroutine->delegate_send(delegate.get(), value, &produced);
        }
        if (status == PYGEN_NEXT) {
            *result = produced;
            return PYGEN_NEXT;
        }
        forget_delegate(coroutine);
        Ref returned = Ref::steal(produced);
        return resume_body(coroutine, status == PYGEN_RETURN ? returned.get() : nullptr, false, result);
    }

    PyObject* produced;
    {
        Ref delegate = Ref::borrow(coroutine->delegate);
        if (value == Py_None && PyIter_Check(delegate.get())) {
            produced = Py_TYPE(delegate.get())->tp_iternext(delegate.get());
        } else {
            produced = PyObject_CallMethodOneArg(delegate.get(), g_names.send, value);
        }
    }
    if (produced != nullptr) {
        *result = produced;
        return PYGEN_NEXT;
    }
    forget_delegate(coroutine);
    return finish_delegation(coroutine, result);
}

// Builds the exception that `throw(typ, val, tb)` raises and leaves it
// pending; a bad combination of arguments leaves a TypeError pending instead.
void raise_thrown(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    if (traceback == Py_None) {
        traceback = nullptr;
    } else if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return;
    }
    Ref raised;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        raised = Ref::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        int value_fits = 0;
        if (PyExceptionInstance_Check(value)) {
            value_fits = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
            if (value_fits < 0) return;
        }
        if (value_fits) {
            raised = Ref::borrow(value);
        } else {
            if (value == Py_None) {
                raised = Ref::steal(PyObject_CallNoArgs(type));
            } else if (PyTuple_Check(value)) {
                raised = Ref::steal(PyObject_Call(type, value, nullptr));
            } else {
                raised = Ref::steal(PyObject_CallOneArg(type, value));
            }
            if (!raised) return;
            if (!PyExceptionInstance_Check(raised.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %R", type,
                             reinterpret_cast<PyObject*>(Py_TYPE(raised.get())));
                return;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
        return;
    }
    if (traceback != nullptr && PyException_SetTraceback(raised.get(), traceback) < 0) return;
    // Set as is: a thrown exception takes no implicit context from the thrower.
    PyErr_SetRaisedException(raised.release());
}

// Closes an awaited object on behalf of its awaiter. False when its close
// raised (the exception is then pending); a failing lookup of `close` is
// reported as unraisable and counts as closed.
bool close_delegate(PyObject* delegate) noexcept {
    if (is_coroutine(delegate)) return Ref::steal(close_coroutine(as_coroutine(delegate))).get() != nullptr;
    if (is_wrapper(delegate)) {
        PyObject* inner = as_wrapper(delegate)->coroutine;
        if (inner == nullptr) return true;
        Ref keep = Ref::borrow(inner);
        return Ref::steal(close_coroutine(as_coroutine(inner))).get() != nullptr;
    }
    PyObject* method = nullptr;
    const int found = PyObject_GetOptionalAttr(delegate, g_names.close, &method);
    if (found < 0) {
        PyErr_WriteUnraisable(delegate);
        return true;
    }
    if (found == 0) return true;
    Ref close = Ref::steal(method);
    return Ref::steal(PyObject_CallNoArgs(close.get())).get() != nullptr;
}

PySendResult throw_step(CoroutineObject* coroutine, PyObject* const* args, Py_ssize_t nargs, PyObject** result) noexcept {
    *result = nullptr;
    if (coroutine->running) return refuse_running();
    RunningScope running(coroutine);
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* traceback = nargs > 2 ? args[2] : Py_None;

    if (coroutine->delegate != nullptr) {
        Ref delegate = Ref::borrow(coroutine->delegate);
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            // Closing, not throwing, is how an awaited object learns that its awaiter goes away.
            const bool closed = close_delegate(delegate.get());
            forget_delegate(coroutine);
            delegate.reset();
            if (!closed) return resume_body(coroutine, nullptr, false, result);
        } else {
            PyObject* produced = nullptr;
            PySendResult status = PYGEN_ERROR;
            bool has_throw = true;
            if (is_coroutine(delegate.get())) {
                status = throw_step(as_coroutine(delegate.get()), args, nargs, &produced);
            } else if (is_wrapper(delegate.get()) && as_wrapper(delegate.get())->coroutine != nullptr) {
                Ref inner = Ref::borrow(as_wrapper(delegate.get())->coroutine);
                status = throw_step(as_coroutine(inner.get()), args, nargs, &produced);
            } else {
                PyObject* method = nullptr;
                const int found = PyObject_GetOptionalAttr(delegate.get(), g_names.throw_, &method);
                if (found < 0) return PYGEN_ERROR;  // stays suspended on its delegate
                has_throw = found > 0;
                if (has_throw) {
                    Ref throw_method = Ref::steal(method);
                    produced = PyObject_Vectorcall(throw_method.get(), args, static_cast<size_t>(nargs), nullptr);
                    status = produced != nullptr ? PYGEN_NEXT : PYGEN_ERROR;
                }
            }
            if (has_throw && status == PYGEN_NEXT) {
                *result = produced;
                return PYGEN_NEXT;
            }
            forget_delegate(coroutine);
            delegate.reset();
            if (has_throw) {
                if (status == PYGEN_RETURN) {
                    Ref returned = Ref::steal(produced);
                    return resume_body(coroutine, returned.get(), false, result);
                }
                return finish_delegation(coroutine, result);
            }
            // Without `throw` the awaited object is dropped and the exception raised here.
        }
    }
    raise_thrown(type, value, traceback);
    return resume_body(coroutine, nullptr, false, result);
}

// Returns what the body returned while closing (None when it let
// GeneratorExit end it); a body that yields instead ignored the close.
PyObject* close_coroutine(CoroutineObject* coroutine) noexcept {
    if (coroutine->running) {
        refuse_running();
        return nullptr;
    }
    PySendResult status;
    PyObject* produced = nullptr;
    {
        RunningScope running(coroutine);
        bool raise_exit = true;
        if (coroutine->delegate != nullptr) {
            Ref delegate = Ref::borrow(coroutine->delegate);
            raise_exit = close_delegate(delegate.get());
            forget_delegate(coroutine);
        }
        if (raise_exit) PyErr_SetNone(PyExc_GeneratorExit);
        status = resume_body(coroutine, nullptr, true, &produced);
    }
    if (status == PYGEN_ERROR) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
            PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    // A body that returns a value here handled what the close raised in it,
    // typically its delegate's failure to close: that value is the result.
    if (status == PYGEN_RETURN) return produced;
    Ref yielded = Ref::steal(produced);
    yielded.reset();
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
}

// The result of a send or throw as a method call: the yielded value, or
// StopIteration carrying the return value.
PyObject* as_method_result(PySendResult status, PyObject* result) noexcept {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(result);
        raise_stop_iteration(value.get());
    }
    return nullptr;
}

// ---- awaiting ----------------------------------------------------------------

PySendResult await_coroutine(CoroutineObject* coroutine, PyObject* source, PyObject** result) noexcept {
    CoroutineObject* awaited = as_coroutine(source);
    if (awaited->delegate != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kAwaitedAlready);
        return PYGEN_ERROR;
    }
    const PySendResult status = send_step(awaited, Py_None, result);
    if (status == PYGEN_NEXT) {
        forget_delegate(coroutine);
        coroutine->delegate = Py_NewRef(source);
        coroutine->delegate_send = coroutine_am_send;
    }
    return status;
}

bool is_iterable_coroutine_generator(PyObject* source) noexcept {
    if (!PyGen_CheckExact(source)) return false;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(source))));
    return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// 1 when `source` is a native coroutine suspended in an await of its own,
// so another awaiter drives it; 0 when not; -1 with an exception set.
int is_native_coroutine_awaiting(PyObject* source) noexcept {
    if (!PyCoro_CheckExact(source)) return 0;
    Ref awaited = Ref::steal(PyObject_GetAttr(source, g_names.cr_await));
    if (!awaited) return -1;
    return awaited.get() != Py_None ? 1 : 0;
}

// The iterator that `await source` drives.
Ref awaitable_iterator(PyObject* source) noexcept {
    PyTypeObject* type = Py_TYPE(source);
    if (is_iterable_coroutine_generator(source)) return Ref::borrow(source);
    Ref iterator;
    if (type->tp_as_async != nullptr && type->tp_as_async->am_await != nullptr) {
        iterator = Ref::steal(type->tp_as_async->am_await(source));
    } else {
        PyObject* method = nullptr;
        const int found = PyObject_GetOptionalAttr(source, g_names.await, &method);
        if (found < 0) return {};
        if (found == 0) {
            // The lookup ran Python code that may have changed the object's
            // class and freed the old one: name the class it has now.
            PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                         Py_TYPE(source)->tp_name);
            return {};
        }
        Ref await_method = Ref::steal(method);
        iterator = Ref::steal(PyObject_CallNoArgs(await_method.get()));
    }
    if (!iterator) return {};
    // A coroutine is no iterator either; name the more specific mistake first.
    if (PyCoro_CheckExact(iterator.get()) || is_coroutine(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                     Py_TYPE(iterator.get())->tp_name);
        return {};
    }
    return iterator;
}

// ---- coroutine slots and methods ---------------------------------------------

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
    return send_step(as_coroutine(self), value, result);
}

PyObject* coroutine_send(PyObject* self, PyObject* value) noexcept {
    PyObject* result = nullptr;
    const PySendResult status = send_step(as_coroutine(self), value, &result);
    return as_method_result(status, result);
}

[[gnu::cold]] PyObject* refuse_throw_arguments(Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    } else {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    }
    return nullptr;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) return refuse_throw_arguments(nargs);
    PyObject* result = nullptr;
    const PySendResult status = throw_step(as_coroutine(self), args, nargs, &result);
    return as_method_result(status, result);
}

PyObject* coroutine_close(PyObject* self, PyObject*) noexcept { return close_coroutine(as_coroutine(self)); }

[[gnu::cold]] PyObject* refuse_pickle(PyObject* self) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* refuse_reduce(PyObject* self, PyObject*) noexcept { return refuse_pickle(self); }
PyObject* refuse_reduce_ex(PyObject* self, PyObject*) noexcept { return refuse_pickle(self); }

PyObject* new_wrapper(PyObject* coroutine) noexcept {
    auto* wrapper = PyObject_GC_New(WrapperObject, g_wrapper_type);
    if (wrapper == nullptr) return nullptr;
    wrapper->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject*>(wrapper);
}

PyObject* coroutine_await_slot(PyObject* self) noexcept {
    if (!is_coroutine(self)) {
        PyErr_SetString(PyExc_TypeError, kExpectedCoroutine);
        return nullptr;
    }
    return new_wrapper(self);
}

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, self);
}

// With its origin recorded, the warning also says where the coroutine was
// made: the warnings module's helper for the interpreter's own coroutines
// writes it so. Without the helper (late in shutdown) the plain text remains.
int warn_never_awaited(CoroutineObject* coroutine) noexcept {
    if (coroutine->origin != nullptr) {
        Ref warnings = Ref::steal(PyImport_Import(g_names.warnings));
        Ref helper = warnings ? Ref::steal(PyObject_GetAttr(warnings.get(), g_names.warn_unawaited)) : Ref{};
        if (helper) return Ref::steal(PyObject_CallOneArg(helper.get(), as_object(coroutine))) ? 0 : -1;
        PyErr_Clear();
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", coroutine->qualname);
}

// Unfinished at destruction: warn when it never ran, otherwise close it so
// that its body and delegate get to clean up.
void coroutine_finalize(PyObject* self) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->resume_point == kResumeFinished) return;
    SetAsideError saved;
    if (coroutine->resume_point == 0 && saved.get() == nullptr) {
        if (warn_never_awaited(coroutine) < 0) PyErr_WriteUnraisable(self);
    } else {
        Ref closed = Ref::steal(close_coroutine(coroutine));
        if (!closed) PyErr_WriteUnraisable(self);
    }
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    Py_VISIT(coroutine->closure);
    Py_VISIT(coroutine->handled.exc_value);
    Py_VISIT(coroutine->delegate);
    Py_VISIT(coroutine->name);
    Py_VISIT(coroutine->qualname);
    Py_VISIT(coroutine->module);
    Py_VISIT(coroutine->code);
    Py_VISIT(coroutine->frame);
    Py_VISIT(coroutine->origin);
    return 0;
}

int coroutine_clear(PyObject* self) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    // Without its closure the body cannot run again: count it as finished.
    coroutine->resume_point = kResumeFinished;
    coroutine->delegate_send = nullptr;
    Py_CLEAR(coroutine->closure);
    Py_CLEAR(coroutine->handled.exc_value);
    Py_CLEAR(coroutine->delegate);
    Py_CLEAR(coroutine->frame);
    Py_CLEAR(coroutine->module);
    Py_CLEAR(coroutine->origin);
    return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (coroutine->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    // The finalizer may run Python code (a warning, a close): the object must
    // be tracked again while it does, and may come back to life.
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    Py_CLEAR(coroutine->name);
    Py_CLEAR(coroutine->qualname);
    Py_CLEAR(coroutine->code);
    PyObject_GC_Del(self);
}

// ---- coroutine attributes ----------------------------------------------------

using Coroutine = CoroutineObject;

PyObject* get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_coroutine(self)->running); }

// Waiting at an await: started, not finished, and not being resumed now.
PyObject* get_suspended(PyObject* self, void*) noexcept {
    const CoroutineObject* coroutine = as_coroutine(self);
    return PyBool_FromLong(coroutine->resume_point > 0 && !coroutine->running);
}

// A frame that names the coroutine's code; it does not follow the body.
PyObject* get_frame(PyObject* self, void*) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->frame == nullptr) {
        if (coroutine->code == nullptr || !PyCode_Check(coroutine->code)) Py_RETURN_NONE;
        Ref globals = Ref::steal(PyDict_New());
        if (!globals) return nullptr;
        Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(coroutine->code), globals.get(), nullptr)));
        if (!frame) return nullptr;
        // Making the frame runs no Python code, but stay safe against a racing first read.
        if (coroutine->frame == nullptr) coroutine->frame = frame.release();
    }
    return Py_NewRef(coroutine->frame);
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_field<Coroutine, &Coroutine::name>, set_text_field<Coroutine, &Coroutine::name>,
     "name of the coroutine", attribute_name("__name__")},
    {"__qualname__", get_field<Coroutine, &Coroutine::qualname>, set_text_field<Coroutine, &Coroutine::qualname>,
     "qualified name of the coroutine", attribute_name("__qualname__")},
    {"__module__", get_field<Coroutine, &Coroutine::module>, set_any_field<Coroutine, &Coroutine::module>, nullptr,
     nullptr},
    {"cr_await", get_field<Coroutine, &Coroutine::delegate>, nullptr, "object being awaited, or None", nullptr},
    {"cr_code", get_field<Coroutine, &Coroutine::code>, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_origin", get_field<Coroutine, &Coroutine::origin>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(coroutine_send_doc,
             "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.");
PyDoc_STRVAR(coroutine_throw_doc,
             "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise "
             "StopIteration.");
PyDoc_STRVAR(close_doc, "close() -> raise GeneratorExit inside coroutine.");

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, coroutine_send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     coroutine_throw_doc},
    {"close", coroutine_close, METH_NOARGS, close_doc},
    {"__reduce_ex__", refuse_reduce_ex, METH_O, nullptr},
    {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_as_async = {coroutine_await_slot, nullptr, nullptr, coroutine_am_send};

// The types are static: a static type's `__module__` comes from its dotted
// name, while a heap type would report the instances' `__module__`
// descriptor from its dict. The omitted fields are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject coroutine_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = KORBIX_RUNTIME_TYPE_NAME("coroutine"),
    .tp_basicsize = sizeof(CoroutineObject),
    .tp_dealloc = coroutine_dealloc,
    .tp_as_async = &coroutine_as_async,
    .tp_repr = coroutine_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = coroutine_traverse,
    .tp_clear = coroutine_clear,
    .tp_weaklistoffset = offsetof(CoroutineObject, weakrefs),
    .tp_methods = coroutine_methods,
    .tp_getset = coroutine_getset,
    .tp_finalize = coroutine_finalize,
};
#pragma GCC diagnostic pop

// ---- the await wrapper ---------------------------------------------------------

// The wrapped coroutine; nullptr with TypeError once the GC has cleared the wrapper.
CoroutineObject* wrapped(PyObject* self) noexcept {
    PyObject* coroutine = as_wrapper(self)->coroutine;
    if (coroutine == nullptr) {
        PyErr_SetString(PyExc_TypeError, kExpectedCoroutine);
        return nullptr;
    }
    return as_coroutine(coroutine);
}

PySendResult wrapper_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    CoroutineObject* coroutine = wrapped(self);
    if (coroutine == nullptr) return PYGEN_ERROR;
    Ref keep = Ref::borrow(as_object(coroutine));
    return send_step(coroutine, value, result);
}

PyObject* wrapper_iternext(PyObject* self) noexcept {
    PyObject* result = nullptr;
    const PySendResult status = wrapper_am_send(self, Py_None, &result);
    // Returning None ends the iteration without a StopIteration object.
    if (status == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;
    }
    return as_method_result(status, result);
}

PyObject* wrapper_send(PyObject* self, PyObject* value) noexcept {
    PyObject* result = nullptr;
    const PySendResult status = wrapper_am_send(self, value, &result);
    return as_method_result(status, result);
}

PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) return refuse_throw_arguments(nargs);
    CoroutineObject* coroutine = wrapped(self);
    if (coroutine == nullptr) return nullptr;
    Ref keep = Ref::borrow(as_object(coroutine));
    PyObject* result = nullptr;
    const PySendResult status = throw_step(coroutine, args, nargs, &result);
    return as_method_result(status, result);
}

PyObject* wrapper_close(PyObject* self, PyObject*) noexcept {
    CoroutineObject* coroutine = wrapped(self);
    if (coroutine == nullptr) return nullptr;
    Ref keep = Ref::borrow(as_object(coroutine));
    return close_coroutine(coroutine);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_wrapper(self)->coroutine);
    return 0;
}

int wrapper_clear(PyObject* self) noexcept {
    Py_CLEAR(as_wrapper(self)->coroutine);
    return 0;
}

void wrapper_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    PyObject_GC_Del(self);
}

PyDoc_STRVAR(wrapper_send_doc,
             "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration.");
PyDoc_STRVAR(wrapper_throw_doc,
             "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise "
             "StopIteration.");

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, wrapper_send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL,
     wrapper_throw_doc},
    {"close", wrapper_close, METH_NOARGS, close_doc},
    {"__reduce_ex__", refuse_reduce_ex, METH_O, nullptr},
    {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_as_async = {nullptr, nullptr, nullptr, wrapper_am_send};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject wrapper_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = KORBIX_RUNTIME_TYPE_NAME("coroutine_wrapper"),
    .tp_basicsize = sizeof(WrapperObject),
    .tp_dealloc = wrapper_dealloc,
    .tp_as_async = &wrapper_as_async,
    .tp_repr = coroutine_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = wrapper_traverse,
    .tp_clear = wrapper_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = wrapper_iternext,
    .tp_methods = wrapper_methods,
};
#pragma GCC diagnostic pop

bool make_names() noexcept {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {{&g_names.send, "send"},
                             {&g_names.throw_, "throw"},
                             {&g_names.close, "close"},
                             {&g_names.await, "__await__"},
                             {&g_names.cr_await, "cr_await"},
                             {&g_names.warnings, "warnings"},
                             {&g_names.warn_unawaited, "_warn_unawaited_coroutine"}};
    for (const Entry& entry : entries) {
        if (*entry.slot != nullptr) continue;
        *entry.slot = PyUnicode_InternFromString(entry.text);
        if (*entry.slot == nullptr) return false;
    }
    return true;
}

}  // namespace

int coroutine_types_ready() noexcept {
    if (!make_names()) return -1;
    if (g_coroutine_type == nullptr) {
        if (PyType_Ready(&coroutine_type) < 0) return -1;
        g_coroutine_type = &coroutine_type;
    }
    if (g_wrapper_type == nullptr) {
        if (PyType_Ready(&wrapper_type) < 0) return -1;
        g_wrapper_type = &wrapper_type;
    }
    return 0;
}

bool is_coroutine(PyObject* object) noexcept {
    return g_coroutine_type != nullptr && Py_IS_TYPE(object, g_coroutine_type);
}

Ref new_coroutine(CoroutineBody body, PyObject* closure, PyObject* code, PyObject* name, PyObject* qualname,
                  PyObject* module) noexcept {
    PyThreadState* thread = PyThreadState_Get();
    Ref origin;
    if (thread->coroutine_origin_tracking_depth > 0) {
        origin = creation_origin(thread, thread->coroutine_origin_tracking_depth);
        if (!origin) return {};
    }
    auto* coroutine = PyObject_GC_New(CoroutineObject, g_coroutine_type);
    if (coroutine == nullptr) return {};
    coroutine->body = body;
    coroutine->closure = Py_NewRef(closure);
    coroutine->handled.exc_value = nullptr;
    coroutine->handled.previous_item = nullptr;
    coroutine->delegate = nullptr;
    coroutine->delegate_send = nullptr;
    coroutine->name = Py_NewRef(name);
    coroutine->qualname = Py_NewRef(qualname);
    coroutine->module = Py_NewRef(module);
    coroutine->code = Py_XNewRef(code);
    coroutine->frame = nullptr;
    coroutine->origin = origin.release();
    coroutine->weakrefs = nullptr;
    coroutine->resume_point = 0;
    coroutine->running = false;
    PyObject_GC_Track(coroutine);
    return Ref::steal(as_object(coroutine));
}

PySendResult coroutine_await(CoroutineObject* coroutine, PyObject* source, PyObject** result) noexcept {
    *result = nullptr;
    if (is_coroutine(source)) return await_coroutine(coroutine, source, result);
    // Driving such a coroutine through its wrapper would resume it here and
    // take the result its own awaiter waits for; `await` refuses it instead.
    const int awaiting = is_native_coroutine_awaiting(source);
    if (awaiting != 0) {
        if (awaiting > 0) PyErr_SetString(PyExc_RuntimeError, kAwaitedAlready);
        return PYGEN_ERROR;
    }
    Ref iterator = awaitable_iterator(source);
    if (!iterator) return PYGEN_ERROR;
    PyObject* produced = Py_TYPE(iterator.get())->tp_iternext(iterator.get());
    if (produced != nullptr) {
        PyTypeObject* type = Py_TYPE(iterator.get());
        forget_delegate(coroutine);
        coroutine->delegate_send = type->tp_as_async != nullptr ? type->tp_as_async->am_send : nullptr;
        coroutine->delegate = iterator.release();
        *result = produced;
        return PYGEN_NEXT;
    }
    Ref returned = take_stop_iteration_value();
    if (!returned) return PYGEN_ERROR;
    *result = returned.release();
    return PYGEN_RETURN;
}

}  // namespace korbix::rt
