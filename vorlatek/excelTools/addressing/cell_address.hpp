// Cell addressing shared with the module shell.
#pragma once

#include <Python.h>

#include "../core/call_frame.hpp"

namespace xt {

// Remembers the `re` module imported at initialisation and its `match`, so
// parse_cell can tell when the module's `re` is still the genuine one and
// answer natively. Called once the module body has imported `re`. When the
// lookup of `match` fails with an ordinary exception nothing is remembered
// (parse_cell then always calls re.match); an interrupt or exit request
// raised by it is passed on as PyErrorSet.
void remember_genuine_regex(PyObject* re_module);

// The bodies of parse_cell and col_str_to_index.
Ref parse_cell_body(CallFrame& frame, const BoundArgs& args);
Ref col_str_to_index_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
