// Process-wide state of the module: what the exec step builds once and every
// call reads, and the lookup of module-level names at call time.
#pragma once

#include <Python.h>

#include "../runtime/ref.hpp"
#include "entries.hpp"

namespace korbix::summarizer {

// The sampling settings of every LLM request.
inline constexpr double kRequestTemperature = 0.2;
inline constexpr long kRequestMaxTokens = 2048;

struct ModuleState {
    PyObject* globals = nullptr;     // namespace of the remembered module (borrowed from it)
    PyObject* builtins = nullptr;    // the `builtins` module (owned)
    PyObject* temperature = nullptr;  // kRequestTemperature (owned)
    PyObject* max_tokens = nullptr;   // kRequestMaxTokens (owned)
    PyObject* none_defaults = nullptr;  // (None,), the defaults of the one function that has any (owned)
    // Indexed by `Fn`, made from the function table (owned): the code
    // objects, and the interned `__name__` and `__qualname__` of each row.
    PyObject* code[kFunctionCount] = {};
    PyObject* name[kFunctionCount] = {};
    PyObject* qualname[kFunctionCount] = {};
};

extern ModuleState g_module_state;
inline ModuleState& state() noexcept { return g_module_state; }

inline PyObject* code_of(Fn id) noexcept { return state().code[static_cast<int>(id)]; }
inline PyObject* name_of(Fn id) noexcept { return state().name[static_cast<int>(id)]; }
inline PyObject* qualname_of(Fn id) noexcept { return state().qualname[static_cast<int>(id)]; }

// The second half of `lookup_global`: the builtins, then the NameError.
rt::Ref lookup_builtin(PyObject* name) noexcept;

// Resolves a module-level name at the moment of use: the module namespace
// first, then the attributes of the builtins module. Empty with NameError
// "name '...' is not defined" when neither has it.
inline rt::Ref lookup_global(PyObject* name) noexcept {
    PyObject* globals = state().globals;
    if (globals != nullptr) {
        PyObject* value = nullptr;
        const int found = PyDict_GetItemRef(globals, name, &value);
        if (found < 0) return {};
        if (found > 0) return rt::Ref::steal(value);
    }
    return lookup_builtin(name);
}

}  // namespace korbix::summarizer
