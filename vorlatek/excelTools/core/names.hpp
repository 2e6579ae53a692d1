// Interned strings used as attribute names, keywords and constant texts.
// They are made once, at the first initialisation, and live for the process.
#pragma once

#include <Python.h>

// X(identifier) is the text of the identifier itself; T(identifier, "text")
// names any other text.
#define XT_NAMES(X, T)                                                                 \
    /* module shell */                                                                 \
    X(os) X(re) X(pd) X(pandas) X(logging) X(log) X(getLogger) X(min) X(enumerate)    \
    X(Font) X(PatternFill) X(Alignment) X(Border) X(Side) X(get_column_letter)        \
    T(dunder_name, "__name__") T(dunder_builtins, "__builtins__")                     \
    T(dunder_test, "__test__") T(dunder_loader, "__loader__")                         \
    T(dunder_file, "__file__") T(dunder_package, "__package__")                       \
    T(dunder_path, "__path__") T(openpyxl_styles, "openpyxl.styles")                  \
    T(openpyxl_utils, "openpyxl.utils") T(builtins, "builtins")                       \
    T(module_name, "vorlatek.excelTools") X(name) X(loader) X(origin) X(parent)       \
    X(submodule_search_locations) T(empty_text, "") T(dot, ".")                            \
    /* function names */                                                              \
    X(parse_cell) X(read_excel_by_cells) X(col_str_to_index) X(read_csv_by_cells)     \
    X(merge_exact_match) X(format_excel_sheet) X(write_formatted_excel)               \
    /* cell addressing */                                                             \
    X(match) X(group) X(upper) T(cell_pattern, "([A-Za-z]+)(\\d+)")                   \
    /* readers */                                                                     \
    X(path) X(exists) X(warning) X(error) X(read_excel) X(read_csv) X(usecols)        \
    X(skiprows) X(header) X(names) X(dropna) X(how) T(all, "all") X(DataFrame)        \
    T(excel_not_found, "Excel file not found: ")                                      \
    T(excel_invalid_cell, "Invalid cell format: ") T(for_column, " for column ")      \
    T(no_valid_columns, "No valid columns parsed for Excel reading.")                 \
    T(excel_read_error, "Error reading excel file ") T(colon_blank, ": ")             \
    T(csv_not_found, "CSV file not found: ") T(csv_read_error, "Error reading CSV file ") \
    T(with_blanks, " with ") T(csv_unreadable, "Failed to read CSV or file is empty: ") \
    T(csv_invalid_cell, "Invalid cell format '") T(quote_for_column, "' for column ") \
    T(column_quote, "Column '") T(quote_out_of_bounds, "' out of bounds for ")        \
    T(in_blanks, " in ")                                                              \
    X(ParserError) X(open) X(newline) X(read)                                         \
    X(encoding) X(dtype) X(empty) X(columns) X(iloc) X(reset_index) X(drop) X(items)  \
    T(utf_8_sig, "utf-8-sig") X(cp932) X(cp950) T(utf_8, "utf-8") T(comma, ",")       \
    /* merge */                                                                       \
    X(copy) X(astype) T(str_accessor, "str") X(strip) X(to_numeric) X(errors)         \
    X(coerce) X(groupby) X(cumcount) X(merge) X(on) X(suffixes)          \
    X(MATCH_IDX) X(inner) T(suffix_x, "_x") T(suffix_y, "_y")                         \
    T(merge_frames_missing, "One of the DataFrames is missing or empty. Cannot merge.")  \
    T(merge_no_keys, "No merge keys provided.")                                       \
    T(merge_left_missing, "Missing merge keys. Left missing: ")                       \
    T(merge_right_missing, ", Right missing: ")                                       \
    /* workbook output */                                                             \
    X(bold) X(color) X(size) X(start_color) X(end_color) X(fill_type) X(horizontal)   \
    X(vertical) X(left) X(right) X(top) X(bottom) X(style) X(Arial)                   \
    T(white, "FFFFFF") T(header_blue, "4F81BD") X(solid) X(center) X(thin)            \
    X(iter_rows) X(value) X(font) X(fill) X(alignment) X(border) X(column)            \
    X(column_dimensions) X(width) X(ExcelWriter) X(engine) X(openpyxl)                \
    T(dunder_enter, "__enter__") T(dunder_exit, "__exit__") X(to_excel)               \
    X(sheet_name) X(index) X(startrow) X(startcol) X(get) X(df) X(sheets)              \
    T(no_data_message, "No data provided to write_formatted_excel.")                   \
    T(write_failed_prefix, "Failed to write formatted excel to ")                      \
    T(write_failed_separator, ": ") T(handles_attr, "_handles") T(close_method, "close") \
    T(unflushed_prefix, "Wrote formatted excel to ")                                   \
    T(unflushed_separator, ", but could not flush its directory to disk: ")             \
    /* native reading route of the Excel reader */                                     \
    T(pandas_excel_base, "pandas.io.excel._base")                                      \
    T(pandas_excel_openpyxl, "pandas.io.excel._openpyxl")                              \
    T(openpyxl_reader_excel, "openpyxl.reader.excel")                                  \
    T(openpyxl_read_only, "openpyxl.worksheet._read_only")                             \
    T(openpyxl_sheet_reader, "openpyxl.worksheet._reader") X(numpy) X(zipfile) X(io)   \
    X(ExcelFile) X(OpenpyxlReader) X(ExcelReader) X(load_workbook) X(get_sheet_data)   \
    X(_convert_cell) X(sheet_names) X(get_sheet_by_index) X(get_sheet_by_name) X(parse) \
    X(_parse_sheet) X(_engines) X(_reader) X(__version__) X(ZipFile) X(BytesIO)         \
    X(namelist) X(fromstring) X(iterparse) X(Manifest) X(from_tree) X(find)            \
    X(PartName) X(ContentType) X(ARC_CONTENT_TYPES) X(SHARED_STRINGS) X(read_string_table) \
    X(_find_workbook_part) X(WorkbookParser) X(keep_links) X(wb) X(_sheets) X(_data_only) \
    X(_read_only) T(template_attr, "template") X(XLTX) X(XLTM) X(_archive) X(ARC_CORE) X(properties)    \
    X(DocumentProperties) X(ARC_CUSTOM) X(custom_doc_props) X(CustomPropertyList)       \
    X(ARC_THEME) X(loaded_theme) X(apply_stylesheet) X(find_sheets) X(target) X(Type)   \
    X(get_rels_path) X(RelationshipList) X(get_dependents) X(ReadOnlyWorksheet)        \
    X(DefinedNameDict) X(defined_names) X(title) X(sheet_state) X(state) X(_current_row) \
    X(_worksheet_path) X(_shared_strings) X(_min_column) X(_min_row) X(_max_column)     \
    X(_max_row) X(SheetDimension) X(ref) X(boundaries) X(assign_names) X(filename)      \
    X(_date_formats) X(_timedelta_formats) X(epoch) X(from_excel) X(from_ISO8601)       \
    X(timedelta) X(nan) X(close) X(tag) X(attrib) X(clear) X(password) X(set_password)  \
    X(rels) X(__init__) X(_get_size) X(_cells_by_row) \
    X(_get_row) X(parse_row) X(WorkSheetParser) X(__code__) X(co_filename) \
    X(__qualname__) X(fget) X(read_only) X(seek) X(book) X(__new__)                     \
    T(visible, "visible") T(r_mode, "r") T(chartsheet, "chartsheet")                   \
    T(value_error_read_prefix, "Unable to read workbook: could not ")                  \
    T(value_error_from, " from ")                                                      \
    T(value_error_suffix, ".\nThis is most probably because the workbook source files " \
      "contain some invalid XML.\nPlease see the exception for more details.")          \
    T(dunder_module, "__module__") T(native_columns, "_vorlatek_columns") T(native_state, "_vorlatek_book")             \
    X(COL_TAG) X(PROT_TAG) X(EXT_TAG) X(CF_TAG) X(LEGACY_TAG) X(ROW_BREAK_TAG)          \
    X(COL_BREAK_TAG) X(CUSTOM_VIEWS_TAG) X(PRINT_TAG) X(MARGINS_TAG) X(PAGE_TAG)        \
    X(HEADER_TAG) X(FILTER_TAG) X(VALIDATION_TAG) X(PROPERTIES_TAG) X(VIEWS_TAG)        \
    X(FORMAT_TAG) X(SCENARIOS_TAG) X(TABLE_TAG) X(HYPERLINK_TAG) X(MERGE_TAG)           \
    X(PrintOptions) X(PageMargins) X(PrintPageSetup) X(HeaderFooter) X(AutoFilter)      \
    X(DataValidationList) X(WorksheetProperties) X(SheetViewList) X(SheetFormatProperties) \
    X(ScenarioList) X(TablePartList) X(HyperlinkList) X(MergeCells) X(SheetProtection)  \
    X(ConditionalFormatting) X(Related) X(RowBreak) X(ColBreak) X(id) T(min_key, "min")             \
    X(Chartsheet) X(_parent) X(_add_sheet) X(SpreadsheetDrawing) X(_rel_type) X(find_images) \
    X(add_chart) X(InlineFont) T(openpyxl_cell_text, "openpyxl.cell.text")              \
    T(openpyxl_xml_functions, "openpyxl.xml.functions") \
    /* native cell placement */                                                       \
    T(write_cells_attr, "_write_cells") T(generate_body_attr, "_generate_body")        \
    X(gi_code) X(gi_frame) X(f_locals) X(freeze_panes) X(autofilter_range) X(self) X(styler) X(float_format) X(na_rep)  \
    X(inf_rep) X(rowcounter) X(kind)  X(write_only) X(row)              \
    T(sheets_attr, "_sheets") T(datetime_format_attr, "_datetime_format")              \
    T(date_format_attr, "_date_format") T(format_value_attr, "_format_value")          \
    T(value_with_fmt_attr, "_value_with_fmt") X(number_format) X(cell) X(total_seconds) \
    T(cells_attr, "_cells") T(current_row_attr, "_current_row") T(minus, "-")           \
    T(datetime_kind, "M") T(type_numeric, "n") T(type_string, "s") T(type_bool, "b")   \
    T(type_formula, "f") T(type_error, "e") T(type_date, "d")

namespace xt {

struct Names {
#define XT_DECLARE_NAME(ident) PyObject* ident;
#define XT_DECLARE_TEXT(ident, text) PyObject* ident;
    XT_NAMES(XT_DECLARE_NAME, XT_DECLARE_TEXT)
#undef XT_DECLARE_NAME
#undef XT_DECLARE_TEXT
};

// Filled by intern_names(); every member is an interned str after that.
extern Names names;

// Makes the strings on the first call; later calls find them made. Returns
// false with the error set when memory runs out.
bool intern_names() noexcept;

}  // namespace xt
