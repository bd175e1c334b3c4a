// Call binding of the function type: maps positional and keyword arguments
// onto the parameters, applies the default, checks exact argument types,
// then enters the native logic. A refused call runs none of the logic.
#include "binding.hpp"

#include "traceback.hpp"

namespace korbix::rt {
namespace {

const char kSubclassNote[] =
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False.";

int required_count(const FunctionDef& def) noexcept {
    int required = 0;
    while (required < def.param_count && !def.params[required].defaults_to_none) ++required;
    return required;
}

[[gnu::cold]] void refuse_count(const FunctionObject* function, bool too_many, Py_ssize_t given) noexcept {
    const FunctionDef& def = *function->def;
    const Py_ssize_t required = required_count(def);
    const Py_ssize_t most = def.param_count;
    const char* qualifier = required == most ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t bound = too_many ? most : required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name,
                 qualifier, bound, bound == 1 ? "" : "s", given);
    add_traceback(def.traceback_name, def.line, function->globals);
}

[[gnu::cold]] void refuse_keyword(const FunctionObject* function, const char* format, PyObject* keyword) noexcept {
    const FunctionDef& def = *function->def;
    PyErr_Format(PyExc_TypeError, format, def.name, keyword);
    add_traceback(def.traceback_name, def.line, function->globals);
}

[[gnu::cold]] void refuse_keyword_type(const FunctionObject* function) noexcept {
    const FunctionDef& def = *function->def;
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    add_traceback(def.traceback_name, def.line, function->globals);
}

// Adds the subclass note to the pending TypeError; a failing `add_note` is dropped.
[[gnu::cold]] void add_subclass_note() noexcept {
    // Made on first success and kept for the life of the process; made with
    // the TypeError set aside, and tried again next time if making one fails.
    static PyObject* method_name = nullptr;
    static PyObject* note = nullptr;
    SetAsideError error;
    if (method_name == nullptr) method_name = PyUnicode_InternFromString("add_note");
    if (note == nullptr) note = PyUnicode_InternFromString(kSubclassNote);
    if (method_name != nullptr && note != nullptr) {
        Ref result = Ref::steal(PyObject_CallMethodOneArg(error.get(), method_name, note));
    }
}

[[gnu::cold]] void refuse_type(const Param& param, PyObject* argument, PyTypeObject* expected) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 expected->tp_name, Py_TYPE(argument)->tp_name);
    if (PyObject_TypeCheck(argument, expected)) add_subclass_note();
}

// Checks one bound argument against its rule; sets TypeError on refusal.
bool type_allows(const Param& param, PyObject* argument) noexcept {
    PyTypeObject* expected = nullptr;
    switch (param.type) {
        case ArgType::Any:
            return true;
        case ArgType::ExactList:
            if (PyList_CheckExact(argument)) return true;
            expected = &PyList_Type;
            break;
        case ArgType::ExactDict:
            if (PyDict_CheckExact(argument)) return true;
            expected = &PyDict_Type;
            break;
        case ArgType::ExactStrOrNone:
            if (argument == Py_None) return true;
            [[fallthrough]];
        case ArgType::ExactStr:
            if (PyUnicode_CheckExact(argument)) return true;
            expected = &PyUnicode_Type;
            break;
    }
    refuse_type(param, argument, expected);
    return false;
}

// Index of the parameter named `keyword`, -1 when none, -2 on a comparison error.
Py_ssize_t find_parameter(const FunctionObject* function, PyObject* keyword) noexcept {
    PyObject* names = function->param_names;
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    }
    const bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (exact) {
            if (PyUnicode_Compare(keyword, name) == 0) return i;
            continue;
        }
        // A str subclass compares through its own equality, which may run Python code.
        const int equal = PyObject_RichCompareBool(keyword, name, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

// Enters the logic of a bound call. The logic can reach a function of the
// module again with no Python frame in between (a module global such as
// `time.time` rebound to `_empty_summary`), so, like the interpreter's own C
// functions, each entry counts against the recursion limit: such a loop ends
// in RecursionError instead of overflowing the C stack.
PyObject* enter_logic(FunctionObject* function, PyObject* const* args) noexcept {
    if (enter_recursive_call() != 0) return nullptr;
    PyObject* result = function->def->entry(function, args);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* call_without_arguments(FunctionObject* function, Py_ssize_t positional, PyObject* kwnames) noexcept {
    const FunctionDef& def = *function->def;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", def.name, "takes no keyword arguments");
        return nullptr;
    }
    if (positional != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def.name, "takes no arguments", positional);
        return nullptr;
    }
    return enter_logic(function, nullptr);
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* function = reinterpret_cast<FunctionObject*>(callable);
    const FunctionDef& def = *function->def;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (def.param_count == 0) return call_without_arguments(function, positional, kwnames);

    const int param_count = def.param_count;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* bound[kMaxParams] = {};

    if (keyword_count == 0) {
        if (positional < required_count(def) || positional > param_count) {
            refuse_count(function, positional > param_count, positional);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = args[i];
    } else {
        if (positional > param_count) {
            refuse_count(function, true, positional);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = args[i];
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                refuse_keyword_type(function);
                return nullptr;
            }
            const Py_ssize_t index = find_parameter(function, keyword);
            if (index == -2) return nullptr;
            if (index < 0) {
                refuse_keyword(function, "%s() got an unexpected keyword argument '%U'", keyword);
                return nullptr;
            }
            if (bound[index] != nullptr) {
                refuse_keyword(function, "%s() got multiple values for keyword argument '%U'", keyword);
                return nullptr;
            }
            bound[index] = args[positional + k];
        }
    }
    for (int i = 0; i < param_count; ++i) {
        if (bound[i] != nullptr) continue;
        if (def.params[i].defaults_to_none) {
            bound[i] = Py_None;
            continue;
        }
        refuse_count(function, false, i);
        return nullptr;
    }
    for (int i = 0; i < param_count; ++i) {
        if (!type_allows(def.params[i], bound[i])) return nullptr;
    }
    return enter_logic(function, bound);
}

}  // namespace korbix::rt
