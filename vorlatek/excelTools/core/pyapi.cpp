#include "pyapi.hpp"

#include <vector>

#include "compat.hpp"
#include "names.hpp"

namespace xt {

namespace {
PyObject* globals_dict = nullptr;  // strong, held for the life of the process
}

PyObject* module_globals() noexcept { return globals_dict; }

void set_module_globals(PyObject* globals) noexcept
{
    Py_XINCREF(globals);
    Py_XSETREF(globals_dict, globals);
}

Ref lookup_global(PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(globals_dict, name);
    if (found != nullptr) {
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) {
        throw_error_set();
    }
    // The builtins come from the namespace's own __builtins__ entry, which may
    // be the builtins module or its dict, as for any Python module.
    PyObject* builtins = PyDict_GetItemWithError(globals_dict, names.dunder_builtins);
    if (builtins == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    if (builtins != nullptr) {
        Ref value;
        if (PyDict_Check(builtins)) {
            PyObject* item = PyDict_GetItemWithError(builtins, name);
            if (item == nullptr && PyErr_Occurred()) {
                throw_error_set();
            }
            value = Ref::borrow(item);
        }
        else {
            value = Ref::steal(PyObject_GetAttr(builtins, name));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                    throw_error_set();
                }
                PyErr_Clear();
            }
        }
        if (value) {
            return value;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error_set();
}

Ref get_attr(PyObject* obj, PyObject* name) { return Ref::checked(PyObject_GetAttr(obj, name)); }

void set_attr(PyObject* obj, PyObject* name, PyObject* value)
{
    check_status(PyObject_SetAttr(obj, name, value));
}

Ref get_item(PyObject* obj, PyObject* key) { return Ref::checked(PyObject_GetItem(obj, key)); }

void set_item(PyObject* obj, PyObject* key, PyObject* value)
{
    check_status(PyObject_SetItem(obj, key, value));
}

bool contains(PyObject* container, PyObject* item)
{
    return check_status(PySequence_Contains(container, item)) == 1;
}

bool exact_long_long(PyObject* value, long long& out)
{
    if (value == nullptr || !PyLong_CheckExact(value)) {
        return false;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        throw_error_set();
    }
    return overflow == 0;
}

bool is_true(PyObject* obj)
{
    if (obj == Py_True) {
        return true;
    }
    if (obj == Py_False || obj == Py_None) {
        return false;
    }
    return check_status(PyObject_IsTrue(obj)) == 1;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args)
{
    // One spare slot in front lets the callee reuse the array for a bound
    // method call (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + 1);
    stack.push_back(nullptr);
    stack.insert(stack.end(), args.begin(), args.end());
    return Ref::checked(XT_Vectorcall(callable, stack.data() + 1,
                                      args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords)
{
    Ref kwnames = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + keywords.size() + 1);
    stack.push_back(nullptr);
    stack.insert(stack.end(), args.begin(), args.end());
    Py_ssize_t i = 0;
    for (const Keyword& kw : keywords) {
        Py_INCREF(kw.name);
        PyTuple_SET_ITEM(kwnames.get(), i++, kw.name);
        stack.push_back(kw.value);
    }
    return Ref::checked(XT_Vectorcall(callable, stack.data() + 1,
                                      args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames.get()));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args)
{
    Ref method = get_attr(obj, name);
    return call(method.get(), args);
}

Ref text_of(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    return Ref::checked(PyObject_Format(value, names.empty_text));
}

Ref concat(std::initializer_list<PyObject*> pieces)
{
    Ref parts = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        Py_INCREF(piece);
        PyTuple_SET_ITEM(parts.get(), i++, piece);
    }
    return Ref::checked(PyUnicode_Join(names.empty_text, parts.get()));
}

Ref text(const char* utf8) { return Ref::checked(PyUnicode_FromString(utf8)); }

Ref new_list() { return Ref::checked(PyList_New(0)); }

void list_append(PyObject* list, PyObject* item) { check_status(PyList_Append(list, item)); }

Ref new_dict() { return Ref::checked(PyDict_New()); }

Ref get_iter(PyObject* iterable) { return Ref::checked(PyObject_GetIter(iterable)); }

Ref next_item(PyObject* iterator)
{
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) {
        throw_error_set();
    }
    return item;
}

std::pair<Ref, Ref> unpack_pair(PyObject* value)
{
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        return {Ref::borrow(PyTuple_GET_ITEM(value, 0)), Ref::borrow(PyTuple_GET_ITEM(value, 1))};
    }
    Ref it = get_iter(value);
    Ref first = next_item(it.get());
    Ref second = first ? next_item(it.get()) : Ref();
    if (!second) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                     first ? 1 : 0);
        throw_error_set();
    }
    if (Ref extra = next_item(it.get())) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error_set();
    }
    return {std::move(first), std::move(second)};
}

void log_message(PyObject* level, PyObject* message)
{
    Ref logger = lookup_global(names.log);
    Ref method = get_attr(logger.get(), level);
    call(method.get(), {message});
}

}  // namespace xt
