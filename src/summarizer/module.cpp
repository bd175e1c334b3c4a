// Module definition and start-up: the entry point, the create and exec steps,
// and the module body that binds the namespace.
#include <Python.h>

#include <cstdint>
#include <iterator>

#include "../runtime/coroutine.hpp"
#include "../runtime/errors.hpp"
#include "../runtime/function.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "prompt.hpp"
#include "state.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

// The exec step makes the functions in table order, so a row's place is its id;
// the one defaults tuple, (None,), fits every row.
constexpr bool rows_fit() {
    for (int i = 0; i < kFunctionCount; ++i) {
        const FunctionRow& row = kFunctions[i];
        if (static_cast<int>(row.id) != i) return false;
        int defaults = 0;
        for (int p = 0; p < row.def.param_count; ++p) defaults += row.def.params[p].defaults_to_none;
        if (defaults > 1) return false;
    }
    return true;
}
static_assert(rows_fit());

// ---- process-wide records --------------------------------------------------

int64_t g_owning_interpreter = -1;
PyObject* g_remembered_module = nullptr;  // strong reference

constexpr rt::Site kInit{"init " KORBIX_SUMMARIZER_MODULE_NAME};

// The code object that describes one function; never executed.
Ref make_code_object(const FunctionRow& row) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, row.def.name, row.def.line)));
    if (!empty) return {};
    const int argcount = row.def.param_count;
    const int nlocals = argcount + row.local_count;
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) return {};
    for (int i = 0; i < nlocals; ++i) {
        PyObject* name = PyUnicode_InternFromString(i < argcount ? row.def.params[i].name : row.locals[i - argcount]);
        if (name == nullptr) return {};
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref argcount_object = Ref::steal(PyLong_FromLong(argcount));
    Ref nlocals_object = Ref::steal(PyLong_FromLong(nlocals));
    Ref flags = Ref::steal(PyLong_FromLong(row.flags()));
    static PyObject** const replaced_names[] = {&str::co_argcount, &str::co_nlocals, &str::co_varnames, &str::co_flags};
    Ref keywords = keyword_names(replaced_names);
    if (!argcount_object || !nlocals_object || !flags || !keywords) return {};
    PyObject* args[] = {empty.get(), argcount_object.get(), nlocals_object.get(), varnames.get(), flags.get()};
    static_assert(std::size(args) == 1 + std::size(replaced_names));
    return Ref::steal(PyObject_VectorcallMethod(str::replace, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                keywords.get()));
}

// The module state's constants beyond its texts: the numbers of the LLM
// request, the defaults tuple, and each function's code object and names.
// 0, or -1 with an exception set.
int make_constants() noexcept {
    ModuleState& module_state = state();
    if (module_state.temperature == nullptr) module_state.temperature = PyFloat_FromDouble(kRequestTemperature);
    if (module_state.max_tokens == nullptr) module_state.max_tokens = PyLong_FromLong(kRequestMaxTokens);
    if (module_state.none_defaults == nullptr) module_state.none_defaults = PyTuple_Pack(1, Py_None);
    if (module_state.temperature == nullptr || module_state.max_tokens == nullptr ||
        module_state.none_defaults == nullptr) {
        return -1;
    }
    for (const FunctionRow& row : kFunctions) {
        const int index = static_cast<int>(row.id);
        PyObject*& name = module_state.name[index];
        if (name == nullptr && (name = PyUnicode_InternFromString(row.def.name)) == nullptr) return -1;
        PyObject*& qualname = module_state.qualname[index];
        if (qualname == nullptr && (qualname = PyUnicode_InternFromString(row.qualname)) == nullptr) return -1;
        PyObject*& code = module_state.code[index];
        if (code != nullptr) continue;
        Ref made = make_code_object(row);
        if (!made) return -1;
        code = made.release();
    }
    return 0;
}

