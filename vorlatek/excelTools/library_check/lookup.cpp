// Looking at a library's objects without running its code.
#include "lookup.hpp"

#include <structmember.h>

#include "../core/compat.hpp"
#include "../core/error.hpp"

namespace xt {

void swallow_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw_error_set();
    }
    PyErr_Clear();
}

Ref attribute_or_nothing(PyObject* obj, PyObject* name)
{
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        swallow_ordinary_error();
    }
    return Ref::steal(value);
}

Ref interned(const char* text) { return Ref::checked(PyUnicode_InternFromString(text)); }

PyObject* class_attribute(PyTypeObject* type, PyObject* name)
{
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        PyErr_SetString(PyExc_TypeError, "class without a method resolution order");
        throw_error_set();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (dict == nullptr) {
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr) {
            return found;
        }
        if (PyErr_Occurred()) {
            throw_error_set();
        }
    }
    return nullptr;
}

bool text_equals(PyObject* value, const char* expected)
{
    return value != nullptr && PyUnicode_Check(value) &&
           PyUnicode_CompareWithASCIIString(value, expected) == 0;
}

Ref library_class(const char* module, const char* name)
{
    Ref imported = Ref::checked(PyImport_ImportModule(module));
    Ref found = Ref::checked(PyObject_GetAttrString(imported.get(), name));
    if (!PyType_Check(found.get())) {
        PyErr_SetString(PyExc_TypeError, "not a class");
        throw_error_set();
    }
    return found;
}

bool object_slot_offset(PyObject* descriptor, PyTypeObject* owner, Py_ssize_t& offset)
{
    if (descriptor == nullptr || Py_TYPE(descriptor) != &PyMemberDescr_Type) {
        return false;
    }
    auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
    if (!PyType_IsSubtype(owner, PyDescr_TYPE(member)) || member->d_member->type != T_OBJECT_EX ||
        (member->d_member->flags & READONLY) != 0) {
        return false;
    }
    offset = member->d_member->offset;
    return true;
}

namespace {

// What the pin's owner holds under its name now; borrowed.
PyObject* current_value(PyObject* owner, PyObject* name)
{
    if (PyType_Check(owner)) {
        return class_attribute(reinterpret_cast<PyTypeObject*>(owner), name);
    }
    PyObject* found = PyDict_GetItemWithError(owner, name);
    if (found == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    return found;
}

}  // namespace

PyObject* pin(std::vector<Pin>& pins, PyObject* owner, const char* name)
{
    Pin entry{Ref::borrow(owner), interned(name), Ref()};
    PyObject* value = current_value(owner, entry.name.get());
    entry.value = Ref::borrow(value);
    pins.push_back(std::move(entry));
    return value;
}

bool pin_holds(const Pin& entry)
{
    try {
        return current_value(entry.owner.get(), entry.name.get()) == entry.value.get();
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

bool pins_hold(const std::vector<Pin>& pins)
{
    for (const Pin& entry : pins) {
        if (!pin_holds(entry)) {
            return false;
        }
    }
    return true;
}

}  // namespace xt
