// Text helpers shared by the renderers: the text of a value as an f-string
// field shows it, `value[:n] + marker` for any object, and a builder that
// joins many pieces with a single copy.
#pragma once

#include <Python.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "../runtime/ref.hpp"

namespace korbix::summarizer {

// Fast path of format(value, "") for an exact str, which is its own text;
// anything else goes through `__format__` (a non-str result raises
// TypeError). It is what an f-string replacement field with no format_spec
// shows.
inline rt::Ref format_text(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return rt::Ref::borrow(value);
    return rt::Ref::steal(PyObject_Format(value, nullptr));
}

// Fast path of str(value) for an exact str, which is its own text; anything
// else goes through `__str__`.
inline rt::Ref str_text(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return rt::Ref::borrow(value);
    return rt::Ref::steal(PyObject_Str(value));
}

// `prefix` + decimal digits of `number` + `suffix`, all ASCII.
rt::Ref ascii_with_number(std::string_view prefix, Py_ssize_t number, std::string_view suffix) noexcept;

// `value[:stop]` for any object. A type without item access is refused with
// TypeError "'<type>' object is unsliceable".
rt::Ref slice_prefix(PyObject* value, Py_ssize_t stop) noexcept;

// `value[:stop] + marker` for any object: the object's own slicing and `+`.
rt::Ref cut_with_marker(PyObject* value, Py_ssize_t stop, PyObject* marker) noexcept;

// One piece of a joined text: a str instance, whole or only its first
// `length` characters (a cut that needs no string of its own).
struct Piece {
    Piece(PyObject* text) noexcept : text(text), length(PyUnicode_GET_LENGTH(text)) {}  // NOLINT: implicit on purpose
    Piece(PyObject* text, Py_ssize_t prefix) noexcept
        : text(text), length(prefix < PyUnicode_GET_LENGTH(text) ? prefix : PyUnicode_GET_LENGTH(text)) {}
    PyObject* text;
    Py_ssize_t length;
};

// A piece as the builder keeps it, with the number of separators that go
// before it.
struct StoredPiece {
    PyObject* text;  // owned
    Py_ssize_t length;
    int separators;
};

// Collects str pieces and joins them once at the end. Pieces are grouped into
// parts; `separator` goes between consecutive parts, as `separator.join(parts)`
// would put it. The builder holds a strong reference to every piece.
class TextBuilder {
public:
    explicit TextBuilder(PyObject* separator) noexcept
        : separator_(separator), separator_length_(static_cast<size_t>(PyUnicode_GET_LENGTH(separator))) {}
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    // Starts a new part made of `pieces` (borrowed). Returns 0, or -1 with
    // MemoryError set when the piece list cannot grow.
    int part(std::initializer_list<Piece> pieces) noexcept {
        if (started_ && add_separator() < 0) return -1;
        return append(pieces);
    }

    // Adds `pieces` (borrowed) to the current part, with no separator before
    // them. Returns 0, or -1 with MemoryError set.
    int append(std::initializer_list<Piece> pieces) noexcept {
        started_ = true;
        for (const Piece& piece : pieces) {
            if (push(piece) < 0) return -1;
        }
        return 0;
    }

    // Makes room for `pieces` pieces up front (a hint: `part` reports the
    // failure if the memory is really missing).
    void reserve(size_t pieces) noexcept { (void)grow(pieces); }

    // The joined text, a new exact str; empty with an exception set on failure.
    rt::Ref build() noexcept;

private:
    // The separator is written by `build`, between the pieces it falls
    // between; its characters count for the result's class only once it is
    // used, as with `separator.join`.
    int add_separator() noexcept {
        if (separator_length_ == 0) return 0;
        if (pending_separators_ == INT_MAX) {
            PyErr_NoMemory();
            return -1;
        }
        ++pending_separators_;
        length_ += separator_length_;
        const Py_UCS4 separator_class = PyUnicode_MAX_CHAR_VALUE(separator_);
        if (separator_class > max_char_) max_char_ = separator_class;
        return 0;
    }
    int push(const Piece& piece) noexcept {
        if (piece.length == 0) return 0;
        if (count_ == capacity_ && !grow(capacity_ == 0 ? 16 : 2 * capacity_)) {
            PyErr_NoMemory();
            return -1;
        }
        pieces_[count_++] = StoredPiece{Py_NewRef(piece.text), piece.length, pending_separators_};
        pending_separators_ = 0;
        length_ += static_cast<size_t>(piece.length);
        // A whole string is stored in the narrowest kind that holds its
        // characters, so its kind tells its class; only a prefix of a string
        // wider than anything seen so far needs a look at its characters.
        const Py_UCS4 whole_class = PyUnicode_MAX_CHAR_VALUE(piece.text);
        if (whole_class > max_char_) take_class_of(piece, whole_class);
        return 0;
    }
    // Widens the result's character class to take in `piece`, whose string
    // is of the wider class `whole_class`.
    void take_class_of(const Piece& piece, Py_UCS4 whole_class) noexcept;
    bool grow(size_t capacity) noexcept;

    PyObject* separator_;
    size_t separator_length_;
    StoredPiece* pieces_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
    size_t length_ = 0;
    int pending_separators_ = 0;  // separators after the last piece
    Py_UCS4 max_char_ = 127;
    bool started_ = false;
};

}  // namespace korbix::summarizer
