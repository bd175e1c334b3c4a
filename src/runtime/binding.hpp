#pragma once

#include <Python.h>

#include "function.hpp"

namespace korbix::rt {

// The vectorcall entry of every function object.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

}  // namespace korbix::rt
