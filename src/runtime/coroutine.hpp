// The module's coroutine type and its await wrapper.
//
// A coroutine runs one resumable body: a plain function that is entered with
// the coroutine, the thread state and the value sent in, picks up at its
// `resume_point` and either suspends (yields), returns or raises. The body
// keeps its state in `closure`, an object the coroutine owns. Everything of
// the protocol around it (send, throw, close, delegation to an awaited object,
// finalization) lives in coroutine.cpp and knows nothing about the body.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korbix::rt {

struct CoroutineObject;

// The body of a coroutine. `sent` is the value to resume with (borrowed), or
// nullptr when an exception is pending that must be raised at the resume
// point. To suspend at its k-th suspension point, the body sets
// `resume_point` to k (k >= 1) and returns the value to yield; to finish, it
// sets `resume_point` to -1 and returns its result, or nullptr with an
// exception set. A body that returns nullptr has finished, whatever it set.
using CoroutineBody = PyObject* (*)(CoroutineObject* coroutine, PyThreadState* thread, PyObject* sent) noexcept;

inline constexpr int kResumeFinished = -1;

struct CoroutineObject {
    PyObject_HEAD
    CoroutineBody body;
    PyObject* closure;  // the body's state; released when the body finishes
    // The exception the body is handling. While the body runs this item sits
    // on top of the thread's exception stack, so `sys.exc_info()` inside the
    // body sees the body's own handled exception (and the caller's below it).
    _PyErr_StackItem handled;
    PyObject* delegate;       // the object being awaited, or nullptr
    sendfunc delegate_send;   // the delegate's am_send, when its type has one
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* frame;  // made on first request of `cr_frame`
    // Where it was made, when origin tracking was on then: a tuple of
    // (filename, line, function name), innermost call first; kept after it finishes.
    PyObject* origin;
    PyObject* weakrefs;
    int resume_point;  // 0 unstarted, k >= 1 suspended, -1 finished
    bool running;
};

// Readies the coroutine and coroutine_wrapper types; call once at start-up.
// 0, or -1 with an exception set.
int coroutine_types_ready() noexcept;

// True for a coroutine of this type (not a subclass: the type is final).
bool is_coroutine(PyObject* object) noexcept;

// A new, unstarted coroutine that owns `closure` and references the rest. It
// records its origin when `sys.set_coroutine_origin_tracking_depth` asks for it.
Ref new_coroutine(CoroutineBody body, PyObject* closure, PyObject* code, PyObject* name, PyObject* qualname,
                  PyObject* module) noexcept;

// The `await` of a body, on `source`. PYGEN_NEXT: the awaited object yielded
// `*result` and is now the coroutine's delegate; the body must suspend and
// yield `*result`, and is resumed with the awaited object's final value (or
// its exception) once it finishes. PYGEN_RETURN: the awaited object finished
// at once with `*result`. PYGEN_ERROR: an exception is set.
PySendResult coroutine_await(CoroutineObject* coroutine, PyObject* source, PyObject** result) noexcept;

}  // namespace korbix::rt
