// The function type: attributes, descriptor binding, repr, pickling by name
// and GC support. The call itself is in binding.cpp.
#include "function.hpp"

#include <structmember.h>

#include "attributes.hpp"
#include "binding.hpp"

// The type's short name, as its repr and its warnings show it.
#define KORBIX_FUNCTION_TYPE "cyfunction"

namespace korbix::rt {
namespace {

// The attribute by which asyncio recognises coroutine functions, and the name
// of the marker object it holds in asyncio.coroutines.
constexpr char kCoroutineMark[] = "_is_coroutine";

PyTypeObject* g_function_type = nullptr;  // the static type below, once ready

FunctionObject* as_function(PyObject* object) noexcept { return reinterpret_cast<FunctionObject*>(object); }

// ---- getters and setters -------------------------------------------------

using Function = FunctionObject;

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// The calls keep the defaults of their signature; an assignment only changes
// what the attribute reports, and says so. If the warning is turned into an
// error, the assignment fails and changes nothing.
int set_reported_defaults(PyObject** slot, PyObject* value, const char* which) noexcept {
    if (value == nullptr) value = Py_None;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "changes to " KORBIX_FUNCTION_TYPE ".%s will not currently affect the values used in function calls",
                         which) < 0) {
        return -1;
    }
    Py_XSETREF(*slot, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return set_reported_defaults(&as_function(self)->defaults, value, "__defaults__");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return set_reported_defaults(&as_function(self)->kwdefaults, value, "__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// asyncio recognises coroutine functions by this marker object. It is
// imported on first read, so importing the module does not import asyncio.
// An import that fails with an Exception leaves True as the mark; a
// MemoryError, like any failure that is no Exception (an interrupt), is not
// lost: it propagates, nothing is kept, and the next read tries again.
PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (!function->def->is_coroutine) Py_RETURN_FALSE;
    if (function->coroutine_mark == nullptr) {
        Ref mark;
        Ref from_list = Ref::steal(Py_BuildValue("[s]", kCoroutineMark));
        Ref coroutines;
        if (from_list) {
            coroutines = Ref::steal(
                PyImport_ImportModuleLevel("asyncio.coroutines", nullptr, nullptr, from_list.get(), 0));
        }
        if (coroutines) mark = Ref::steal(PyObject_GetAttrString(coroutines.get(), kCoroutineMark));
        if (!mark) {
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
            PyErr_Clear();
            mark = Ref::borrow(Py_True);
        }
        // A re-entrant read (the import runs Python code) may have set it already.
        if (function->coroutine_mark == nullptr) function->coroutine_mark = mark.release();
    }
    return Py_NewRef(function->coroutine_mark);
}

int set_read_only(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<Function, &Function::name>, set_text_field<Function, &Function::name>, nullptr,
     attribute_name("__name__")},
    {"func_name", get_field<Function, &Function::name>, set_text_field<Function, &Function::name>, nullptr,
     attribute_name("__name__")},
    {"__qualname__", get_field<Function, &Function::qualname>, set_text_field<Function, &Function::qualname>, nullptr,
     attribute_name("__qualname__")},
    {"__doc__", get_field<Function, &Function::doc>, set_doc, nullptr, nullptr},
    {"func_doc", get_field<Function, &Function::doc>, set_doc, nullptr, nullptr},
    {"__module__", get_field<Function, &Function::module>, set_any_field<Function, &Function::module>, nullptr,
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_field<Function, &Function::globals>, set_read_only, nullptr, nullptr},
    {"func_globals", get_field<Function, &Function::globals>, set_read_only, nullptr, nullptr},
    {"__closure__", get_closure, set_read_only, nullptr, nullptr},
    {"func_closure", get_closure, set_read_only, nullptr, nullptr},
    {"__code__", get_field<Function, &Function::code>, set_read_only, nullptr, nullptr},
    {"func_code", get_field<Function, &Function::code>, set_read_only, nullptr, nullptr},
    {"__defaults__", get_field<Function, &Function::defaults>, set_defaults, nullptr, nullptr},
    {"func_defaults", get_field<Function, &Function::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field<Function, &Function::kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {kCoroutineMark, get_is_coroutine, set_read_only, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The call slot itself is `tp_vectorcall_offset`; the member keeps the offset
// readable as `__vectorcalloffset__`, as a type made from a spec shows it.
PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- methods and slots ---------------------------------------------------

// Pickling stores the function by reference: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<" KORBIX_FUNCTION_TYPE " %U at %p>", as_function(self)->qualname, self);
}

// Like Python functions: unbound through the class, a bound method through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->dict);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->coroutine_mark);
    Py_VISIT(function->param_names);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->coroutine_mark);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->code);
    Py_CLEAR(function->param_names);
    PyObject_GC_Del(self);
}

// A static type, as the coroutine types are: its `__module__` comes from its
// dotted name, not from the instances' `__module__` descriptor. The omitted
// fields are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = KORBIX_RUNTIME_TYPE_NAME(KORBIX_FUNCTION_TYPE),
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};
#pragma GCC diagnostic pop

}  // namespace

int function_type_ready() noexcept {
    if (g_function_type != nullptr) return 0;
    if (PyType_Ready(&function_type_object) < 0) return -1;
    g_function_type = &function_type_object;
    return 0;
}

PyTypeObject* function_type() noexcept { return g_function_type; }

Ref new_function(const FunctionDef& def, PyObject* name, PyObject* qualname, PyObject* module, PyObject* doc,
                 PyObject* globals, PyObject* code) noexcept {
    Ref param_names = Ref::steal(PyTuple_New(def.param_count));
    if (!param_names) return {};
    for (int i = 0; i < def.param_count; ++i) {
        PyObject* param_name = PyUnicode_InternFromString(def.params[i].name);
        if (param_name == nullptr) return {};
        PyTuple_SET_ITEM(param_names.get(), i, param_name);
    }
    auto* function = PyObject_GC_New(FunctionObject, g_function_type);
    if (function == nullptr) return {};
    function->vectorcall = function_vectorcall;
    function->dict = nullptr;
    function->weakrefs = nullptr;
    function->name = Py_NewRef(name);
    function->qualname = Py_NewRef(qualname);
    function->module = Py_NewRef(module);
    function->doc = Py_NewRef(doc != nullptr ? doc : Py_None);
    function->globals = Py_NewRef(globals);
    function->code = Py_NewRef(code);
    function->defaults = nullptr;
    function->kwdefaults = nullptr;
    function->annotations = nullptr;
    function->coroutine_mark = nullptr;
    function->param_names = param_names.release();
    function->def = &def;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

void function_set_defaults(PyObject* function, PyObject* defaults) noexcept {
    Py_XSETREF(as_function(function)->defaults, Py_XNewRef(defaults));
}

void function_set_annotations(PyObject* function, PyObject* annotations) noexcept {
    Py_XSETREF(as_function(function)->annotations, Py_XNewRef(annotations));
}

}  // namespace korbix::rt
