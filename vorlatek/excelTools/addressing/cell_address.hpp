// Cell addressing shared with the module shell.
#pragma once

#include <Python.h>

#include "../core/call_frame.hpp"

namespace xt {

// Remembers the `re` module imported at initialisation and its `match`, so
// parse_cell can tell when the module's `re` is still the genuine one and
// answer natively. Called once the module body has imported `re`.
void remember_genuine_regex(PyObject* re_module) noexcept;

// The bodies of parse_cell and col_str_to_index.
Ref parse_cell_body(CallFrame& frame, const BoundArgs& args);
Ref col_str_to_index_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
