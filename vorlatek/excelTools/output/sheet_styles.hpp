// The pieces of format_excel_sheet: the shared style objects and the two
// passes over a worksheet.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "../shell/function_table.hpp"

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

// Styling pass over worksheet.iter_rows(): cells holding None stay
// untouched; the first row yielded gets the header font and fill, the
// others the body font; all get the alignment and the border.
void style_cells_generic(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles);

// Width pass over worksheet.columns: width = longest text + 3 per column.
void set_column_widths_generic(CallFrame& frame, PyObject* worksheet);

}  // namespace xt
