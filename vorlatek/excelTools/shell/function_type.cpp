#include "function_type.hpp"

#include <cstddef>
#include <structmember.h>

#include "../core/compat.hpp"
#include "../core/names.hpp"

namespace xt {

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* new_ref_or_none(PyObject* value)
{
    PyObject* result = value != nullptr ? value : Py_None;
    Py_INCREF(result);
    return result;
}

// Replaces *slot with a new reference to value (None when value is null).
void replace_slot(PyObject** slot, PyObject* value)
{
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
}

int set_text_attr(PyObject** slot, PyObject* value, const char* message)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace_slot(slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text_attr(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*)
{
    return new_ref_or_none(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text_attr(&as_function(self)->qualname, value,
                         "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) { return new_ref_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*)
{
    replace_slot(&as_function(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return new_ref_or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*)
{
    replace_slot(&as_function(self)->module, value != nullptr ? value : Py_None);
    return 0;
}

// Defaults used in calls are fixed constants of the call interface, so an
// assignment only changes what introspection shows; say so.
int warn_defaults_unused(const char* attribute)
{
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changes to %s do not affect the values used in calls of "
                            "vorlatek.excelTools functions",
                            attribute);
}

PyObject* get_defaults(PyObject* self, void*)
{
    return new_ref_or_none(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_defaults_unused("__defaults__") < 0) {
        return -1;
    }
    replace_slot(&as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*)
{
    return new_ref_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_defaults_unused("__kwdefaults__") < 0) {
        return -1;
    }
    replace_slot(&as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*)
{
    FunctionObject* fn = as_function(self);
    if (fn->annotations == nullptr) {
        fn->annotations = PyDict_New();
        if (fn->annotations == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(fn->annotations);
    return fn->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None || value == nullptr) {
        Py_CLEAR(as_function(self)->annotations);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_slot(&as_function(self)->annotations, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return new_ref_or_none(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return new_ref_or_none(as_function(self)->code); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickling by reference: the qualified name, looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return new_ref_or_none(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<excelTools function %S at %p>", as_function(self)->qualname, self);
}

// Stored as a class attribute, a function binds like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    FunctionObject* fn = as_function(self);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->code);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self)
{
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

}  // namespace

// A static type: on 3.8 only static types may use vectorcall.
PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vorlatek.excelTools.excelTools_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_itemsize = 0,
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | XT_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = nullptr,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

bool ready_function_type() noexcept { return PyType_Ready(&function_type) == 0; }

Ref new_function(const FunctionSpec& spec, PyObject* code, PyObject* globals)
{
    Ref name = Ref::checked(PyUnicode_InternFromString(spec.name));
    Ref doc = Ref::checked(PyUnicode_FromString(spec.doc));
    FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
    if (fn == nullptr) {
        throw_error_set();
    }
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->qualname = name.dup().release();
    fn->name = name.release();
    Py_INCREF(names.module_name);
    fn->module = names.module_name;
    fn->doc = doc.release();
    Py_INCREF(Py_None);
    fn->defaults = Py_None;
    Py_INCREF(Py_None);
    fn->kwdefaults = Py_None;
    fn->annotations = nullptr;
    Py_INCREF(globals);
    fn->globals = globals;
    Py_INCREF(code);
    fn->code = code;
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

void set_function_defaults(PyObject* function, PyObject* defaults)
{
    replace_slot(&as_function(function)->defaults, defaults);
}

void set_function_annotations(PyObject* function, PyObject* annotations)
{
    replace_slot(&as_function(function)->annotations, annotations);
}

bool is_module_function(PyObject* obj, Body body) noexcept
{
    return Py_TYPE(obj) == &function_type &&
           reinterpret_cast<FunctionObject*>(obj)->spec->body == body;
}

}  // namespace xt
