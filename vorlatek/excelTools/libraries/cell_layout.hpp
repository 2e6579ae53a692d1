// openpyxl's pieces as the native placement of a frame's body relies on
// them: how worksheet.cell() makes a cell, what Cell.__init__ leaves in its
// slots and how the value setter classifies a value. Found once per process
// and checked to be unchanged whenever a body is about to be placed.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"
#include "openpyxl_layout.hpp"

namespace xt {

struct CellLayout {
    const OpenpyxlLayout* openpyxl = nullptr;  // cell type, style array, shared slots

    // Cell slots besides _value, parent and _style.
    Py_ssize_t row_offset = 0;
    Py_ssize_t column_offset = 0;
    Py_ssize_t data_type_offset = 0;
    Py_ssize_t hyperlink_offset = 0;
    Py_ssize_t comment_offset = 0;
    // The style array's position of numFmtId.
    Py_ssize_t number_format_position = 3;

    std::vector<Pin> pins;

    // openpyxl.cell.cell's globals the value setter reads, and what they held.
    Ref cell_module_globals;
    Ref types_name;        // "_TYPES"
    Ref error_codes_name;  // "ERROR_CODES"
    Ref illegal_name;      // "ILLEGAL_CHARACTERS_RE"
    Ref error_codes;       // the tuple of error texts
    Ref illegal_pattern;   // the pattern object
    Ref illegal_text;      // its pattern text
};

// The layout when the route guard vouches for openpyxl's pieces and they
// are laid out as at the first use; nullptr otherwise. Failed
// checks are silent; an interrupt is passed on as PyErrorSet.
const CellLayout* cell_layout_if_unchanged();

// Longest text a cell keeps; the value setter cuts longer ones.
constexpr Py_ssize_t max_cell_text = 32767;

// The data type the value setter gives the exact str `text`, or nullptr when
// the setter would change or refuse it (longer than a cell keeps, or holding
// a character worksheets cannot hold): "f" for a formula ("=" and more),
// "e" for an error code, otherwise "s". Borrowed.
PyObject* text_data_type(const CellLayout& layout, PyObject* text);

// A new cell of openpyxl's Cell class, as Cell(worksheet, row=row,
// column=column) followed by the value setter makes it, with `value` and
// `data_type` already decided and `style` (None or a style array) in place.
// Steals nothing; nullptr with the error set on failure.
PyObject* new_cell(const CellLayout& layout, PyObject* worksheet, PyObject* row,
                   PyObject* column, PyObject* value, PyObject* data_type, PyObject* style);

}  // namespace xt
