// The value-less, unstyled cell worksheet.cell() adds for a missing
// coordinate, made natively and, inside a write, kept out of the collector.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "../libraries/cell_layout.hpp"

namespace xt {

class CollectorPause;

// What worksheet.cell() adds for a coordinate the sheet's `cells` dict lacks:
// a value-less, unstyled cell, stored under `key` (a new (row, column) tuple
// when null: the dict keeps a key of its own). Inside a write (`pause` not
// null) the cell is held and the dict kept out of the collector's sight. The
// caller raises _current_row. Throws PyErrorSet.
Ref place_empty_cell(const CellLayout& layout, PyObject* worksheet, PyObject* cells, PyObject* row,
                     PyObject* column, CollectorPause* pause, PyObject* key = nullptr);

}  // namespace xt
