// Getters and setters that the function type and the coroutine type share:
// `__name__`, `__qualname__` and `__module__` (and the function's other
// object-valued attributes), each reading or writing one field of the object.
#pragma once

#include <Python.h>

// The dotted name of one of the runtime's types, `name` a string literal.
#define KORBIX_RUNTIME_TYPE_NAME(name) "korbix.runtime." name

namespace korbix::rt {

// The field, or None while it is unset.
template <class Object, PyObject* Object::*field>
PyObject* get_field(PyObject* self, void*) noexcept {
    PyObject* value = reinterpret_cast<Object*>(self)->*field;
    return Py_NewRef(value != nullptr ? value : Py_None);
}

// A str (subclasses too), refused otherwise, deletion included. The getset
// entry's closure is the attribute's name as the refusal shows it.
template <class Object, PyObject* Object::*field>
int set_text_field(PyObject* self, PyObject* value, void* attribute_name) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(attribute_name));
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Object*>(self)->*field, Py_NewRef(value));
    return 0;
}

// Any object; deleting leaves the field unset.
template <class Object, PyObject* Object::*field>
int set_any_field(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(reinterpret_cast<Object*>(self)->*field, Py_XNewRef(value));
    return 0;
}

// The closure that names an attribute in a getset entry.
inline void* attribute_name(const char* name) noexcept { return const_cast<char*>(name); }

}  // namespace korbix::rt
