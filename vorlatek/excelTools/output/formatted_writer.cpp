#include <Python.h>

#include "../shell/bodies.hpp"

namespace xt {

Ref write_formatted_excel_body(CallFrame&, const BoundArgs&)
{
    PyErr_SetString(PyExc_NotImplementedError, "write_formatted_excel is not available yet");
    throw_error_set();
}

}  // namespace xt
