// Cell addressing shared with the module shell.
#pragma once

#include <Python.h>

namespace xt {

// Remembers the `re` module imported at initialisation and its `match`, so
// parse_cell can tell when the module's `re` is still the genuine one and
// answer natively. Called once the module body has imported `re`.
void remember_genuine_regex(PyObject* re_module) noexcept;

}  // namespace xt
