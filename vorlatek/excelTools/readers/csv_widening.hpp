// The second reading of a CSV file whose first line is narrower than a later
// one: pandas takes a table's width from the first line and refuses any wider
// line, yet exports often put a one-field title above the table.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"

namespace xt {

enum class WidenedOutcome {
    read,           // `table` holds the file read as wide as its widest line
    not_widened,    // no width error, or the wider reading failed as well
    next_encoding,  // the wider reading met a decoding error
};

struct WidenedRead {
    WidenedOutcome outcome;
    Ref table;
};

// Called with `first_error`, the exception the plain read of `file_path` in
// `encoding` raised. When it is pandas' "Expected N fields in line L, saw K",
// reads the file again in the same encoding as a table of columns 0..W-1, W
// being its widest line: exactly what pandas makes of a file whose first line
// is the widest. Failures deriving from Exception are answered through the
// outcome; anything else (an interrupt) propagates.
WidenedRead read_as_wide_as_widest_line(PyObject* file_path, PyObject* encoding,
                                        PyObject* first_error);

}  // namespace xt
