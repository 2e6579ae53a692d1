// The rows the openpyxl engine of pandas hands to pandas' parser, made from
// a sheet's cells as read natively (workbook/sheet_cells.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "../core/ref.hpp"
#include "../workbook/sheet_cells.hpp"

namespace xt {

// What decides how a cell's value is read, as the workbook gives it.
struct CellReading {
    PyObject* strings = nullptr;            // the shared strings (a list of str)
    std::vector<bool> empty_strings;        // which of them are ""
    std::vector<std::uint8_t> date_styles;  // per style index: 0 number, 1 date, 2 duration
    PyObject* epoch = nullptr;              // the workbook's epoch (a datetime)
    int epoch_kind = -1;                    // sheet::Epoch of a known epoch, else -1
    PyObject* from_excel = nullptr;         // openpyxl's serial number conversion
    PyObject* from_iso8601 = nullptr;       // openpyxl's ISO 8601 reading
    PyObject* nan = nullptr;                // numpy's NaN, the value of an error cell
};

// The columns that can change the result, zero-based; all when unbounded.
struct ColumnSelection {
    bool bounded = false;
    std::vector<bool> selected;  // size: one past the rightmost selected column
};

// The rows pandas' get_sheet_data returns for the sheet, except that when
// the selection is bounded, values outside it are "" and no row is wider
// than the selection needs (nor wider than the widest row). An empty Ref
// without an error when a value is one to leave to the library (a date
// openpyxl would warn about, an ISO date it refuses).
// The sheet::Epoch the epoch object is (1899-12-30 or 1904-01-01 as a plain
// datetime), or -1.
int epoch_kind_of(PyObject* epoch);

Ref sheet_rows(const sheet::Cells& cells, const char* part, const CellReading& reading,
               const ColumnSelection& selection);

}  // namespace xt
