// openpyxl's and pandas' pieces as the native save route relies on them:
// found once per process, checked to be unchanged whenever the route is
// about to trust them.
//
// The route runs openpyxl's own save code (Workbook.save, save_workbook,
// ExcelWriter.write_worksheet) from copies of those functions whose globals
// differ in one name each: save_workbook finds an ExcelWriter subclass
// whose write_worksheet finds a WorksheetWriter subclass whose write_rows
// is native. Everything else the save does is openpyxl's, unchanged.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"
#include "../library_check/lookup.hpp"
#include "../workbook/sheet_xml.hpp"

namespace xt {

// openpyxl's save pieces the routed copies are made from (each also pinned).
struct SavePieces {
    Ref excel_globals;     // openpyxl.writer.excel's namespace
    Ref workbook_globals;  // openpyxl.workbook.workbook's namespace
    Ref plain_save;        // Workbook.save
    Ref save_workbook;
    Ref excel_writer;      // ExcelWriter
    Ref write_worksheet;   // ExcelWriter.write_worksheet
    Ref zip_file;          // the ZipFile openpyxl.writer.excel holds
};

struct SaveLayout {
    // openpyxl's classes.
    Ref workbook_type;
    Ref worksheet_type;
    Ref cell_type;
    Ref merged_cell_type;
    Ref style_array_type;
    Ref indexed_list_type;
    Ref dimension_holder_type;
    // pandas' openpyxl writer and Timestamp.
    Ref pandas_module;
    Ref pandas_writer_type;
    Ref timestamp_type;

    Ref windows_epoch;
    Ref mac_epoch;
    // The numbers safe_string formats besides int and float: decimal's
    // Decimal and numpy's scalar types, as openpyxl lists them.
    std::vector<Ref> other_numeric_types;

    XmlDialect dialect = XmlDialect::etree;
    // What the route captured, which must stay as it was.
    std::vector<Pin> pins;

    SavePieces save_pieces;

    // The route's own pieces.
    Ref routed_save;         // Workbook.save's code, finding the routed save_workbook
    // The same, its archive copying each sheet's file in large pieces (see
    // archive_class); unset while zipfile's pieces are not as known (looked
    // at again at each save until they are), and used only while
    // archive_pins hold.
    Ref routed_save_large_pieces;
    std::vector<Pin> archive_pins;
    Ref sheet_writer_type;   // WorksheetWriter with the native write_rows
    Ref original_write_rows; // WorksheetWriter.write_rows
    Ref original_write;      // WorksheetWriter.write
    // The sheet's dimension: WorksheetWriter.write_dimensions, the
    // Worksheet.calculate_dimension it calls, the get_column_letter that
    // one reads and the SheetDimension element it makes.
    Ref original_write_dimensions;
    Ref calculate_dimension;
    Ref column_letter;
    Ref sheet_dimension_type;

    // Cell slots (offsets into the objects).
    Py_ssize_t cell_row = 0;
    Py_ssize_t cell_column = 0;
    Py_ssize_t cell_value = 0;
    Py_ssize_t cell_data_type = 0;
    Py_ssize_t cell_hyperlink = 0;
    Py_ssize_t cell_comment = 0;
    Py_ssize_t merged_row = 0;
    Py_ssize_t merged_column = 0;
    Py_ssize_t cell_parent = 0;
    Py_ssize_t merged_parent = 0;
    Py_ssize_t styleable_style = 0;

    // Attribute names.
    Ref ws_name, xf_name, send_name, element_name, write_name, out_name, parent_name,
        row_dimensions_name, cell_styles_name, add_name, epoch_name,
        iso_dates_name, book_name, save_name, sheet_data_name, marker, spool_key,
        modules_name, calculate_dimension_name, to_tree_name;
};

// The layout when openpyxl and pandas are what the route knows, made at
// the first call that finds them so; nullptr otherwise (tried again at the
// next call). Ordinary errors while looking are swallowed; an interrupt
// is passed on as PyErrorSet.
const SaveLayout* save_layout();

// The route guard vouches for the pieces the route reproduces, and every
// pinned piece is as captured. Ordinary errors count as "no"; an
// interrupt is passed on as PyErrorSet.
bool save_layout_holds(const SaveLayout& layout);

// Workbook.save's routed copy to run now: the one with the archive of
// large pieces while its pins hold, the one with zipfile's own otherwise.
PyObject* routed_save_now(const SaveLayout& layout);

}  // namespace xt
