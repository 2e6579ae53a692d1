// A cell's style array (openpyxl's StyleArray, an array('i') of nine ints:
// font, fill, border, number format, protection, alignment, style, quote
// prefix, pivot button ids) read or written in place through its buffer,
// the one way every route looks at one.
#pragma once

#include <Python.h>

#include <cstring>

#include "../library_check/lookup.hpp"
#include "openpyxl_layout.hpp"

namespace xt {

class StyleArrayView {
public:
    // `writable` asks for a buffer the view may write. ints() is null when
    // the buffer is not nine C ints, or when it could not be had: an ordinary
    // error is then cleared, an interrupt passed on as PyErrorSet.
    StyleArrayView(PyObject* style, bool writable)
    {
        const int flags = writable ? (PyBUF_WRITABLE | PyBUF_FORMAT) : PyBUF_FORMAT;
        if (PyObject_GetBuffer(style, &view_, flags) < 0) {
            swallow_ordinary_error();
            return;
        }
        held_ = true;
        if (view_.itemsize == static_cast<Py_ssize_t>(sizeof(int)) &&
            view_.len == static_cast<Py_ssize_t>(style_array_length * sizeof(int)) &&
            view_.format != nullptr && std::strcmp(view_.format, "i") == 0) {
            ints_ = static_cast<int*>(view_.buf);
        }
    }
    StyleArrayView(const StyleArrayView&) = delete;
    StyleArrayView& operator=(const StyleArrayView&) = delete;
    ~StyleArrayView()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // The nine ints, or null (see the constructor).
    int* ints() const noexcept { return ints_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    int* ints_ = nullptr;
};

}  // namespace xt
