#include "text.hpp"

#include <charconv>
#include <cstring>

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
    if (PyUnicode_CheckExact(value)) {
        rt::Ref head = text_prefix(value, stop);
        if (!head) return {};
        return rt::Ref::steal(PyUnicode_Concat(head.get(), marker));
    }
    rt::Ref head = slice_prefix(value, stop);
    if (!head) return {};
    return rt::Ref::steal(PyNumber_Add(head.get(), marker));
}

TextBuilder::~TextBuilder() {
    for (size_t i = 0; i < count_; ++i) Py_DECREF(pieces_[i].text);
    if (pieces_ != inline_pieces_) PyMem_Free(pieces_);
}

bool TextBuilder::grow(size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (capacity > PY_SSIZE_T_MAX / sizeof(Piece)) return false;
    auto* larger = static_cast<Piece*>(PyMem_Malloc(capacity * sizeof(Piece)));
    if (larger == nullptr) return false;
    std::memcpy(static_cast<void*>(larger), pieces_, count_ * sizeof(Piece));
    if (pieces_ != inline_pieces_) PyMem_Free(pieces_);
    pieces_ = larger;
    capacity_ = capacity;
    return true;
}

namespace {

// The widest character class among the first `length` characters, as
// PyUnicode_New wants it. A whole string is stored in the narrowest kind that
// holds its characters, so its kind answers at once; a prefix may hold only
// narrower characters and is scanned.
Py_UCS4 max_char_of(const Piece& piece) {
    const Py_UCS4 kind_max = PyUnicode_MAX_CHAR_VALUE(piece.text);
    if (kind_max == 127 || piece.length == PyUnicode_GET_LENGTH(piece.text)) return kind_max;
    const int kind = PyUnicode_KIND(piece.text);
    const void* data = PyUnicode_DATA(piece.text);
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = 0; i < piece.length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch > widest) widest = ch;
    }
    if (widest < 128) return 127;
    if (widest < 256) return 255;
    if (widest < 65536) return 65535;
    return 1114111;
}

}  // namespace

int TextBuilder::push(const Piece& piece) noexcept {
    if (piece.length == 0) return 0;
    if (count_ == capacity_ && !grow(2 * capacity_)) {
        PyErr_NoMemory();
        return -1;
    }
    pieces_[count_++] = piece;
    Py_INCREF(piece.text);
    length_ += static_cast<size_t>(piece.length);
    const Py_UCS4 max_char = max_char_of(piece);
    if (max_char > max_char_) max_char_ = max_char;
    return 0;
}

int TextBuilder::part(std::initializer_list<Piece> pieces) noexcept {
    if (started_) {
        if (push(Piece(separator_)) < 0) return -1;
    }
    started_ = true;
    for (const Piece& piece : pieces) {
        if (push(piece) < 0) return -1;
    }
    return 0;
}

void TextBuilder::reserve(size_t pieces) noexcept {
    // Only a hint: `push` reports the failure if the memory is really missing.
    (void)grow(pieces);
}

namespace {

// Copies `count` characters between kinds; every character fits the target
// kind (the result's kind comes from the characters actually copied).
template <class From, class To>
void convert(const void* from, void* to, Py_ssize_t count) {
    const auto* source = static_cast<const From*>(from);
    auto* target = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < count; ++i) target[i] = static_cast<To>(source[i]);
}

void copy_characters(int from_kind, const void* from, int to_kind, void* to, Py_ssize_t count) {
    if (from_kind == to_kind) {
        std::memcpy(to, from, static_cast<size_t>(count) * static_cast<size_t>(to_kind));
        return;
    }
    switch (from_kind * 8 + to_kind) {
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_2BYTE_KIND:
            return convert<Py_UCS1, Py_UCS2>(from, to, count);
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_4BYTE_KIND:
            return convert<Py_UCS1, Py_UCS4>(from, to, count);
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_4BYTE_KIND:
            return convert<Py_UCS2, Py_UCS4>(from, to, count);
        // Narrowing happens only for a prefix whose characters are narrower
        // than the rest of its string.
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_1BYTE_KIND:
            return convert<Py_UCS2, Py_UCS1>(from, to, count);
        case PyUnicode_4BYTE_KIND * 8 + PyUnicode_1BYTE_KIND:
            return convert<Py_UCS4, Py_UCS1>(from, to, count);
        default:
            return convert<Py_UCS4, Py_UCS2>(from, to, count);
    }
}

}  // namespace

rt::Ref TextBuilder::build() noexcept {
    if (count_ == 1) {
        const Piece& only = pieces_[0];
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
    const int kind = PyUnicode_KIND(result.get());
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    for (size_t i = 0; i < count_; ++i) {
        const Piece& piece = pieces_[i];
        copy_characters(PyUnicode_KIND(piece.text), PyUnicode_DATA(piece.text), kind, out, piece.length);
        out += static_cast<size_t>(piece.length) * static_cast<size_t>(kind);
    }
    return result;
}

}  // namespace korbix::summarizer
