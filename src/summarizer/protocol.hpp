// The Python protocols the logic applies to caller objects: reading a record
// through its `get` method, equality tests, `for` loops, and what an
// `except json.JSONDecodeError:` clause does. Each behaves exactly as the
// Python operation it names; exact built-in types take direct paths where
// those cannot differ (an exact dict's `get` cannot be overridden).
#pragma once

#include <Python.h>

#include "../runtime/ref.hpp"

namespace korbix::summarizer {

// `record.get(key, fallback)`, the method looked up on the record now.
rt::Ref get_or(PyObject* record, PyObject* key, PyObject* fallback) noexcept;
// `record.get(key)`.
rt::Ref get_or_none(PyObject* record, PyObject* key) noexcept;

// `module.name`, read at the moment of use.
inline rt::Ref module_attribute(PyObject* object, PyObject* name) noexcept {
    return rt::Ref::steal(PyObject_GetAttr(object, name));
}

// `record.get` as an attribute, looked up once and called later (what Python
// does for the outer call of `a.get(k, a.get(...))`). An exact dict needs no
// lookup: its method is fixed.
class GetMethod {
public:
    // 0, or -1 with an exception set when the lookup fails.
    int bind(PyObject* record) noexcept;
    // Calls the bound method with (key, fallback).
    rt::Ref call(PyObject* key, PyObject* fallback) const noexcept;

private:
    PyObject* record_ = nullptr;  // borrowed: the caller holds the record
    rt::Ref method_;              // empty for an exact dict
};

// `value == text` under an `if`: 1, 0, or -1 with an exception set.
inline int equals_text(PyObject* value, PyObject* text) noexcept { return PyObject_RichCompareBool(value, text, Py_EQ); }

// The truth test of an `if`.
inline int is_true(PyObject* value) noexcept { return PyObject_IsTrue(value); }

// `len(value)`: -1 with an exception set on failure.
inline Py_ssize_t length_of(PyObject* value) noexcept { return PyObject_Length(value); }

// `isinstance(value, type)`: 1, 0, or -1 with an exception set.
inline int is_instance(PyObject* value, PyTypeObject* type) noexcept {
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// A Python `for` over any iterable: an exact list by index, reading its
// length before every step; an exact tuple by index; anything else through
// iter() and next().
class ForLoop {
public:
    // -1 with an exception set when iter() refuses the object.
    int start(PyObject* iterable) noexcept;
    // 1 with the next item (a strong reference), 0 at the end, -1 on failure.
    int next(rt::Ref& item) noexcept;

private:
    rt::Ref sequence_;  // exact list or tuple walked by index
    rt::Ref iterator_;
    Py_ssize_t index_ = 0;
};

// Makes `exception` the one being handled (what sys.exception() reports, and
// the context of any exception raised meanwhile) for the scope's lifetime;
// the exception handled before is restored when the scope ends.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exception) noexcept;
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope();

private:
    rt::Ref previous_;
};

// Takes the raised exception out of the error indicator.
inline rt::Ref take_raised_exception() noexcept { return rt::Ref::steal(PyErr_GetRaisedException()); }

// Whether `exception` matches `json.JSONDecodeError` as an `except` clause
// decides it, the module global `json` and its attribute resolved now.
// 1 or 0; -1 with an exception set when resolving fails or the attribute is
// not an exception class.
int is_json_decode_error(PyObject* exception) noexcept;

}  // namespace korbix::summarizer
