#include "empty_cell.hpp"

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "collector_pause.hpp"

namespace xt {

Ref place_empty_cell(const CellLayout& layout, PyObject* worksheet, PyObject* cells, PyObject* row,
                     PyObject* column, CollectorPause* pause, PyObject* key)
{
    Ref made = Ref::checked(new_cell(layout, worksheet, row, column, Py_None, names.type_numeric, Py_None));
    Ref own_key = key != nullptr ? Ref::borrow(key) : Ref::checked(PyTuple_Pack(2, row, column));
    check_status(PyDict_SetItem(cells, own_key.get(), made.get()));
    if (pause != nullptr) {
        pause->hold(made.get());
        pause->keep_out(cells);
    }
    return made;
}

}  // namespace xt
