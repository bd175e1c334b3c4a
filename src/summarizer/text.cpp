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
    for (size_t i = 0; i < count_; ++i) Py_DECREF(pieces_[i]);
    PyMem_Free(pieces_);
}

bool TextBuilder::grow() noexcept {
    const size_t capacity = capacity_ == 0 ? 16 : 2 * capacity_;
    if (capacity > PY_SSIZE_T_MAX / sizeof(PyObject*)) return false;
    auto* larger = static_cast<PyObject**>(PyMem_Realloc(pieces_, capacity * sizeof(PyObject*)));
    if (larger == nullptr) return false;
    pieces_ = larger;
    capacity_ = capacity;
    return true;
}

namespace {

// Copies `count` characters from one kind to a kind at least as wide.
template <class From, class To>
void widen(const void* source, void* target, Py_ssize_t count) noexcept {
    const auto* from = static_cast<const From*>(source);
    auto* to = static_cast<To*>(target);
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = from[i];
}

void copy_characters(int from_kind, const void* from, int to_kind, void* to, Py_ssize_t count) noexcept {
    if (from_kind == to_kind) {
        std::memcpy(to, from, static_cast<size_t>(count) * static_cast<size_t>(to_kind));
    } else if (from_kind == PyUnicode_1BYTE_KIND && to_kind == PyUnicode_2BYTE_KIND) {
        widen<Py_UCS1, Py_UCS2>(from, to, count);
    } else if (from_kind == PyUnicode_1BYTE_KIND) {
        widen<Py_UCS1, Py_UCS4>(from, to, count);
    } else {
        widen<Py_UCS2, Py_UCS4>(from, to, count);
    }
}

}  // namespace

rt::Ref TextBuilder::build() noexcept {
    if (count_ == 1 && PyUnicode_CheckExact(pieces_[0])) return rt::Ref::borrow(pieces_[0]);
    if (length_ > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return {};
    }
    rt::Ref result = rt::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length_), max_char_));
    if (!result) return {};
    // The result is new and not yet shared, so its buffer is written directly;
    // its kind is the widest of the pieces', so every copy widens or keeps.
    const int kind = PyUnicode_KIND(result.get());
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    for (size_t i = 0; i < count_; ++i) {
        PyObject* piece = pieces_[i];
        const Py_ssize_t length = PyUnicode_GET_LENGTH(piece);
        copy_characters(PyUnicode_KIND(piece), PyUnicode_DATA(piece), kind, out, length);
        out += static_cast<size_t>(length) * static_cast<size_t>(kind);
    }
    return result;
}

}  // namespace korbix::summarizer
