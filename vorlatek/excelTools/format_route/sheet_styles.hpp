// The pieces of format_excel_sheet: the shared style objects and the two
// passes over a worksheet.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "../core/call_frame.hpp"

namespace xt {

// The five style objects of one call, made once and shared by every cell
// that receives them.
struct SheetStyles {
    Ref header_font;
    Ref header_fill;
    Ref cell_font;
    Ref center_aligned;
    Ref thin_border;
};

// Calls Font, PatternFill, Font, Alignment, four times Side and Border, as
// found in the module namespace now.
SheetStyles make_sheet_styles(CallFrame& frame);

struct OpenpyxlLayout;

// One cell of the styling pass through the public attributes: a cell holding
// None stays untouched; otherwise the header font and fill (first row) or
// the body font, then the alignment and the border.
void style_cell_generic(CallFrame& frame, PyObject* cell, bool header_row,
                        const SheetStyles& styles);

// One cell of the width pass through its public `value` attribute.
void measure_cell_generic(PyObject* cell, Py_ssize_t& max_length) noexcept;

// worksheet.column_dimensions[col_letter].width = max_length + 3
void set_column_width(CallFrame& frame, PyObject* worksheet, PyObject* col_letter,
                      Py_ssize_t max_length);

// Styling pass over worksheet.iter_rows(). With a layout, cells of
// openpyxl's own Cell class take the direct route, all others the public
// attributes.
void style_cells(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                 const OpenpyxlLayout* layout);

// Width pass over worksheet.columns: width = longest text + 3 per column.
// With a layout, values of openpyxl's own cells are read from their slot.
void set_column_widths(CallFrame& frame, PyObject* worksheet, const OpenpyxlLayout* layout);

}  // namespace xt
