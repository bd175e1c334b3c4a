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
// prefix may be narrowed).
template <class From, class To>
void convert(const void* source, void* target, Py_ssize_t count) noexcept {
    const auto* from = static_cast<const From*>(source);
    auto* to = static_cast<To*>(target);
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

void copy_characters(int from_kind, const void* from, int to_kind, void* to, Py_ssize_t count) noexcept {
    if (from_kind == to_kind) {
        std::memcpy(to, from, static_cast<size_t>(count) * static_cast<size_t>(to_kind));
        return;
    }
    switch (from_kind * 8 + to_kind) {
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_2BYTE_KIND: return convert<Py_UCS1, Py_UCS2>(from, to, count);
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_4BYTE_KIND: return convert<Py_UCS1, Py_UCS4>(from, to, count);
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_4BYTE_KIND: return convert<Py_UCS2, Py_UCS4>(from, to, count);
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_1BYTE_KIND: return convert<Py_UCS2, Py_UCS1>(from, to, count);
        case PyUnicode_4BYTE_KIND * 8 + PyUnicode_1BYTE_KIND: return convert<Py_UCS4, Py_UCS1>(from, to, count);
        default: return convert<Py_UCS4, Py_UCS2>(from, to, count);
    }
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
    const int kind = PyUnicode_KIND(result.get());
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    const StoredPiece separator{separator_, PyUnicode_GET_LENGTH(separator_), 0};
    const auto copy = [&](const StoredPiece& piece) {
        copy_characters(PyUnicode_KIND(piece.text), PyUnicode_DATA(piece.text), kind, out, piece.length);
        out += static_cast<size_t>(piece.length) * static_cast<size_t>(kind);
    };
    for (size_t i = 0; i < count_; ++i) {
        for (int s = 0; s < pieces_[i].separators; ++s) copy(separator);
        copy(pieces_[i]);
    }
    for (int s = 0; s < pending_separators_; ++s) copy(separator);
    return result;
}

}  // namespace korbix::summarizer
