// Traceback entries that name the module's source lines.
//
// A function of the module declares one `Site` with the name its entries
// show; each fallible step then reads as a single expression:
//
//     Ref lines = site.at(163, PyList_New(0));
//
// On failure `at` adds an entry for that line to the pending exception and
// throws `PythonError`, which the function's boundary turns into NULL.
#pragma once

#include <Python.h>

#include "errors.hpp"
#include "ref.hpp"

namespace korbix::rt {

// The file name that every entry (and every code object of the module) shows.
inline constexpr const char kSourceFile[] = "korbix/core/summarizer.pyx";

// Adds an entry (function name, source file, line) in front of the traceback
// of the pending exception; the exception itself stays the same object.
// `globals` becomes the entry frame's globals.
void add_traceback(const char* function_name, int line, PyObject* globals) noexcept;

// The globals used by `Site` entries: the module's namespace dictionary.
void set_traceback_globals(PyObject* globals) noexcept;
PyObject* traceback_globals() noexcept;

class Site {
public:
    constexpr explicit Site(const char* function_name) noexcept : name_(function_name) {}

    [[noreturn]] void fail(int line) const {
        add_traceback(name_, line, traceback_globals());
        throw PythonError{};
    }
    // Takes ownership of a C-API result; NULL means failure at `line`.
    Ref at(int line, PyObject* result) const {
        if (result == nullptr) fail(line);
        return Ref::steal(result);
    }
    // Passes an owned result through; an empty one means failure at `line`.
    Ref at(int line, Ref result) const {
        if (!result) fail(line);
        return result;
    }
    // For C-API calls that report failure as a negative status.
    int status(int line, int result) const {
        if (result < 0) fail(line);
        return result;
    }
    const char* name() const noexcept { return name_; }

private:
    const char* name_;
};

}  // namespace korbix::rt
