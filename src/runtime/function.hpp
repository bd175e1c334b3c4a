// The module's function type: Python-visible function objects whose calls go
// through an exact argument binding before the native logic runs.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korbix::rt {

// What an argument must be. "Exact" types refuse subclasses.
enum class ArgType : unsigned char { Any, ExactList, ExactDict, ExactStr, ExactStrOrNone };

struct Param {
    const char* name;
    ArgType type;
    bool defaults_to_none;  // only trailing parameters may have a default
};

struct FunctionObject;

// The native logic behind a function object. `args` holds one borrowed
// object per parameter, already bound and checked. Returns a new reference,
// or nullptr with an exception set. Never throws.
using Entry = PyObject* (*)(FunctionObject* function, PyObject* const* args) noexcept;

struct Signature {
    const char* name;            // the name used in refusal messages
    const char* traceback_name;  // dotted name of count and keyword refusals' entries
    int line;                    // line of those entries
    const Param* params;
    int param_count;
    bool takes_arguments;  // false: any argument is refused (no-argument binding)
};

struct FunctionDef {
    const Signature* signature;
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

// Readies the function type; call once before making functions.
bool function_type_ready() noexcept;
PyTypeObject* function_type() noexcept;

// Makes a function object. `doc` may be nullptr (no docstring).
Ref new_function(const FunctionDef& def, PyObject* name, PyObject* qualname, PyObject* module,
                 PyObject* doc, PyObject* globals, PyObject* code) noexcept;

// Attaches what the module sets after creation.
void function_set_defaults(PyObject* function, PyObject* defaults) noexcept;
void function_set_annotations(PyObject* function, PyObject* annotations) noexcept;

}  // namespace korbix::rt
