#include "protocol.hpp"

#include "state.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

// What the interpreter allows after `except`: an exception class, or a
// tuple of them (checked one level deep, as the interpreter checks it).
bool is_catchable(PyObject* target) noexcept {
    if (!PyTuple_Check(target)) return PyExceptionClass_Check(target);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(target, i))) return false;
    }
    return true;
}

}  // namespace

rt::Ref call_get(PyObject* record, PyObject* key, PyObject* fallback) noexcept {
    PyObject* call_args[] = {record, key, fallback};
    return rt::Ref::steal(PyObject_VectorcallMethod(str::get, call_args, fallback != nullptr ? 3 : 2, nullptr));
}

int GetMethod::bind(PyObject* record) noexcept {
    record_ = record;
    if (PyDict_CheckExact(record)) return 0;
    method_ = rt::Ref::steal(PyObject_GetAttr(record, str::get));
    return method_ ? 0 : -1;
}

rt::Ref GetMethod::call(PyObject* key, PyObject* fallback) const noexcept {
    if (!method_) return get_or(record_, key, fallback);
    PyObject* call_args[] = {key, fallback};
    return rt::Ref::steal(PyObject_Vectorcall(method_.get(), call_args, 2, nullptr));
}

int ForLoop::start(PyObject* iterable) noexcept {
    index_ = 0;
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        sequence_ = rt::Ref::borrow(iterable);
        return 0;
    }
    iterator_ = rt::Ref::steal(PyObject_GetIter(iterable));
    return iterator_ ? 0 : -1;
}

int ForLoop::next(rt::Ref& item) noexcept {
    if (sequence_) {
        PyObject* sequence = sequence_.get();
        if (PyList_CheckExact(sequence)) {
            // Items may have been removed by code that ran since the last step.
            if (index_ >= PyList_GET_SIZE(sequence)) return 0;
            item = rt::Ref::borrow(PyList_GET_ITEM(sequence, index_++));
            return 1;
        }
        if (index_ >= PyTuple_GET_SIZE(sequence)) return 0;
        item = rt::Ref::borrow(PyTuple_GET_ITEM(sequence, index_++));
        return 1;
    }
    PyObject* value = PyIter_Next(iterator_.get());
    if (value == nullptr) return PyErr_Occurred() ? -1 : 0;
    item = rt::Ref::steal(value);
    return 1;
}

rt::Ref call_json_loads(const rt::ExpectedSite& site, int line, PyObject* text) noexcept {
    rt::Ref json = site.at(line, lookup_global(str::json));
    if (!json) return {};
    rt::Ref loads = site.at(line, module_attribute(json.get(), str::loads));
    if (!loads) return {};
    return site.at(line, PyObject_CallOneArg(loads.get(), text));
}

DecodeErrorClause::DecodeErrorClause() noexcept : error_(rt::Ref::steal(PyErr_GetRaisedException())) {
    // Save the current frame's own slot rather than the topmost handled
    // exception (PyErr_GetHandledException), so that restoring it leaves a
    // calling generator's exception stack exactly as it was.
    previous_ = rt::Ref::borrow(PyThreadState_Get()->exc_info->exc_value);
    PyErr_SetHandledException(error_.get());
}

DecodeErrorClause::~DecodeErrorClause() { PyErr_SetHandledException(previous_.get()); }

int DecodeErrorClause::matches() const noexcept {
    rt::Ref json = lookup_global(str::json);
    if (!json) return -1;
    rt::Ref error_class = module_attribute(json.get(), str::JSONDecodeError);
    if (!error_class) return -1;
    if (!is_catchable(error_class.get())) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(error_.get(), error_class.get());
}

void DecodeErrorClause::reraise() {
    PyErr_SetRaisedException(error_.release());
    throw rt::PythonError{};
}

}  // namespace korbix::summarizer
