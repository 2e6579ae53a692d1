// Whether one format_excel_sheet call may take the direct route: the
// worksheet, the module's style bindings and the five style objects are all
// openpyxl's own, and the layout still holds.
#pragma once

#include <Python.h>

#include "../libraries/openpyxl_layout.hpp"
#include "sheet_styles.hpp"

namespace xt {

// The layout when `worksheet` and `styles` qualify for the direct route: the
// route guard vouches for openpyxl's pieces, the worksheet is of openpyxl's
// Worksheet class, the module's style classes and get_column_letter are
// openpyxl's, the five style objects are their instances, and the pinned
// pieces are unchanged; nullptr otherwise. Failed
// checks are silent; only an exception that does not derive from Exception
// (an interrupt arriving while openpyxl code runs) is passed on as
// PyErrorSet.
const OpenpyxlLayout* direct_layout_for(PyObject* worksheet, const SheetStyles& styles);

}  // namespace xt
