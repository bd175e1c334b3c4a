// Traceback entries that name the module's source lines.
//
// A function of the module takes the `Site` of its entries (the name they
// show); each fallible step then reads as a single expression:
//
//     Ref lines = site.at(line::x::new_lines, PyList_New(0));
//
// What a failure does is the site's policy:
// - `propagate` (`Site`): adds an entry for that line to the pending
//   exception and throws `PythonError`, which the function's boundary turns
//   into NULL;
// - `guarded` (`GuardedSite`): throws `GuardedFailure` with the line and adds
//   nothing yet: the failure belongs to a `try` region whose handler decides,
//   by the exception's class, which entry it gets;
// - `expected` (`ExpectedSite`): adds the entry and returns the empty result
//   (or the negative status) without a throw, for a step whose failure is an
//   ordinary outcome handled right after it (text that is not JSON).
#pragma once

#include <Python.h>

#include "errors.hpp"
#include "ref.hpp"

namespace korbix::rt {

// Adds an entry (function name, source file, line) in front of the traceback
// of the pending exception; the exception itself stays the same object.
// `globals` becomes the entry frame's globals.
void add_traceback(const char* function_name, int line, PyObject* globals) noexcept;

// Where entries point: the source file that every entry shows, and the
// globals of `Site` entries (the module's namespace dictionary). Set by the
// module's exec step before any entry is made.
void set_traceback_origin(const char* source_file, PyObject* globals) noexcept;
PyObject* traceback_globals() noexcept;

enum class Policy : unsigned char { propagate, guarded, expected };

// A failed step of a guarded region, at `line`.
struct GuardedFailure {
    int line;
};

template <Policy policy>
class BasicSite {
public:
    constexpr explicit BasicSite(const char* function_name) noexcept : name_(function_name) {}

    // Fails the step at `line` (an exception is pending).
    void fail(int line) const {
        if constexpr (policy == Policy::guarded) {
            throw GuardedFailure{line};
        } else {
            add_traceback(name_, line, traceback_globals());
            if constexpr (policy == Policy::propagate) throw PythonError{};
        }
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

using Site = BasicSite<Policy::propagate>;
using GuardedSite = BasicSite<Policy::guarded>;
using ExpectedSite = BasicSite<Policy::expected>;

}  // namespace korbix::rt
