// Argument binding shared by all seven functions: counts, keywords, defaults,
// the truth reduction and the exact-type tests, with their fixed messages.
#include <Python.h>

#include "../core/error.hpp"
#include "function_type.hpp"
#include "traceback.hpp"

namespace xt {

namespace {

void raise_count_error(const FunctionSpec& spec, const char* bound_word, std::size_t expected,
                       Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound_word, static_cast<Py_ssize_t>(expected),
                 expected == 1 ? "" : "s", given);
}

bool has_fixed_arity(const FunctionSpec& spec) { return spec.param_count == spec.required_count; }

Py_ssize_t find_param(const FunctionSpec& spec, PyObject* keyword)
{
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, spec.params[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

void fill_defaults(const FunctionSpec& spec, std::size_t from, BoundArgs& bound)
{
    for (std::size_t i = from; i < spec.param_count; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = *spec.params[i].default_value;
        }
    }
}

// Binds positional and keyword arguments to the declared parameters. Returns
// false with TypeError set when the call does not fit the signature.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound)
{
    const auto param_count = static_cast<Py_ssize_t>(spec.param_count);
    const auto required_count = static_cast<Py_ssize_t>(spec.required_count);
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    if (keyword_count == 0) {
        if (nargs < required_count || nargs > param_count) {
            if (has_fixed_arity(spec)) {
                raise_count_error(spec, "exactly", spec.param_count, nargs);
            }
            else if (nargs < required_count) {
                raise_count_error(spec, "at least", spec.required_count, nargs);
            }
            else {
                raise_count_error(spec, "at most", spec.param_count, nargs);
            }
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            bound[static_cast<std::size_t>(i)] = args[i];
        }
        fill_defaults(spec, static_cast<std::size_t>(nargs), bound);
        return true;
    }

    if (nargs > param_count) {
        raise_count_error(spec, has_fixed_arity(spec) ? "exactly" : "at most", spec.param_count,
                          nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        const Py_ssize_t index = find_param(spec, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, keyword);
            return false;
        }
        PyObject*& slot = bound[static_cast<std::size_t>(index)];
        if (slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, keyword);
            return false;
        }
        slot = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < required_count; ++i) {
        if (bound[static_cast<std::size_t>(i)] == nullptr) {
            raise_count_error(spec, has_fixed_arity(spec) ? "exactly" : "at least",
                              spec.required_count, i);
            return false;
        }
    }
    fill_defaults(spec, static_cast<std::size_t>(nargs), bound);
    return true;
}

// Replaces truth-tested arguments by True or False. Returns false with the
// truth test's own exception set.
bool reduce_truth_args(const FunctionSpec& spec, BoundArgs& bound)
{
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        if (spec.params[i].check != ArgCheck::truth) {
            continue;
        }
        PyObject* value = bound[i];
        int truth = 0;
        if (value == Py_True) {
            truth = 1;
        }
        else if (value != Py_False && value != Py_None) {
            truth = PyObject_IsTrue(value);
            if (truth < 0) {
                return false;
            }
        }
        bound[i] = truth != 0 ? Py_True : Py_False;
    }
    return true;
}

PyTypeObject* expected_type(ArgCheck check)
{
    switch (check) {
    case ArgCheck::exact_str:
        return &PyUnicode_Type;
    case ArgCheck::exact_dict:
        return &PyDict_Type;
    case ArgCheck::list_or_none:
        return &PyList_Type;
    case ArgCheck::exact_tuple:
        return &PyTuple_Type;
    case ArgCheck::any:
    case ArgCheck::truth:
        break;
    }
    return nullptr;
}

void raise_type_error(const ParamSpec& param, PyTypeObject* expected, PyObject* value)
{
    const bool is_subclass = PyObject_TypeCheck(value, expected) != 0;
    PyObject* note = PyUnicode_FromString(
        is_subclass ? "Subclasses of builtin types are refused for this parameter, which is "
                      "stricter than PEP 484 asks."
                    : "");
    if (note == nullptr) {
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 param.name, expected->tp_name, Py_TYPE(value)->tp_name, is_subclass ? ". " : "",
                 note);
    Py_DECREF(note);
}

// Exact-type tests in declaration order. Returns false with TypeError set.
bool check_arg_types(const FunctionSpec& spec, const BoundArgs& bound)
{
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        const ParamSpec& param = spec.params[i];
        PyTypeObject* expected = expected_type(param.check);
        if (expected == nullptr) {
            continue;
        }
        PyObject* value = bound[i];
        if (Py_TYPE(value) == expected ||
            (param.check == ArgCheck::list_or_none && value == Py_None)) {
            continue;
        }
        raise_type_error(param, expected, value);
        return false;
    }
    return true;
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    const FunctionSpec& spec = *reinterpret_cast<FunctionObject*>(callable)->spec;
    BoundArgs bound{};
    if (!bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound) ||
        !reduce_truth_args(spec, bound)) {
        add_traceback_entry(spec.qualified_name, spec.first_line);
        return nullptr;
    }
    // A failed type test is reported from the caller's own line only.
    if (!check_arg_types(spec, bound)) {
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" in a vorlatek.excelTools function") != 0) {
        add_traceback_entry(spec.qualified_name, spec.first_line);
        return nullptr;
    }
    CallFrame frame{spec.first_line};
    PyObject* result = translate_exceptions<PyObject*>(
        nullptr, [&] { return spec.body(frame, bound).release(); });
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        add_traceback_entry(spec.qualified_name, frame.line);
    }
    return result;
}

}  // namespace xt
