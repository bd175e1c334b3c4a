#include "text.hpp"

#include <new>

namespace korbix::summarizer {

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
    for (PyObject* piece : pieces_) Py_DECREF(piece);
}

int TextBuilder::push(PyObject* piece) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(piece);
    if (length == 0) return 0;
    try {
        pieces_.push_back(piece);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(piece);
    length_ += static_cast<size_t>(length);
    // Strings are stored in the narrowest kind that holds their characters,
    // so the widest kind among the pieces is the kind of the result.
    const Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(piece);
    if (max_char > max_char_) max_char_ = max_char;
    return 0;
}

int TextBuilder::part(std::initializer_list<PyObject*> pieces) noexcept {
    if (started_) {
        if (push(separator_) < 0) return -1;
    }
    started_ = true;
    return extend(pieces);
}

int TextBuilder::extend(std::initializer_list<PyObject*> pieces) noexcept {
    for (PyObject* piece : pieces) {
        if (push(piece) < 0) return -1;
    }
    return 0;
}

rt::Ref TextBuilder::build() noexcept {
    if (pieces_.size() == 1 && PyUnicode_CheckExact(pieces_.front())) return rt::Ref::borrow(pieces_.front());
    if (length_ > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return {};
    }
    rt::Ref result = rt::Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length_), max_char_));
    if (!result) return {};
    Py_ssize_t offset = 0;
    for (PyObject* piece : pieces_) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(result.get(), offset, piece, 0, length) < 0) return {};
        offset += length;
    }
    return result;
}

}  // namespace korbix::summarizer
