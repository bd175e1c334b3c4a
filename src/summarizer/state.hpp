// Process-wide state of the module: what the exec step builds once and every
// call reads, and the lookup of module-level names at call time.
#pragma once

#include <Python.h>

#include "../runtime/ref.hpp"

namespace korbix::summarizer {

struct ModuleState {
    PyObject* globals = nullptr;   // namespace of the remembered module (borrowed from it)
    PyObject* builtins = nullptr;  // the `builtins` module (owned)
    PyObject* temperature = nullptr;       // 0.2 (owned)
    PyObject* max_tokens = nullptr;        // 2048 (owned)
    PyObject* summarize_defaults = nullptr;  // (None,) (owned)
    // Code objects of the eight functions (owned).
    PyObject* code_init = nullptr;
    PyObject* code_summarize_messages = nullptr;
    PyObject* code_format_summary_for_context = nullptr;
    PyObject* code_format_messages_for_summary = nullptr;
    PyObject* code_brief_args = nullptr;
    PyObject* code_parse_summary = nullptr;
    PyObject* code_empty_summary = nullptr;
    PyObject* code_fallback_summary = nullptr;
};

ModuleState& state() noexcept;

// Resolves a module-level name at the moment of use: the module namespace
// first, then the attributes of the builtins module. Empty with NameError
// "name '...' is not defined" when neither has it.
rt::Ref lookup_global(PyObject* name) noexcept;

}  // namespace korbix::summarizer
