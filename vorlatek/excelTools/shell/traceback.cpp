#include "traceback.hpp"

#include <Python.h>
#include <frameobject.h>

#include "../core/compat.hpp"
#include "../core/pyapi.hpp"

namespace xt {

void add_traceback_entry(const char* function, int line) noexcept
{
    PyObject* globals = module_globals();
    if (!PyErr_Occurred() || globals == nullptr) {
        return;
    }
    PyFrameObject* frame = nullptr;
    {
        // Making the code object and frame must not disturb the exception.
        PendingError pending;
        // An empty code object whose first line is `line`: every interpreter
        // version reports that line for a frame that has executed nothing.
        PyCodeObject* code = PyCode_NewEmpty("vorlatek/excelTools", function, line);
        if (code != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            Py_DECREF(code);
        }
        pending.restore();
    }
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace xt
