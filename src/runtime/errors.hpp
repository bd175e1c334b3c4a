// How errors travel inside the C++ code.
//
// A step that fails leaves a Python exception set and throws `PythonError`;
// the throw carries no data, the interpreter's error indicator does. Where
// the failure must show a source line, the step goes through a `Site`
// (traceback.hpp), which adds the entry first. Every entry point that the
// interpreter calls converts back with `boundary`, so no C++ exception ever
// crosses into the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>

#include "ref.hpp"

namespace korbix::rt {

struct PythonError {};

// For a step that reported failure without setting an exception: makes that
// visible, with the interpreter's own message for it.
inline void set_missing_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

// Sets the raised exception (if any) aside for the life of the scope and
// raises it again at its end, dropping whatever the scope raised meanwhile:
// for work on the side of a failure that must not change it.
class SetAsideError {
public:
    SetAsideError() noexcept : error_(Ref::steal(PyErr_GetRaisedException())) {}
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;
    ~SetAsideError() { PyErr_SetRaisedException(error_.release()); }

    // The exception set aside; nullptr when none was raised.
    [[nodiscard]] PyObject* get() const noexcept { return error_.get(); }

private:
    Ref error_;
};

// Throws when `status` reports a failure of a C-API call (negative), adding
// no traceback entry.
inline int check(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// Runs `body` and converts any C++ exception into a pending Python exception
// and the failure result of the entry: nullptr for an entry that returns an
// object, -1 for one that returns a status.
template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_same_v<Result, PyObject*> || std::is_same_v<Result, int>);
    constexpr Result failed = std::is_same_v<Result, int> ? Result(-1) : Result{};
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_missing_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native function");
    }
    return failed;
}

}  // namespace korbix::rt
