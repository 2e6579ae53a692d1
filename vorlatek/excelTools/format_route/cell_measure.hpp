// One cell of the width pass, shared by the ordinary and the direct route;
// they differ only in how the cell's value is read.
#pragma once

#include <Python.h>

namespace xt {

// Under a guard that swallows every exception, interrupts included:
//     try:
//         if cell.value:
//             if len(str(cell.value)) > max_length:
//                 max_length = len(str(cell.value))
//     except:
//         pass
// `read_value()` returns a new reference to the cell's value, or nullptr with
// the error set; it is called anew for each of the three uses.
template <class ReadValue>
void measure_value(ReadValue read_value, Py_ssize_t& max_length) noexcept
{
    auto text_length = [&read_value]() -> Py_ssize_t {
        PyObject* value = read_value();
        if (value == nullptr) {
            return -1;
        }
        PyObject* text = PyObject_Str(value);
        Py_DECREF(value);
        if (text == nullptr) {
            return -1;
        }
        const Py_ssize_t length = PyObject_Size(text);
        Py_DECREF(text);
        return length;
    };

    PyObject* value = read_value();
    if (value == nullptr) {
        PyErr_Clear();
        return;
    }
    const int truth = PyObject_IsTrue(value);
    Py_DECREF(value);
    if (truth <= 0) {
        if (truth < 0) {
            PyErr_Clear();
        }
        return;
    }
    const Py_ssize_t compared = text_length();
    if (compared < 0) {
        PyErr_Clear();
        return;
    }
    if (compared > max_length) {
        const Py_ssize_t assigned = text_length();
        if (assigned < 0) {
            PyErr_Clear();
            return;
        }
        max_length = assigned;
    }
}

}  // namespace xt
