// How errors travel inside the C++ code.
//
// A step that fails leaves a Python exception set and throws `PythonError`;
// the throw carries no data, the interpreter's error indicator does. Every
// entry point that the interpreter calls converts back with `boundary`, so no
// C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <new>

namespace korbix::rt {

struct PythonError {};

// Throws when `status` reports a failure of a C-API call (negative).
inline int check(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// Runs `body` (returning a new reference or nullptr) and converts any C++
// exception into a pending Python exception and a nullptr result.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in korbix.core.summarizer");
        return nullptr;
    }
}

// The same for entry points that report failure as -1.
template <class Body>
int boundary_status(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in korbix.core.summarizer");
        return -1;
    }
}

}  // namespace korbix::rt
