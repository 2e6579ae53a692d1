// Small checked wrappers over the C API. Each returns an owned Ref or a plain
// value and throws PyErrorSet when the interpreter reported an error.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

#include "ref.hpp"

namespace xt {

// The module namespace, set once the module's exec step has it; borrowed.
PyObject* module_globals() noexcept;
void set_module_globals(PyObject* globals) noexcept;

// The interpreter's built-in min(), bound once at initialisation; borrowed.
PyObject* builtin_min_function() noexcept;

// Looks `name` up in the module namespace, then in the builtins, as a script
// would; NameError "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject* name);

Ref get_attr(PyObject* obj, PyObject* name);
void set_attr(PyObject* obj, PyObject* name, PyObject* value);
Ref get_item(PyObject* obj, PyObject* key);
void set_item(PyObject* obj, PyObject* key, PyObject* value);
bool contains(PyObject* container, PyObject* item);
bool is_true(PyObject* obj);
// True when `value` is an exact int that fits a long long, stored in `out`.
bool exact_long_long(PyObject* value, long long& out);

// Positional call.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);

struct Keyword {
    PyObject* name;
    PyObject* value;
};
// Call with positional arguments followed by keywords, passed in the order
// given (callees see them in that order).
Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords);

// obj.name(*args), looked up as an ordinary attribute.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {});

// The text of a value as f"{value}" gives it: an exact str stays itself.
Ref text_of(PyObject* value);
// Concatenation of texts.
Ref concat(std::initializer_list<PyObject*> pieces);
Ref text(const char* utf8);

Ref new_list();
void list_append(PyObject* list, PyObject* item);
Ref new_dict();

// Next item of an iterator; an empty Ref at the end.
Ref next_item(PyObject* iterator);
Ref get_iter(PyObject* iterable);

// Unpacks an iterable into exactly two values, like `a, b = value`.
std::pair<Ref, Ref> unpack_pair(PyObject* value);

// Calls the logger method `level` of the module global `log` with the text.
void log_message(PyObject* level, PyObject* message);

}  // namespace xt
