// Looking at a library's objects without running its code: class attributes
// as the method resolution order finds them, slots, and identity pins of
// what a route captured. Shared by every route's layout.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"

namespace xt {

// An interned str made once per call site's need; raises on failure.
Ref interned(const char* text);

// An attribute as the class's method resolution order finds it (no
// metaclass, no instance); borrowed, nullptr when no class defines it.
PyObject* class_attribute(PyTypeObject* type, PyObject* name);

bool text_equals(PyObject* value, const char* expected);

// The class a library module holds under `name` now (whose genuineness the
// route guard vouches for); raises TypeError when it is no class.
Ref library_class(const char* module, const char* name);

// obj.name, or an empty Ref when that raised an ordinary exception.
Ref attribute_or_nothing(PyObject* obj, PyObject* name);

// After a failed C-API call during a check: an ordinary exception only means
// "not as captured" and is cleared, an interrupt or exit request is passed
// on as PyErrorSet.
void swallow_ordinary_error();

// The offset of a writable object slot (a __slots__ entry of `owner`)
// described by `descriptor`.
bool object_slot_offset(PyObject* descriptor, PyTypeObject* owner, Py_ssize_t& offset);

// Something a route captured from a class (through its method resolution
// order) or a module namespace dict, which must stay the very same object
// (or stay absent: `value` nullptr).
struct Pin {
    Ref owner;
    Ref name;
    Ref value;
};

// Pins owner.name and returns what it found (borrowed through the pin).
PyObject* pin(std::vector<Pin>& pins, PyObject* owner, const char* name);
// Every pin still holds; an ordinary error counts as "no".
bool pins_hold(const std::vector<Pin>& pins);
// This pin still holds.
bool pin_holds(const Pin& pin);

inline PyTypeObject* as_type(const Ref& type)
{
    return reinterpret_cast<PyTypeObject*>(type.get());
}

inline PyObject* as_object(PyTypeObject* type)
{
    return reinterpret_cast<PyObject*>(type);
}

// The object slot at `offset` of an instance of a class with that slot.
inline PyObject** slot_at(PyObject* obj, Py_ssize_t offset)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

}  // namespace xt