// Makes one function object with its annotations (and defaults, for a row
// with a defaulted parameter), at the source line of its definition.
Ref make_function(const FunctionRow& row, PyObject* globals) {
    const int line = row.def.line;
    Ref annotations = kInit.at(line, PyDict_New());
    const auto annotate = [&](const char* name, const char* text) {
        Ref key = kInit.at(line, PyUnicode_InternFromString(name));
        Ref value = kInit.at(line, PyUnicode_InternFromString(text));
        kInit.status(line, PyDict_SetItem(annotations.get(), key.get(), value.get()));
    };
    bool has_defaults = false;
    for (int i = 0; i < row.def.param_count; ++i) {
        const rt::Param& param = row.def.params[i];
        if (param.annotation != nullptr) annotate(param.name, param.annotation);
        has_defaults = has_defaults || param.defaults_to_none;
    }
    if (row.return_annotation != nullptr) annotate("return", row.return_annotation);
    Ref doc = row.doc != nullptr ? kInit.at(line, PyUnicode_InternFromString(row.doc)) : Ref{};
    Ref function = kInit.at(line, rt::new_function(row.def, name_of(row.id), qualname_of(row.id),
                                                   str::korbix_core_summarizer, doc.get(), globals, code_of(row.id)));
    if (has_defaults) rt::function_set_defaults(function.get(), state().none_defaults);
    rt::function_set_annotations(function.get(), annotations.get());
    return function;
}

// The name a new function object is bound under: its own `__name__`.
PyObject* function_name(PyObject* function) noexcept { return reinterpret_cast<rt::FunctionObject*>(function)->name; }

// `import name`: the entry of sys.modules when there is one, else the import system.
Ref import_module(PyObject* name, PyObject* globals) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module && module.get() != Py_None) return module;
    if (!module && PyErr_Occurred()) return {};
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), nullptr, 0));
}

// `from typing import Any`.
Ref import_any(PyObject* globals) noexcept {
    Ref typing = Ref::steal(PyImport_GetModule(str::typing));
    if (!typing && PyErr_Occurred()) return {};
    if (typing && typing.get() != Py_None) {
        PyObject* any = nullptr;
        const int found = PyObject_GetOptionalAttr(typing.get(), str::Any, &any);
        if (found < 0) return {};
        if (found > 0) return Ref::steal(any);
    }
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) return {};
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(str::Any));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    typing = Ref::steal(PyImport_ImportModuleLevelObject(str::typing, globals, locals.get(), from_list.get(), 0));
    if (!typing) return {};
    PyObject* any = nullptr;
    const int found = PyObject_GetOptionalAttr(typing.get(), str::Any, &any);
    if (found < 0) return {};
    if (found > 0) return Ref::steal(any);
    // A submodule of that name, as `from package import name` would find it.
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", str::typing, str::Any));
    if (!full_name) return {};
    Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
    if (submodule) return submodule;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", str::Any);
    return {};
}

void check_runtime_version() {
    const unsigned long major = (Py_Version >> 24) & 0xff;
    const unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 13) return;
    rt::check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                               KORBIX_SUMMARIZER_MODULE_NAME, "does not match", static_cast<int>(major),
                               static_cast<int>(minor)));
}

