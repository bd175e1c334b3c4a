// The module's function type: Python-visible function objects whose calls go
// through an exact argument binding before the native logic runs.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korbix::rt {

// What an argument must be. "Exact" types refuse subclasses.
enum class ArgType : unsigned char { Any, ExactList, ExactDict, ExactStr, ExactStrOrNone };

struct Param {
    const char* name = nullptr;
    ArgType type = ArgType::Any;
    bool defaults_to_none = false;    // only trailing parameters may have a default
    const char* annotation = nullptr;  // the annotation's text, or nullptr for none
};

inline constexpr int kMaxParams = 8;

struct FunctionObject;

// The native logic behind a function object. `args` holds one borrowed
// object per parameter, already bound and checked. Returns a new reference,
// or nullptr with an exception set. Never throws.
using Entry = PyObject* (*)(FunctionObject* function, PyObject* const* args) noexcept;

// What the call binding knows of a function. A function without parameters
// refuses every argument ("takes no arguments").
struct FunctionDef {
    const char* name;            // the name used in refusal messages
    const char* traceback_name;  // dotted name of the entries of count and keyword refusals
    int line;                    // line of those entries: the function's first line
    int param_count;
    Param params[kMaxParams];
    Entry entry;
    bool is_coroutine;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* coroutine_mark;  // cached result of the first `_is_coroutine` read
    PyObject* param_names;     // tuple of interned parameter names, for keyword matching
    const FunctionDef* def;
};

// Readies the function type; call once before making functions. 0, or -1
// with an exception set.
int function_type_ready() noexcept;
PyTypeObject* function_type() noexcept;

// Counts a call into a function's logic against the recursion limit, as the
// interpreter's own C functions count theirs: 0, or -1 with RecursionError
// set. Each 0 is paired with Py_LeaveRecursiveCall.
inline int enter_recursive_call() noexcept { return Py_EnterRecursiveCall(" while calling a Python object"); }

// Makes a function object. `doc` may be nullptr (no docstring).
Ref new_function(const FunctionDef& def, PyObject* name, PyObject* qualname, PyObject* module,
                 PyObject* doc, PyObject* globals, PyObject* code) noexcept;

// Attaches what the module sets after creation.
void function_set_defaults(PyObject* function, PyObject* defaults) noexcept;
void function_set_annotations(PyObject* function, PyObject* annotations) noexcept;

}  // namespace korbix::rt
