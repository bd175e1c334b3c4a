#include "text.hpp"

#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The character class (127, 255, 65535 or 1114111, as PyUnicode_New wants
// it) of the first `length` characters of a str, scanning only until the
// class of the whole string is reached.
template <class Char>
Py_UCS4 prefix_class(const void* data, Py_ssize_t length, Py_UCS4 whole_class) {
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

void TextBuilder::reserve(size_t pieces) noexcept {
    // Only a hint: `push` reports the failure if the memory is really missing.
    (void)grow(pieces);
}

namespace {

// Copies `count` characters between kinds; every character fits the target
// kind (the result's kind comes from the characters actually copied).
template <class From, class To>
void convert(const From* source, To* target, Py_ssize_t count) {
    Py_ssize_t i = 0;
    for (; i + 4 <= count; i += 4) {
        target[i] = static_cast<To>(source[i]);
        target[i + 1] = static_cast<To>(source[i + 1]);
        target[i + 2] = static_cast<To>(source[i + 2]);
        target[i + 3] = static_cast<To>(source[i + 3]);
    }
    for (; i < count; ++i) target[i] = static_cast<To>(source[i]);
}

// Widening copies, sixteen (or eight) characters per step where SSE2 is
// there, the rest one by one. A single wide character anywhere makes the
// whole result wide, so most pieces of a result are widened on the way in.
void widen_1_to_2(const Py_UCS1* source, Py_UCS2* target, Py_ssize_t count) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i + 8), _mm_unpackhi_epi8(bytes, zero));
    }
#endif
    convert(source + i, target + i, count - i);
}

void widen_1_to_4(const Py_UCS1* source, Py_UCS4* target, Py_ssize_t count) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        auto* out = reinterpret_cast<__m128i*>(target + i);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, zero));
    }
#endif
    convert(source + i, target + i, count - i);
}

void widen_2_to_4(const Py_UCS2* source, Py_UCS4* target, Py_ssize_t count) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        auto* out = reinterpret_cast<__m128i*>(target + i);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(words, zero));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(words, zero));
    }
#endif
    convert(source + i, target + i, count - i);
}

void copy_characters(int from_kind, const void* from, int to_kind, void* to, Py_ssize_t count) {
    if (from_kind == to_kind) {
        std::memcpy(to, from, static_cast<size_t>(count) * static_cast<size_t>(to_kind));
        return;
    }
    switch (from_kind * 8 + to_kind) {
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_2BYTE_KIND:
            return widen_1_to_2(static_cast<const Py_UCS1*>(from), static_cast<Py_UCS2*>(to), count);
        case PyUnicode_1BYTE_KIND * 8 + PyUnicode_4BYTE_KIND:
            return widen_1_to_4(static_cast<const Py_UCS1*>(from), static_cast<Py_UCS4*>(to), count);
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_4BYTE_KIND:
            return widen_2_to_4(static_cast<const Py_UCS2*>(from), static_cast<Py_UCS4*>(to), count);
        // Narrowing happens only for a prefix whose characters are narrower
        // than the rest of its string.
        case PyUnicode_2BYTE_KIND * 8 + PyUnicode_1BYTE_KIND:
            return convert(static_cast<const Py_UCS2*>(from), static_cast<Py_UCS1*>(to), count);
        case PyUnicode_4BYTE_KIND * 8 + PyUnicode_1BYTE_KIND:
            return convert(static_cast<const Py_UCS4*>(from), static_cast<Py_UCS1*>(to), count);
        default:
            return convert(static_cast<const Py_UCS4*>(from), static_cast<Py_UCS2*>(to), count);
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
    // The pieces lie all over the heap and were mostly not read when they
    // were added; ask for a piece's header, then for its characters, a few
    // pieces ahead of the copy.
    constexpr size_t kHeaderDistance = 16;
    constexpr size_t kDataDistance = 8;
    for (size_t i = 0; i < count_; ++i) {
        if (i + kHeaderDistance < count_) __builtin_prefetch(pieces_[i + kHeaderDistance].text);
        if (i + kDataDistance < count_) __builtin_prefetch(PyUnicode_DATA(pieces_[i + kDataDistance].text));
        const Piece& piece = pieces_[i];
        copy_characters(PyUnicode_KIND(piece.text), PyUnicode_DATA(piece.text), kind, out, piece.length);
        out += static_cast<size_t>(piece.length) * static_cast<size_t>(kind);
    }
    return result;
}

}  // namespace korbix::summarizer
