// The native reading route of read_excel_by_cells.
//
// The read stays pandas' own: pd.read_excel with the reader's arguments, on
// an ExcelFile of pandas whose openpyxl engine is pandas' OpenpyxlReader with
// two methods replaced. Its load_workbook builds the very workbook openpyxl's
// read-only, data-only load builds, by openpyxl's own part readers, except
// for the shared strings and the worksheets' sizes, which are read natively.
// Its get_sheet_data parses the sheet's cells natively into exactly the rows
// the openpyxl engine hands to pandas' parser, limited to what can change the
// result: the selected columns (the others left empty) and the rows up to the
// last one holding a value. pandas chooses the engine, parses the rows, names
// the columns and reports every failure as it always does.
//
// The route is taken only when the module's `pd` is pandas itself, its
// read_excel and ExcelFile are pandas' own, the openpyxl engine and the
// openpyxl pieces it reproduces are the originals of the versions whose
// behaviour it reproduces. Any part of a file it does not reproduce exactly
// is left to openpyxl: the shared strings to openpyxl's string table reader,
// a worksheet size to openpyxl's worksheet, a sheet's cells to the engine's
// own get_sheet_data, the whole workbook to openpyxl's load_workbook.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "../core/route_outcome.hpp"

namespace xt {

// Reads the workbook as pd.read_excel(file_path, usecols=use_cols,
// skiprows=skip_rows, header=None, names=read_names) does; `columns` are the
// zero-based sheet columns `use_cols` selects. Returns nothing, having done
// nothing, when the route is not to be taken; exceptions are the read's.
RoutedResult read_excel_natively(PyObject* file_path, PyObject* use_cols, PyObject* skip_rows,
                                 PyObject* read_names, PyObject* columns);

// The engine's methods (excel_native_book.cpp).
PyObject* native_load_workbook(PyObject* self, PyObject* args) noexcept;
PyObject* native_get_sheet_data(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// The pieces of pandas and openpyxl the route stands in for, looked up anew
// and checked at each read (excel_native_route.cpp).
struct RouteLibraries {
    Ref openpyxl_reader;    // pandas' OpenpyxlReader
    Ref reader_excel;       // openpyxl.reader.excel, whose names load_workbook uses
    Ref read_only;          // openpyxl.worksheet._read_only
    Ref sheet_reader;       // openpyxl.worksheet._reader
    Ref numpy_nan;
};
bool route_libraries(RouteLibraries& libraries);

}  // namespace xt
