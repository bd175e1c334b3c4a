// Text helpers shared by the renderers: the text of a value as an f-string
// field shows it, `value[:n] + marker` for any object, and a builder that
// joins many pieces with a single copy.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>

#include "../runtime/ref.hpp"

namespace korbix::summarizer {

// format(value, ""): what an f-string replacement field with no format_spec shows.
// An exact str is its own text; `__format__` returning a non-str raises
// TypeError (PyObject_Format checks it).
inline rt::Ref format_text(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return rt::Ref::borrow(value);
    return rt::Ref::steal(PyObject_Format(value, nullptr));
}

// str(value).
inline rt::Ref str_text(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return rt::Ref::borrow(value);
    return rt::Ref::steal(PyObject_Str(value));
}

// Equality of two str instances by their characters; runs no Python code.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// `prefix` + decimal digits of `number` + `suffix`, all ASCII.
rt::Ref ascii_with_number(std::string_view prefix, Py_ssize_t number, std::string_view suffix) noexcept;

// `value[:stop]` for any object. A type without item access is refused with
// TypeError "'<type>' object is unsliceable".
rt::Ref slice_prefix(PyObject* value, Py_ssize_t stop) noexcept;

// `value[:stop] + marker` for any object: the object's own slicing and `+`.
rt::Ref cut_with_marker(PyObject* value, Py_ssize_t stop, PyObject* marker) noexcept;

// Collects str pieces and joins them once at the end. Pieces are grouped into
// parts; `separator` goes between consecutive parts, as `separator.join(parts)`
// would put it. The builder holds a strong reference to every piece.
class TextBuilder {
public:
    explicit TextBuilder(PyObject* separator) noexcept : separator_(separator) {}
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    // Starts a new part made of `pieces` (borrowed, each a str instance).
    // Returns 0, or -1 with MemoryError set when the piece list cannot grow.
    int part(std::initializer_list<PyObject*> pieces) noexcept {
        if (started_ && push(separator_) < 0) return -1;
        started_ = true;
        for (PyObject* piece : pieces) {
            if (push(piece) < 0) return -1;
        }
        return 0;
    }

    // The joined text, a new exact str; empty with an exception set on failure.
    rt::Ref build() noexcept;

private:
    int push(PyObject* piece) noexcept {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(piece);
        if (length == 0) return 0;
        if (count_ == capacity_ && !grow()) {
            PyErr_NoMemory();
            return -1;
        }
        pieces_[count_++] = Py_NewRef(piece);
        length_ += static_cast<size_t>(length);
        const Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(piece);
        if (max_char > max_char_) max_char_ = max_char;
        return 0;
    }
    bool grow() noexcept;

    PyObject* separator_;
    PyObject** pieces_ = nullptr;  // each an owned reference
    size_t count_ = 0;
    size_t capacity_ = 0;
    size_t length_ = 0;
    Py_UCS4 max_char_ = 127;
    bool started_ = false;
};

}  // namespace korbix::summarizer
