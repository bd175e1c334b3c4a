// Process-wide state of the module: what the exec step builds once and every
// call reads, and the lookup of module-level names at call time.
#pragma once

#include <Python.h>

#include "../runtime/ref.hpp"
#include "entries.hpp"
#include "texts.hpp"

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

// `f(arguments...)` for the module's function `id`, looked up by its name at
// the moment of use, as the other functions call it. A failure of either step
// carries `site`'s entry for `line`.
template <rt::Policy policy, class... Arguments>
rt::Ref call_module_function(const rt::BasicSite<policy>& site, int line, Fn id, Arguments... arguments) {
    static_assert(policy != rt::Policy::expected, "each step's failure must end the caller");
    rt::Ref function = site.at(line, lookup_global(name_of(id)));
    PyObject* args[] = {nullptr, arguments...};
    return site.at(line, PyObject_Vectorcall(function.get(), args + 1,
                                             sizeof...(Arguments) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `logger.<method>(message)`, the module global `logger` looked up now.
template <rt::Policy policy>
void log_message(const rt::BasicSite<policy>& site, int line, PyObject* method, PyObject* message) {
    static_assert(policy != rt::Policy::expected, "each step's failure must end the caller");
    rt::Ref logger = site.at(line, lookup_global(str::logger));
    site.at(line, PyObject_CallMethodOneArg(logger.get(), method, message));
}

}  // namespace korbix::summarizer
