#include "traceback.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace korbix::rt {
namespace {

// Fast path of an entry's code object: one empty code object per (line,
// function name), made on first use and kept for the life of the process.
// Keying by the name as well as the line keeps each entry's function name
// right when two functions fail at the same line.
struct CachedCode {
    int line;
    const char* name;
    PyCodeObject* code;  // owned, never released
};

bool comes_before(const CachedCode& entry, int line, const char* name) noexcept {
    if (entry.line != line) return entry.line < line;
    return std::strcmp(entry.name, name) < 0;
}

std::vector<CachedCode>& code_cache() noexcept {
    static auto* cache = new std::vector<CachedCode>();  // lives until process exit
    return *cache;
}

// Borrowed from the module being executed or initialised; once initialised it
// is never destroyed. A failed import's module may go, but the next exec step
// sets this again before any entry is made.
PyObject* g_globals = nullptr;
const char* g_source_file = "";  // a literal of the module, set with the globals

// The code object of an entry (borrowed from the table), or nullptr with an
// exception set.
PyCodeObject* code_for(int line, const char* name) noexcept {
    auto& cache = code_cache();
    auto position = std::lower_bound(cache.begin(), cache.end(), 0, [&](const CachedCode& entry, int) {
        return comes_before(entry, line, name);
    });
    if (position != cache.end() && position->line == line && std::strcmp(position->name, name) == 0) {
        return position->code;
    }
    PyCodeObject* code = PyCode_NewEmpty(g_source_file, name, line);
    if (code == nullptr) return nullptr;
    try {
        cache.insert(position, CachedCode{line, name, code});
    } catch (...) {
        Py_DECREF(code);
        PyErr_NoMemory();
        return nullptr;
    }
    return code;
}

}  // namespace

void set_traceback_origin(const char* source_file, PyObject* globals) noexcept {
    g_source_file = source_file;
    g_globals = globals;
}
PyObject* traceback_globals() noexcept { return g_globals; }

void add_traceback(const char* function_name, int line, PyObject* globals) noexcept {
    if (!PyErr_Occurred()) set_missing_error();
    Ref frame;
    {
        // Whatever goes wrong while making the entry, the original exception wins.
        SetAsideError raised;
        PyCodeObject* code = code_for(line, function_name);
        Ref scratch_globals;
        if (globals == nullptr) {
            scratch_globals = Ref::steal(PyDict_New());
            globals = scratch_globals.get();
        }
        if (code != nullptr && globals != nullptr) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
        }
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace korbix::rt
