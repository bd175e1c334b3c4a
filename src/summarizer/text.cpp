#include "text.hpp"

#include <charconv>
#include <cstring>
#include <type_traits>

namespace korbix::summarizer {

rt::Ref ascii_with_number(std::string_view prefix, Py_ssize_t number, std::string_view suffix) noexcept {
    char digits[24];
    const auto converted = std::to_chars(digits, digits + sizeof(digits), number);
    const auto digit_count = static_cast<size_t>(converted.ptr - digits);
    const size_t length = prefix.size() + digit_count + suffix.size();
    rt::Ref text = rt::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!text) return {};
    char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    std::memcpy(out, prefix.data(), prefix.size());
    std::memcpy(out + prefix.size(), digits, digit_count);
    std::memcpy(out + prefix.size() + digit_count, suffix.data(), suffix.size());
    return text;
}

rt::Ref slice_prefix(PyObject* value, Py_ssize_t stop) noexcept {
    // Item access goes through the mapping slot for every type that has any
    // (Python classes with `__getitem__` included); without it the object
    // cannot be sliced at all.
    const PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
        return {};
    }
    rt::Ref bound = rt::Ref::steal(PyLong_FromSsize_t(stop));
    if (!bound) return {};
    rt::Ref slice = rt::Ref::steal(PySlice_New(nullptr, bound.get(), nullptr));
    if (!slice) return {};
    return rt::Ref::steal(PyObject_GetItem(value, slice.get()));
}

rt::Ref cut_with_marker(PyObject* value, Py_ssize_t stop, PyObject* marker) noexcept {
    rt::Ref head = slice_prefix(value, stop);
    if (!head) return {};
    return rt::Ref::steal(PyNumber_Add(head.get(), marker));
}

TextBuilder::~TextBuilder() {
    for (size_t i = 0; i < count_; ++i) Py_DECREF(pieces_[i].text);
    PyMem_Free(pieces_);
}

bool TextBuilder::grow(size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (capacity > PY_SSIZE_T_MAX / sizeof(StoredPiece)) return false;
    auto* larger = static_cast<StoredPiece*>(PyMem_Realloc(pieces_, capacity * sizeof(StoredPiece)));
    if (larger == nullptr) return false;
    pieces_ = larger;
    capacity_ = capacity;
    return true;
}

namespace {

// The character class (127, 255, 65535 or 1114111, as PyUnicode_New wants
// it) of the first `length` characters of a str, scanning only until the
// class of the whole string is reached.
template <class Char>
Py_UCS4 prefix_class(const void* data, Py_ssize_t length, Py_UCS4 whole_class) noexcept {
    const auto* chars = static_cast<const Char*>(data);
    Py_UCS4 widest = 127;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = chars[i];
        if (ch <= widest) continue;
        widest = ch < 256 ? 255 : ch < 65536 ? 65535 : 1114111;
        if (widest == whole_class) break;
    }
    return widest;
}

// Copies `count` characters between kinds; every character fits the target
// kind (the result's class comes from the characters actually copied, so a
// prefix may be narrowed). The target is a new string that no piece shares,
// so the two never overlap and the compiler's vector loop needs no check.
template <class From, class To>
void convert(const From* __restrict from, To* __restrict to, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

// Writes `length` characters stored as `From` at `out`, in the result's kind.
template <class From, class To>
void copy_characters(const void* data, To* out, Py_ssize_t length) noexcept {
    if constexpr (std::is_same_v<From, To>) {
        std::memcpy(out, data, static_cast<size_t>(length) * sizeof(To));
    } else {
        convert(static_cast<const From*>(data), out, length);
    }
}

// Writes the first `length` characters of `text` at `out`, in the result's
// kind `To`, and returns the position after them.
template <class To>
To* write_characters(To* out, PyObject* text, Py_ssize_t length) noexcept {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: copy_characters<Py_UCS1>(data, out, length); break;
        case PyUnicode_2BYTE_KIND: copy_characters<Py_UCS2>(data, out, length); break;
        default: copy_characters<Py_UCS4>(data, out, length); break;
    }
    return out + length;
}

// Fast path of the copy of many pieces, which is bound by memory: the
// pieces lie all over the heap and were mostly not read since they were
// added. Asking for a piece's header, then for its characters, a few pieces
// ahead of the copy lets the loads overlap. A prefetch never faults, and
// every piece is owned by the builder. Always inlined: GCC judges a separate
// prefetch-only function free of effects and drops its calls.
[[gnu::always_inline]] inline void prefetch_piece_ahead(const StoredPiece* pieces, size_t count, size_t index) noexcept {
    constexpr size_t kHeaderDistance = 16;
    constexpr size_t kDataDistance = 8;
    if (index + kHeaderDistance < count) __builtin_prefetch(pieces[index + kHeaderDistance].text);
    if (index + kDataDistance < count) __builtin_prefetch(PyUnicode_DATA(pieces[index + kDataDistance].text));
}

// Writes every piece, each after its separators, then the trailing
// separators, into a result of kind `To`.
template <class To>
void write_joined(To* out, const StoredPiece* pieces, size_t count, int trailing_separators,
                  PyObject* separator) noexcept {
    const Py_ssize_t separator_length = PyUnicode_GET_LENGTH(separator);
    const auto write_separators = [&](int separators) {
        for (int s = 0; s < separators; ++s) {
            out = write_characters(out, separator, separator_length);
        }
    };
    for (size_t i = 0; i < count; ++i) {
        prefetch_piece_ahead(pieces, count, i);
        write_separators(pieces[i].separators);
        out = write_characters(out, pieces[i].text, pieces[i].length);
    }
    write_separators(trailing_separators);
}

}  // namespace

void TextBuilder::take_class_of(const Piece& piece, Py_UCS4 whole_class) noexcept {
    if (piece.length == PyUnicode_GET_LENGTH(piece.text)) {
        max_char_ = whole_class;
        return;
    }
    const void* data = PyUnicode_DATA(piece.text);
    Py_UCS4 prefix = 127;
    switch (PyUnicode_KIND(piece.text)) {
        case PyUnicode_1BYTE_KIND: prefix = prefix_class<Py_UCS1>(data, piece.length, whole_class); break;
        case PyUnicode_2BYTE_KIND: prefix = prefix_class<Py_UCS2>(data, piece.length, whole_class); break;
        default: prefix = prefix_class<Py_UCS4>(data, piece.length, whole_class); break;
    }
    if (prefix > max_char_) max_char_ = prefix;
}

rt::Ref TextBuilder::build() noexcept {
    if (count_ == 1 && pending_separators_ == 0 && pieces_[0].separators == 0) {
        const StoredPiece& only = pieces_[0];
        if (PyUnicode_CheckExact(only.text) && only.length == PyUnicode_GET_LENGTH(only.text)) {
            return rt::Ref::borrow(only.text);
        }
    }
    if (length_ > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return {};
    }
    rt::Ref result = rt::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length_), max_char_));
    if (!result) return {};
    // The result is new and not yet shared, so its buffer is written directly.
    void* out = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND:
            write_joined(static_cast<Py_UCS1*>(out), pieces_, count_, pending_separators_, separator_);
            break;
        case PyUnicode_2BYTE_KIND:
            write_joined(static_cast<Py_UCS2*>(out), pieces_, count_, pending_separators_, separator_);
            break;
        default:
            write_joined(static_cast<Py_UCS4*>(out), pieces_, count_, pending_separators_, separator_);
            break;
    }
    return result;
}

}  // namespace korbix::summarizer
