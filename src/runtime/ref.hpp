// Owned references to Python objects.
//
// `Ref` owns exactly one reference (or none) and releases it when it goes out
// of scope; it can be moved but not copied, so ownership is always visible.
// Borrowed references stay plain `PyObject*` and must not outlive the call
// into Python that could release them.
#pragma once

#include <Python.h>

#include <utility>

namespace korbix::rt {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference (the usual result of a C-API call).
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        // Swap first so that a finalizer run by the release sees a consistent handle.
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference back to C code (for example as a function result).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    [[nodiscard]] Ref copy() const noexcept { return borrow(object_); }
    void reset() noexcept { Ref old(std::exchange(object_, nullptr)); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace korbix::rt
