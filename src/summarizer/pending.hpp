// Placeholder used by functions whose logic has not landed yet.
#pragma once

#include <Python.h>

namespace korbix::summarizer {

inline PyObject* not_implemented_yet(const char* name) noexcept {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", name);
    return nullptr;
}

}  // namespace korbix::summarizer
