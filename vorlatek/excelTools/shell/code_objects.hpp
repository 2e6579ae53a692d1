// Code objects for the functions' __code__: names, file, first line, argument
// count, flags and local names, for introspection; they hold no instructions.
#pragma once

#include <Python.h>

namespace xt {

// The seven code objects in function-table order, made on the first call and
// kept for the process; nullptr with the error set on failure.
PyObject* const* make_code_objects() noexcept;

}  // namespace xt
