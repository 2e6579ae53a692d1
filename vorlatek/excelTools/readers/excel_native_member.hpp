// What the two methods of the route's openpyxl engine share: module
// globals looked up as the library's code looks them up, and archive
// members read a chunk at a time.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../workbook/xml_scanner.hpp"

namespace xt::native_engine {


// Rows beyond Excel's last row are left to the library.
inline constexpr std::int64_t max_sheet_row = 1048576;
// How much of a worksheet part is read at a time to find its size, and to
// read its cells.
inline constexpr Py_ssize_t dimension_probe = 64 * 1024;
inline constexpr Py_ssize_t sheet_chunk = 1024 * 1024;

inline Ref global_of(PyObject* module, PyObject* name)
{
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        throw_error_set();
    }
    return Ref::borrow(value);
}

// After a close that failed while `earlier` waited (it may hold nothing),
// as leaving a `with` block over the member would: an ordinary error of the
// close is dropped and `earlier` is pending again; an interrupt (anything
// not derived from Exception) raised by the close stays pending instead,
// with `earlier` as its __context__.
inline void settle_failed_close(PendingError& earlier) noexcept
{
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        earlier.restore();
        return;
    }
    if (earlier.value() != nullptr) {
        PendingError interrupt;
        if (interrupt.value() != nullptr && interrupt.value() != earlier.value()) {
            Py_INCREF(earlier.value());
            PyException_SetContext(interrupt.value(), earlier.value());
        }
        interrupt.restore();
    }
}

inline std::string_view bytes_view(PyObject* bytes)
{
    return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// An archive member read a chunk at a time through the archive's own
// stream (zipfile's decompression), so that the whole member is never held.
class MemberSource : public xml::Source {
public:
    MemberSource(PyObject* archive, PyObject* path, Py_ssize_t chunk) : chunk_(chunk)
    {
        stream_ = call_method(archive, names.open, {path});
    }
    MemberSource(const MemberSource&) = delete;
    MemberSource& operator=(const MemberSource&) = delete;
    // Closes the stream. An interrupt during the close is left pending (for
    // pass_on_interrupt), whatever was pending before; any other failure of
    // it is dropped.
    ~MemberSource() override
    {
        if (stream_) {
            PendingError pending;
            Ref closed = Ref::steal(PyObject_CallMethodObjArgs(stream_.get(), names.close, nullptr));
            if (!closed) {
                settle_failed_close(pending);
                return;
            }
            pending.restore();
        }
    }

    bool more(std::string& buffer, bool& finished) override
    {
        Ref size = Ref::steal(PyLong_FromSsize_t(chunk_));
        Ref piece = size ? Ref::steal(PyObject_CallMethodObjArgs(stream_.get(), names.read, size.get(), nullptr))
                         : Ref();
        if (!piece || !PyBytes_CheckExact(piece.get())) {
            // What went wrong is the library's to report, when it reads the
            // member itself; an interrupt stays pending.
            if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) {
                PyErr_Clear();
            }
            return false;
        }
        if (PyBytes_GET_SIZE(piece.get()) == 0) {
            finished = true;
            return true;
        }
        buffer.append(bytes_view(piece.get()));
        return true;
    }

private:
    Ref stream_;
    Py_ssize_t chunk_;
};

// A pending interrupt (anything not derived from Exception) that stopped a
// native reading goes on to the caller.
inline void pass_on_interrupt()
{
    if (PyErr_Occurred()) {
        throw_error_set();
    }
}

}  // namespace xt::native_engine