// The module body, from exec step 3 on. Throws PythonError on failure.
// `registered` tells whether the body added the module to sys.modules under
// the module name itself (it was loaded under another name).
void run_module_body(PyObject* module, bool& registered) {
    ModuleState& module_state = state();
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr) throw rt::PythonError{};
    module_state.globals = globals;
    rt::set_traceback_origin(kSourceFile, globals);
    // The interned texts are made after the version check, so these two
    // names are spelled here.
    if (module_state.builtins == nullptr) {
        module_state.builtins = PyImport_ImportModule("builtins");
        if (module_state.builtins == nullptr) throw rt::PythonError{};
    }
    rt::check(PyObject_SetAttrString(module, "__builtins__", module_state.builtins));

    check_runtime_version();
    rt::check(make_texts());

    kInit.status(line::module_setup, rt::function_type_ready());
    kInit.status(line::module_setup, rt::coroutine_types_ready());
    {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* existing = nullptr;
        registered =
            kInit.status(line::module_setup, PyDict_SetDefaultRef(modules, str::korbix_core_summarizer, module, &existing)) == 0;
        Py_XDECREF(existing);
    }
    kInit.status(line::module_setup, make_constants());
    kInit.status(line::module_setup, summarize_types_ready());

    const auto bind = [&](int line, PyObject* name, Ref value) {
        kInit.status(line, PyDict_SetItem(globals, name, value.get()));
    };
    bind(line::import_json, str::json, kInit.at(line::import_json, import_module(str::json, globals)));
    bind(line::import_logging, str::logging, kInit.at(line::import_logging, import_module(str::logging, globals)));
    bind(line::import_time, str::time, kInit.at(line::import_time, import_module(str::time, globals)));
    bind(line::import_any, str::Any, kInit.at(line::import_any, import_any(globals)));
    {
        Ref logging = kInit.at(line::logger, lookup_global(str::logging));
        Ref get_logger = kInit.at(line::logger, PyObject_GetAttr(logging.get(), str::getLogger));
        bind(line::logger, str::logger, kInit.at(line::logger, PyObject_CallOneArg(get_logger.get(), str::korbix_summarizer)));
    }
    bind(line::prompt, str::SUMMARIZE_PROMPT, Ref::borrow(str::summarize_prompt));

    const int class_line = line::class_statement;
    Ref class_namespace = kInit.at(class_line, PyDict_New());
    kInit.status(class_line, PyDict_SetItem(class_namespace.get(), str::dunder_module, str::korbix_core_summarizer));
    kInit.status(class_line, PyDict_SetItem(class_namespace.get(), str::dunder_qualname, str::ConversationSummarizer));
    kInit.status(class_line, PyDict_SetItem(class_namespace.get(), str::dunder_doc, str::summarizes_conversation_chunks));
    for (const FunctionRow& row : kFunctions) {
        if (!row.is_method()) continue;
        Ref function = make_function(row, globals);
        kInit.status(row.def.line, PyDict_SetItem(class_namespace.get(), function_name(function.get()), function.get()));
    }
    {
        Ref bases = kInit.at(class_line, PyTuple_New(0));
        PyObject* type_args[] = {str::ConversationSummarizer, bases.get(), class_namespace.get()};
        bind(class_line, str::ConversationSummarizer,
             kInit.at(class_line, PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr)));
    }
    for (const FunctionRow& row : kFunctions) {
        if (row.is_method()) continue;
        Ref function = make_function(row, globals);
        kInit.status(row.def.line, PyDict_SetItem(globals, function_name(function.get()), function.get()));
    }
    bind(line::test_table, str::dunder_test, kInit.at(line::test_table, PyDict_New()));
}

// ---- create and exec steps -------------------------------------------------

// Copies one attribute of the spec into the module namespace; a missing
// attribute is skipped, any other error fails.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* globals, const char* to, bool skip_none) noexcept {
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found < 0) return false;
    if (found == 0) return true;
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return true;
    return PyDict_SetItemString(globals, to, value) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    if (g_owning_interpreter == -1) {
        g_owning_interpreter = interpreter;
    } else if (g_owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_remembered_module != nullptr) return Py_NewRef(g_remembered_module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    if (globals == nullptr) return nullptr;
    if (!copy_spec_attribute(spec, "loader", globals, "__loader__", false) ||
        !copy_spec_attribute(spec, "origin", globals, "__file__", false) ||
        !copy_spec_attribute(spec, "parent", globals, "__package__", false) ||
        !copy_spec_attribute(spec, "submodule_search_locations", globals, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

// Takes out the sys.modules entry that a failed exec step added under the
// module name, so that a later import does not find the half-built module
// there; an entry that was replaced meanwhile is left alone. The pending
// exception stays as it is.
void unregister_module(PyObject* module) noexcept {
    rt::SetAsideError raised;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(modules, str::korbix_core_summarizer, &found);
    Ref entry = Ref::steal(found);
    if (status > 0 && entry.get() == module) (void)PyDict_DelItem(modules, str::korbix_core_summarizer);
}

int module_exec(PyObject* module) noexcept {
    if (g_remembered_module != nullptr) {
        if (g_remembered_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'summarizer' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_remembered_module = Py_NewRef(module);
    bool registered = false;
    const int status = rt::boundary([&] {
        run_module_body(module, registered);
        return 0;
    });
    if (status < 0) {
        // A later import runs the whole body again on a new module object.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init " KORBIX_SUMMARIZER_MODULE_NAME);
        if (registered) unregister_module(module);
        Py_CLEAR(g_remembered_module);
    }
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "summarizer",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korbix::summarizer

extern "C" PyMODINIT_FUNC PyInit_summarizer(void) { return PyModuleDef_Init(&korbix::summarizer::module_def); }
