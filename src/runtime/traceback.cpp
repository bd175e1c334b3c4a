#include "traceback.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace korbix::rt {
namespace {

// One empty code object per (line, function name), made on first use and kept
// for the life of the process. Keying by the name as well as the line keeps
// each entry's function name right when two functions fail at the same line.
//
// Each also keeps the frame of its last entry. Making a frame is the costly
// part of an entry (PyFrame_New builds a function object as well), and many
// failures are expected ones: an answer that is not JSON, a decoding error
// in tool arguments. A kept frame is reused only when nothing else holds it
// any more, that is when every traceback that showed it is gone, and it is
// put back into the state of a new frame first (`reset_frame`), so no caller
// can tell a reused frame from a new one.
//
// The table holds pointers, so an entry stays where it is while later ones
// are inserted: making or resetting a frame can run Python code (a finalizer)
// that fails in this module and so adds entries of its own.
struct CachedCode {
    int line;
    const char* name;
    PyCodeObject* code;  // owned, never released
    PyObject* frame;     // owned; the frame of the last entry, or nullptr
};

bool comes_before(const std::unique_ptr<CachedCode>& entry, int line, const char* name) {
    if (entry->line != line) return entry->line < line;
    return std::strcmp(entry->name, name) < 0;
}

std::vector<std::unique_ptr<CachedCode>>& code_cache() {
    static auto* cache = new std::vector<std::unique_ptr<CachedCode>>();  // lives until process exit
    return *cache;
}

// Borrowed from the module being executed or initialised; once initialised it
// is never destroyed. A failed import's module may go, but the next exec step
// sets this again before any entry is made.
PyObject* g_globals = nullptr;

CachedCode* entry_for(int line, const char* name) {
    auto& cache = code_cache();
    auto position = std::lower_bound(cache.begin(), cache.end(), 0, [&](const std::unique_ptr<CachedCode>& entry, int) {
        return comes_before(entry, line, name);
    });
    if (position != cache.end() && (*position)->line == line && std::strcmp((*position)->name, name) == 0) {
        return position->get();
    }
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, name, line);
    if (code == nullptr) return nullptr;
    try {
        position = cache.insert(position, std::make_unique<CachedCode>(CachedCode{line, name, code, nullptr}));
    } catch (...) {
        Py_DECREF(code);
        PyErr_NoMemory();
        return nullptr;
    }
    return position->get();
}

// Puts a kept frame back into the state of a new one: frame.clear() drops
// an f_trace or f_locals that a caller attached; the two tracing flags are
// reset only when a caller changed them. False with an exception set when
// the frame refuses.
bool reset_frame(PyObject* frame) {
    static PyObject* const clear_name = PyUnicode_InternFromString("clear");  // live until process exit
    static PyObject* const lines_name = PyUnicode_InternFromString("f_trace_lines");
    static PyObject* const opcodes_name = PyUnicode_InternFromString("f_trace_opcodes");
    if (clear_name == nullptr || lines_name == nullptr || opcodes_name == nullptr) return false;
    Ref cleared = Ref::steal(PyObject_CallMethodNoArgs(frame, clear_name));
    if (!cleared) return false;
    struct Flag {
        PyObject* name;
        PyObject* fresh;
    };
    for (const Flag& flag : {Flag{lines_name, Py_True}, Flag{opcodes_name, Py_False}}) {
        Ref value = Ref::steal(PyObject_GetAttr(frame, flag.name));
        if (!value) return false;
        if (value.get() != flag.fresh && PyObject_SetAttr(frame, flag.name, flag.fresh) < 0) return false;
    }
    return true;
}

// A frame for an entry: the kept one when it is free, else a new one (kept
// for next time when it is made with the module's globals). New reference.
PyObject* frame_for(CachedCode& entry, PyObject* globals) {
    const bool keepable = globals == g_globals;
    if (keepable && entry.frame != nullptr && Py_REFCNT(entry.frame) == 1) {
        // Out of the table while it is reset: Python code run by the reset
        // (the finalizer of a dropped f_trace, say) that makes an entry for
        // this line gets a frame of its own, so no frame is ever shared.
        Ref kept = Ref::steal(std::exchange(entry.frame, nullptr));
        if (reset_frame(kept.get())) {
            if (entry.frame == nullptr) entry.frame = Py_NewRef(kept.get());
            return kept.release();
        }
        PyErr_Clear();
    }
    PyObject* frame = reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), entry.code, globals, nullptr));
    if (frame != nullptr && keepable) Py_XSETREF(entry.frame, Py_NewRef(frame));
    return frame;
}

}  // namespace

void set_traceback_globals(PyObject* globals) noexcept {
    if (globals == g_globals) return;
    g_globals = globals;
    // A kept frame shows the namespace it was made with: after a failed
    // import the next attempt runs on a new module, so the frames kept for
    // the old one must not be reused (and need not keep it alive). Each is
    // taken out of the table before it is released, since releasing one can
    // run Python code that adds entries; an insertion only shifts entries to
    // later positions, so none is skipped.
    auto& cache = code_cache();
    for (std::size_t i = 0; i < cache.size(); ++i) {
        Ref old = Ref::steal(std::exchange(cache[i]->frame, nullptr));
    }
}
PyObject* traceback_globals() noexcept { return g_globals; }

void add_traceback(const char* function_name, int line, PyObject* globals) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        // A step reported failure without setting an exception: make that visible.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        raised = PyErr_GetRaisedException();
    }
    CachedCode* entry = entry_for(line, function_name);
    Ref scratch_globals;
    if (globals == nullptr) {
        scratch_globals = Ref::steal(PyDict_New());
        globals = scratch_globals.get();
    }
    PyObject* frame = nullptr;
    if (entry != nullptr && globals != nullptr) frame = frame_for(*entry, globals);
    // Whatever went wrong while making the entry, the original exception wins.
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame != nullptr) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
        Py_DECREF(frame);
    }
}

}  // namespace korbix::rt
