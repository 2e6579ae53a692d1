// The bridge between C++ control flow and the interpreter's error indicator.
#pragma once

#include <Python.h>

#include <new>

namespace xt {

// Thrown when a C-API call failed and the Python error is already set. It is
// deliberately not derived from std::exception so no generic handler can
// swallow it by accident.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

// For C-API calls that report failure with -1.
inline int check_status(int status)
{
    if (status < 0) {
        throw_error_set();
    }
    return status;
}

// Runs `body` and turns every C++ exception into a Python error, so nothing
// C++ ever crosses into the interpreter. `failure` is what the slot returns
// on error (nullptr or -1).
template <class Result, class Body>
Result translate_exceptions(Result failure, Body&& body) noexcept
{
    try {
        return body();
    }
    catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError,
                            "vorlatek.excelTools: error reported without an exception set");
        }
    }
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    catch (...) {
        PyErr_SetString(PyExc_SystemError, "vorlatek.excelTools: unexpected C++ exception");
    }
    return failure;
}

}  // namespace xt
