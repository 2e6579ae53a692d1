// Steps the two cell-mapped readers share: the existence test, the empty
// result, the walk over the mapping, the row arithmetic and the handling of a
// caught library exception.
#pragma once

#include <Python.h>

#include "../core/compat.hpp"
#include "../core/ref.hpp"

namespace xt {

// os.path.exists(file_path), taken by truth value; `os` is looked up anew.
bool path_exists(PyObject* file_path);

// pd.DataFrame(), the empty result; `pd` is looked up anew.
Ref empty_frame();

// iter(mapping.items()): the walk a `for name, cell in mapping.items()` loop
// makes, so a mapping that changes size while it is walked raises the
// interpreter's RuntimeError at the next step, as it does for a script.
Ref mapping_items(PyObject* mapping);

// max(0, row - 1): `row` minus one when that is greater than 0, else the int 0.
Ref row_offset(PyObject* row);

// While alive, makes `caught` the exception being handled, as an `except`
// block does: sys.exc_info() names it, and an exception raised meanwhile gets
// it as its __context__. The previously handled exception comes back at the
// end, whether the handler finished or raised.
class HandlingScope {
public:
    explicit HandlingScope(const PendingError& caught) noexcept;
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    ~HandlingScope();

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

}  // namespace xt
