#include "state.hpp"

namespace korbix::summarizer {

ModuleState g_module_state;

rt::Ref lookup_builtin(PyObject* name) noexcept {
    const ModuleState& module_state = state();
    PyObject* value = nullptr;
    if (module_state.builtins != nullptr) {
        const int found = PyObject_GetOptionalAttr(module_state.builtins, name, &value);
        if (found < 0) return {};
        if (found > 0) return rt::Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace korbix::summarizer
