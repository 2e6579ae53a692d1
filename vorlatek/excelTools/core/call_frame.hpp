// What every public function's body receives: its bound arguments and the
// position it has reached, kept for the traceback entry a failure gets.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "ref.hpp"

namespace xt {

// Per-call position in a body, kept for the traceback entry a failure gets.
struct CallFrame {
    int line;
    void at(int source_line) noexcept { line = source_line; }
};

constexpr std::size_t max_params = 6;

// Bound arguments, borrowed, one per declared parameter.
using BoundArgs = std::array<PyObject*, max_params>;

// A body throws PyErrorSet on failure and sets frame.line before each
// statement that may fail.
using Body = Ref (*)(CallFrame& frame, const BoundArgs& args);

// Whether `obj` is this module's function running `body` (the module's
// function type keeps its body; defined with that type).
bool is_module_function(PyObject* obj, Body body) noexcept;

}  // namespace xt
