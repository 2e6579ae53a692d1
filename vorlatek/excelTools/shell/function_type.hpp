// The module's function type: callable through vectorcall, introspectable like
// a Python function (so inspect.signature works), pickled by reference.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "function_table.hpp"

namespace xt {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // what introspection reports; calls use the spec's constants
    PyObject* kwdefaults;
    PyObject* annotations;  // nullptr until read or set
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

extern PyTypeObject function_type;

// Readies the static type once per process.
bool ready_function_type() noexcept;

// A new function object for `spec`, with the module namespace as globals.
Ref new_function(const FunctionSpec& spec, PyObject* code, PyObject* globals);

// Introspection values attached while the module body runs.
void set_function_defaults(PyObject* function, PyObject* defaults);
void set_function_annotations(PyObject* function, PyObject* annotations);

// The vectorcall entry point (argument binding lives in call_binding.cpp).
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept;

}  // namespace xt
