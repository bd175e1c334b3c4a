// The Python protocols the logic applies to caller objects: reading a record
// through its `get` method, equality tests, `for` loops, and what an
// `except json.JSONDecodeError:` clause does. Each behaves exactly as the
// Python operation it names; exact built-in types take direct paths where
// those cannot differ (an exact dict's `get` cannot be overridden).
#pragma once

#include <Python.h>

#include <cstring>

#include "../runtime/ref.hpp"
#include "../runtime/traceback.hpp"
#include "texts.hpp"

namespace korbix::summarizer {

// `record.get(key, fallback)` and `record.get(key)` through the method
// looked up on the record now (`fallback` nullptr: the one-argument call).
rt::Ref call_get(PyObject* record, PyObject* key, PyObject* fallback) noexcept;

// Fast path of `get` for an exact dict, whose `get` cannot be overridden:
// the dict is read directly, without the method call.
inline rt::Ref read_exact_dict(PyObject* record, PyObject* key, PyObject* fallback) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(record, key, &value) < 0) return {};
    return rt::Ref::steal(value != nullptr ? value : Py_NewRef(fallback));
}

// `record.get(key, fallback)`.
inline rt::Ref get_or(PyObject* record, PyObject* key, PyObject* fallback) noexcept {
    if (PyDict_CheckExact(record)) return read_exact_dict(record, key, fallback);
    return call_get(record, key, fallback);
}

// `record.get(key)`.
inline rt::Ref get_or_none(PyObject* record, PyObject* key) noexcept {
    if (PyDict_CheckExact(record)) return read_exact_dict(record, key, Py_None);
    return call_get(record, key, nullptr);
}

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

// Fast path of the tests on an exact str, which run no Python code: its
// equality with a text, its truth and its length read its characters and
// length directly.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// `value == text` under an `if`: 1, 0, or -1 with an exception set. `text`
// is an exact str.
inline int equals_text(PyObject* value, PyObject* text) noexcept {
    if (PyUnicode_CheckExact(value)) return same_text(value, text) ? 1 : 0;
    return PyObject_RichCompareBool(value, text, Py_EQ);
}

// The truth test of an `if`.
inline int is_true(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
    return PyObject_IsTrue(value);
}

// `len(value)`: -1 with an exception set on failure.
inline Py_ssize_t length_of(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value);
    return PyObject_Length(value);
}

// `isinstance(value, type)`: 1, 0, or -1 with an exception set.
inline int is_instance(PyObject* value, PyTypeObject* type) noexcept {
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// Fast path of a walk over a long list of message records, which is bound by
// memory: each record is a dict somewhere in the heap, with its entry table
// somewhere else. Asking for the record a few steps ahead, and for the table
// of one nearer, lets the loads overlap. Only reads are issued; a prefetch
// never faults, and the nearer item is still owned by the list (no Python
// code runs in here). Always inlined: GCC judges a separate prefetch-only
// function free of effects and drops its calls.
[[gnu::always_inline]] inline void prefetch_records(PyObject* list, Py_ssize_t index) noexcept {
    constexpr Py_ssize_t kRecordDistance = 12;
    constexpr Py_ssize_t kTableDistance = 6;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (index + kRecordDistance < size) __builtin_prefetch(PyList_GET_ITEM(list, index + kRecordDistance));
    if (index + kTableDistance < size) {
        PyObject* item = PyList_GET_ITEM(list, index + kTableDistance);
        if (PyDict_CheckExact(item)) {
            const char* table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(item)->ma_keys);
            __builtin_prefetch(table);
            __builtin_prefetch(table + 64);
            __builtin_prefetch(table + 128);
        }
    }
}

// A Python `for` over any iterable, through iter() and next(). Fast path of
// an exact list or tuple, whose iterators cannot be overridden: walked by
// index as the interpreter's own `for` walks them, a list's length read
// before every step.
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

// `json.loads(text)`, the module global `json` and its attribute read now.
// Empty with the exception set when a read or the call fails; the failure
// then carries `site`'s entry for `line`.
rt::Ref call_json_loads(const rt::ExpectedSite& site, int line, PyObject* text) noexcept;

// `except json.JSONDecodeError:` for the exception just raised. The clause
// takes it out of the error indicator and, while the clause lives, makes it
// the exception being handled (what sys.exception() reports, and the context
// of any exception raised meanwhile); the one handled before is restored when
// the clause ends.
class DecodeErrorClause {
public:
    DecodeErrorClause() noexcept;
    DecodeErrorClause(const DecodeErrorClause&) = delete;
    DecodeErrorClause& operator=(const DecodeErrorClause&) = delete;
    ~DecodeErrorClause();

    // Whether the exception matches `json.JSONDecodeError`, the module global
    // `json` and its attribute resolved now: 1 or 0; -1 with an exception set
    // when resolving fails or the attribute is not an exception class.
    int matches() const noexcept;
    // The clause does not match: the exception propagates unchanged.
    [[noreturn]] void reraise();

private:
    rt::Ref error_;
    rt::Ref previous_;
};

}  // namespace korbix::summarizer
