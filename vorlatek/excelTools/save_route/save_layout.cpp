// openpyxl's and pandas' pieces for the native save route: found once per
// process, checked on every save.
#include "save_layout.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "../core/compat.hpp"
#include "../core/error.hpp"
#include "../libraries/layout_slot.hpp"
#include "../core/pyapi.hpp"
#include "native_save.hpp"
#include "sheet_member.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "../library_check/route_guard.hpp"

namespace xt {

namespace {

Ref import(const char* module) { return Ref::checked(PyImport_ImportModule(module)); }

// The namespace dict of an imported module; borrowed from the module.
PyObject* namespace_of(PyObject* module)
{
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        throw_error_set();
    }
    return dict;
}

[[noreturn]] void unusable(const char* what)
{
    PyErr_SetString(PyExc_TypeError, what);
    throw_error_set();
}

PyObject* namespace_item(PyObject* dict, PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (found == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    return found;
}

enum class Expect {
    code,       // a piece of library code (the route guard proves what it is)
    anything,   // whatever it is (or its absence), it must stay the same
    present,    // anything, but something
};

// Pins owner.name (a class attribute or a module global) and returns what
// it found; borrowed.
PyObject* pin(SaveLayout& l, PyObject* owner, const char* name, Expect expect)
{
    PyObject* value = xt::pin(l.pins, owner, name);
    if (expect != Expect::anything && value == nullptr) {
        unusable(name);
    }
    return value;
}

// A class a library module holds under `name` (the route guard vouches for
// it).
Ref defined_class(const char* module, const char* name) { return library_class(module, name); }

// The offset of an object slot of `owner`, pinned: a writable __slots__
// entry of the class, as every layout takes its slots (library_check).
Py_ssize_t pin_slot(SaveLayout& l, PyTypeObject* owner, const char* name)
{
    PyObject* descriptor = pin(l, reinterpret_cast<PyObject*>(owner), name, Expect::present);
    Py_ssize_t offset = 0;
    if (!object_slot_offset(descriptor, owner, offset)) {
        unusable(name);
    }
    return offset;
}

// A copy of `function` whose globals are `globals`.
Ref function_copy(PyObject* function, PyObject* globals)
{
    if (PyFunction_GetClosure(function) != nullptr) {
        unusable("function with a closure");
    }
    Ref copy = Ref::checked(PyFunction_New(PyFunction_GetCode(function), globals));
    if (PyObject* defaults = PyFunction_GetDefaults(function)) {
        check_status(PyFunction_SetDefaults(copy.get(), defaults));
    }
    if (PyObject* keyword_defaults = PyFunction_GetKwDefaults(function)) {
        check_status(PyFunction_SetKwDefaults(copy.get(), keyword_defaults));
    }
    Ref qualified_name = Ref::checked(PyObject_GetAttrString(function, "__qualname__"));
    check_status(PyObject_SetAttrString(copy.get(), "__qualname__", qualified_name.get()));
    return copy;
}

// type(name, (base,), namespace)
Ref subclass(PyObject* base, const char* name, PyObject* class_namespace)
{
    Ref module_name = Ref::checked(PyUnicode_FromString("vorlatek.excelTools"));
    check_status(PyDict_SetItemString(class_namespace, "__module__", module_name.get()));
    Ref type_name = Ref::checked(PyUnicode_FromString(name));
    Ref bases = Ref::checked(PyTuple_Pack(1, base));
    Ref arguments = Ref::checked(PyTuple_Pack(3, type_name.get(), bases.get(), class_namespace));
    return Ref::checked(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type),
                                      arguments.get(), nullptr));
}

void capture_cells(SaveLayout& l)
{
    PyTypeObject* cell = as_type(l.cell_type);
    PyTypeObject* merged = as_type(l.merged_cell_type);
    l.cell_row = pin_slot(l, cell, "row");
    l.cell_column = pin_slot(l, cell, "column");
    l.cell_value = pin_slot(l, cell, "_value");
    l.cell_data_type = pin_slot(l, cell, "data_type");
    l.cell_hyperlink = pin_slot(l, cell, "_hyperlink");
    l.cell_comment = pin_slot(l, cell, "_comment");
    // Cell declares a `parent` slot of its own beside StyleableObject's.
    l.cell_parent = pin_slot(l, cell, "parent");
    l.styleable_style = pin_slot(l, cell, "_style");
    l.merged_row = pin_slot(l, merged, "row");
    l.merged_column = pin_slot(l, merged, "column");
    l.merged_parent = pin_slot(l, merged, "parent");
    if (pin_slot(l, merged, "_style") != l.styleable_style) {
        unusable("merged cell slots");
    }
    PyObject* cell_object = l.cell_type.get();
    PyObject* merged_object = l.merged_cell_type.get();
    for (PyObject* owner : {cell_object, merged_object}) {
        for (const char* name : {"coordinate", "has_style", "style_id"}) {
            pin(l, owner, name, Expect::code);
        }
    }
    pin(l, cell_object, "hyperlink", Expect::code);
    // A merged cell's value, type, comment and hyperlink are fixed class
    // attributes.
    if (pin(l, merged_object, "_value", Expect::anything) != Py_None ||
        pin(l, merged_object, "_comment", Expect::anything) != Py_None ||
        pin(l, merged_object, "hyperlink", Expect::anything) != Py_None) {
        unusable("merged cell attributes");
    }
    PyObject* merged_type = pin(l, merged_object, "data_type", Expect::present);
    if (!PyUnicode_CheckExact(merged_type) ||
        PyUnicode_CompareWithASCIIString(merged_type, "n") != 0) {
        unusable("merged cell type");
    }
    // Style ids: the workbook's IndexedList of StyleArrays.
    for (const char* name : {"add", "append"}) {
        pin(l, l.indexed_list_type.get(), name, Expect::code);
    }
    for (const char* name : {"__hash__", "__eq__"}) {
        pin(l, l.style_array_type.get(), name, Expect::anything);
    }
    for (const char* name : {"get", "keys", "__len__"}) {
        pin(l, l.dimension_holder_type.get(), name, Expect::anything);
    }
    pin(l, l.workbook_type.get(), "epoch", Expect::code);
}

// NUMERIC_TYPES as safe_string reads it (a tuple, pinned with the
// function's globals): the types other than int and float whose "%.16g"
// is the one of their float() without running code of anyone else's,
// decimal's Decimal and numpy's scalars.
void capture_numeric_types(SaveLayout& l, PyObject* safe_string)
{
    PyObject* numeric = namespace_item(PyFunction_GetGlobals(safe_string),
                                       interned("NUMERIC_TYPES").get());
    if (numeric == nullptr || !PyTuple_CheckExact(numeric)) {
        unusable("NUMERIC_TYPES");
    }
    Ref decimal_module = import("decimal");
    Ref decimal_type = Ref::checked(PyObject_GetAttrString(decimal_module.get(), "Decimal"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(numeric); ++i) {
        PyObject* type = PyTuple_GET_ITEM(numeric, i);
        if (!PyType_Check(type) || type == reinterpret_cast<PyObject*>(&PyLong_Type) ||
            type == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
            continue;
        }
        Ref module = attribute_or_nothing(type, interned("__module__").get());
        const bool known = type == decimal_type.get() ||
                           (module && PyUnicode_Check(module.get()) &&
                            PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            !(reinterpret_cast<PyTypeObject*>(type)->tp_flags & Py_TPFLAGS_HEAPTYPE));
        if (known) {
            l.other_numeric_types.push_back(Ref::borrow(type));
        }
    }
}

// The XML writer openpyxl's sheet writer uses, and the pieces of its cell
// writer the native rows reproduce.
void capture_cell_writer(SaveLayout& l)
{
    Ref sheet_writer_module = import("openpyxl.worksheet._writer");
    Ref cell_writer_module = import("openpyxl.cell._writer");
    Ref dates_module = import("openpyxl.utils.datetime");
    PyObject* sheet_writer_globals = namespace_of(sheet_writer_module.get());
    PyObject* cell_writer_globals = namespace_of(cell_writer_module.get());
    PyObject* write_cell = pin(l, sheet_writer_globals, "write_cell", Expect::code);
    PyObject* etree_write_cell = namespace_item(cell_writer_globals, interned("etree_write_cell").get());
    PyObject* lxml_write_cell = namespace_item(cell_writer_globals, interned("lxml_write_cell").get());
    PyObject* xmlfile = pin(l, sheet_writer_globals, "xmlfile", Expect::present);
    PyObject* element = pin(l, cell_writer_globals, "Element", Expect::present);
    // Which writer openpyxl chose at import: et_xmlfile's with the standard
    // library's elements, or lxml's.
    auto held_by = [](const char* module, const char* name, PyObject* expected) {
        Ref imported = Ref::steal(PyImport_ImportModule(module));
        if (!imported) {
            swallow_ordinary_error();
            return false;
        }
        return attribute_or_nothing(imported.get(), interned(name).get()).get() == expected;
    };
    if (write_cell == etree_write_cell && held_by("et_xmlfile", "xmlfile", xmlfile) &&
        held_by("xml.etree.ElementTree", "Element", element)) {
        l.dialect = XmlDialect::etree;
    }
    else if (write_cell == lxml_write_cell && held_by("lxml.etree", "xmlfile", xmlfile) &&
             held_by("lxml.etree", "Element", element)) {
        l.dialect = XmlDialect::lxml;
    }
    else {
        unusable("unknown XML writer");
    }
    for (const char* name : {"_set_attributes", "to_excel", "to_ISO8601"}) {
        pin(l, cell_writer_globals, name, Expect::code);
    }
    capture_numeric_types(l, pin(l, cell_writer_globals, "safe_string", Expect::code));
    PyObject* dates = namespace_of(dates_module.get());
    for (const char* name : {"time_to_days", "timedelta_to_days"}) {
        pin(l, dates, name, Expect::code);
    }
    l.windows_epoch = Ref::borrow(pin(l, dates, "WINDOWS_EPOCH", Expect::present));
    l.mac_epoch = Ref::borrow(pin(l, dates, "MAC_EPOCH", Expect::present));
    // get_column_letter is an lru_cache wrapper of openpyxl's function.
    Ref utils = import("openpyxl.utils.cell");
    pin(l, namespace_of(utils.get()), "get_column_letter", Expect::code);
}

// What the native write_dimensions reproduces: openpyxl's write_dimensions
// calling the worksheet's calculate_dimension, which walks the cell keys
// and names the corners with get_column_letter.
void capture_dimension_pieces(SaveLayout& l, PyObject* sheet_writer)
{
    l.original_write_dimensions = Ref::borrow(pin(l, sheet_writer, "write_dimensions", Expect::code));
    l.calculate_dimension =
        Ref::borrow(pin(l, l.worksheet_type.get(), "calculate_dimension", Expect::code));
    // Both functions' globals are pinned with them; these are what they
    // call, called the same way.
    Ref worksheet_module = import("openpyxl.worksheet.worksheet");
    l.column_letter = Ref::borrow(
        pin(l, namespace_of(worksheet_module.get()), "get_column_letter", Expect::present));
    Ref sheet_writer_module = import("openpyxl.worksheet._writer");
    l.sheet_dimension_type = Ref::borrow(
        pin(l, namespace_of(sheet_writer_module.get()), "SheetDimension", Expect::present));
}

// shutil.copyfileobj(fsrc, fdst, length=0) as zipfile's ZipFile.write calls
// it for a file it adds, with a megabyte for any shorter length: the loop
// reads the file and hands each piece to the member's writer, whose
// checksum and deflate give the same bytes however the input is cut, and
// release the GIL over each piece, so other threads run meanwhile. The part
// of a sheet whose rows wait for their member gets them here instead (see
// sheet_member.hpp).
PyObject* copy_in_large_pieces(PyObject* copy_file_object, PyObject* const* args,
                               Py_ssize_t nargs) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs < 2 || nargs > 3) {
            PyErr_SetString(PyExc_TypeError, "copyfileobj() takes two or three arguments");
            throw_error_set();
        }
        const SaveLayout* layout = save_layout();
        if (nargs >= 2 && layout != nullptr && copy_sheet_member(*layout, args[0], args[1])) {
            return Ref::borrow(Py_None).release();
        }
        constexpr long long large_piece = 1LL << 20;
        long long length = 0;
        if (nargs == 3 && !exact_long_long(args[2], length)) {
            return Ref::checked(XT_Vectorcall(copy_file_object, args, 3, nullptr)).release();
        }
        Ref piece = Ref::checked(PyLong_FromLongLong(std::max(length, large_piece)));
        return call(copy_file_object, {args[0], args[1], piece.get()}).release();
    });
}

PyMethodDef copy_in_large_pieces_definition = {
    "copyfileobj",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(copy_in_large_pieces)),
    METH_FASTCALL,
    "shutil.copyfileobj, reading at least a megabyte at a time; a sheet waiting for its "
    "member gets its rows straight from the save.",
};

// zipfile's ZipFile with the standard library's own write, whose copy of a
// file into its member reads a megabyte at a time instead of 8 KiB: the
// deflate of a sheet then runs in a few long stretches without the GIL.
// The archive is the same byte for byte.
// Its pins are the layout's archive_pins: when they fail, the save keeps
// its native rows and takes zipfile's own archive.
Ref archive_class(std::vector<Pin>& archive_pins, PyObject* zip_file)
{
    auto pin = [&archive_pins](PyObject* owner, const char* name) {
        PyObject* value = xt::pin(archive_pins, owner, name);
        if (value == nullptr) {
            unusable(name);
        }
        return value;
    };
    Ref zip_module = import("zipfile");
    PyObject* zip_globals = namespace_of(zip_module.get());
    if (zip_file != namespace_item(zip_globals, interned("ZipFile").get()) ||
        !PyType_Check(zip_file)) {
        unusable("ZipFile");
    }
    PyObject* write = pin(zip_file, "write");
    Ref write_module = attribute_or_nothing(write, interned("__module__").get());
    if (!PyFunction_Check(write) || PyFunction_GetGlobals(write) != zip_globals || !write_module ||
        !PyUnicode_Check(write_module.get()) ||
        PyUnicode_CompareWithASCIIString(write_module.get(), "zipfile") != 0) {
        unusable("ZipFile.write");
    }
    // The names write reads from its module, as the copy finds them.
    pin(zip_globals, "ZipInfo");
    PyObject* shutil = pin(zip_globals, "shutil");
    Ref shutil_module = import("shutil");
    if (shutil != shutil_module.get()) {
        unusable("shutil");
    }
    PyObject* shutil_globals = namespace_of(shutil);
    PyObject* copy_file_object = pin(shutil_globals, "copyfileobj");
    if (!PyFunction_Check(copy_file_object) ||
        PyFunction_GetGlobals(copy_file_object) != shutil_globals) {
        unusable("shutil.copyfileobj");
    }
    Ref shim = Ref::checked(PyModule_New("shutil"));
    PyObject* shim_globals = namespace_of(shim.get());
    check_status(PyDict_Update(shim_globals, shutil_globals));
    Ref large_copy = Ref::checked(
        PyCFunction_NewEx(&copy_in_large_pieces_definition, copy_file_object, nullptr));
    check_status(PyDict_SetItemString(shim_globals, "copyfileobj", large_copy.get()));

    Ref routed_zip_globals = Ref::checked(PyDict_Copy(zip_globals));
    check_status(PyDict_SetItemString(routed_zip_globals.get(), "shutil", shim.get()));
    Ref methods = Ref::checked(PyDict_New());
    Ref routed_write = function_copy(write, routed_zip_globals.get());
    check_status(PyDict_SetItemString(methods.get(), "write", routed_write.get()));
    return subclass(zip_file, "ZipFile", methods.get());
}

// Workbook.save's copy whose save_workbook, write_worksheet and sheet writer
// are the route's, its archive made by `archive`.
Ref routed_save_with(const SaveLayout& l, PyObject* archive)
{
    const SavePieces& pieces = l.save_pieces;
    Ref routed_excel_globals = Ref::checked(PyDict_Copy(pieces.excel_globals.get()));
    check_status(PyDict_SetItemString(routed_excel_globals.get(), "WorksheetWriter",
                                      l.sheet_writer_type.get()));
    check_status(PyDict_SetItemString(routed_excel_globals.get(), "ZipFile", archive));
    Ref excel_methods = Ref::checked(PyDict_New());
    Ref routed_write_worksheet =
        function_copy(pieces.write_worksheet.get(), routed_excel_globals.get());
    check_status(PyDict_SetItemString(excel_methods.get(), "write_worksheet",
                                      routed_write_worksheet.get()));
    Ref routed_excel_writer =
        subclass(pieces.excel_writer.get(), "ExcelWriter", excel_methods.get());
    check_status(PyDict_SetItemString(routed_excel_globals.get(), "ExcelWriter",
                                      routed_excel_writer.get()));
    Ref routed_save_workbook = function_copy(pieces.save_workbook.get(), routed_excel_globals.get());
    Ref routed_workbook_globals = Ref::checked(PyDict_Copy(pieces.workbook_globals.get()));
    check_status(PyDict_SetItemString(routed_workbook_globals.get(), "save_workbook",
                                      routed_save_workbook.get()));
    return function_copy(pieces.plain_save.get(), routed_workbook_globals.get());
}

// Sets routed_save_large_pieces and its pins when zipfile and shutil are as
// known now; leaves both unset otherwise (the archive stays zipfile's own).
// Made in full before either is set, so a save of another thread sees the
// pair whole or not at all.
void make_large_piece_save(SaveLayout& l)
{
    std::vector<Pin> archive_pins;
    Ref routed;
    try {
        Ref archive = archive_class(archive_pins, l.save_pieces.zip_file.get());
        routed = routed_save_with(l, archive.get());
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return;
    }
    l.archive_pins = std::move(archive_pins);
    l.routed_save_large_pieces = std::move(routed);
}

// The route's own objects: the sheet writer subclass, the excel writer
// subclass and the copies of the save functions that find them.
void make_route(SaveLayout& l)
{
    Ref workbook_module = import("openpyxl.workbook.workbook");
    Ref excel_module = import("openpyxl.writer.excel");
    PyObject* excel_globals = namespace_of(excel_module.get());
    PyObject* workbook_globals = namespace_of(workbook_module.get());

    PyObject* plain_save = pin(l, l.workbook_type.get(), "save", Expect::code);
    PyObject* save_workbook = pin(l, workbook_globals, "save_workbook", Expect::code);
    if (namespace_item(excel_globals, interned("save_workbook").get()) != save_workbook) {
        unusable("save_workbook");
    }
    PyObject* excel_writer = pin(l, excel_globals, "ExcelWriter", Expect::present);
    PyObject* sheet_writer = pin(l, excel_globals, "WorksheetWriter", Expect::present);
    if (excel_writer != defined_class("openpyxl.writer.excel", "ExcelWriter").get() ||
        sheet_writer != defined_class("openpyxl.worksheet._writer", "WorksheetWriter").get()) {
        unusable("writer classes");
    }
    PyObject* write_worksheet = pin(l, excel_writer, "write_worksheet", Expect::code);
    l.original_write_rows = Ref::borrow(pin(l, sheet_writer, "write_rows", Expect::code));
    l.original_write = Ref::borrow(pin(l, sheet_writer, "write", Expect::code));
    for (const char* name : {"rows", "write_row"}) {
        pin(l, sheet_writer, name, Expect::code);
    }
    capture_dimension_pieces(l, sheet_writer);
    // The save code pinned above reads its names through these pins; the
    // copies below read the same values from copies of the namespaces.
    Ref methods = Ref::checked(PyDict_New());
    PyMethodDef* definitions = sheet_writer_method_definitions();
    for (PyMethodDef* definition = definitions; definition->ml_name != nullptr; ++definition) {
        Ref function = Ref::checked(PyCFunction_NewEx(definition, nullptr, nullptr));
        Ref method = Ref::checked(PyInstanceMethod_New(function.get()));
        check_status(PyDict_SetItemString(methods.get(), definition->ml_name, method.get()));
    }
    l.sheet_writer_type = subclass(sheet_writer, "WorksheetWriter", methods.get());

    SavePieces& pieces = l.save_pieces;
    pieces.excel_globals = Ref::borrow(excel_globals);
    pieces.workbook_globals = Ref::borrow(workbook_globals);
    pieces.plain_save = Ref::borrow(plain_save);
    pieces.save_workbook = Ref::borrow(save_workbook);
    pieces.excel_writer = Ref::borrow(excel_writer);
    pieces.write_worksheet = Ref::borrow(write_worksheet);
    pieces.zip_file = Ref::borrow(pin(l, excel_globals, "ZipFile", Expect::present));
    l.routed_save = routed_save_with(l, pieces.zip_file.get());
    make_large_piece_save(l);
}

void capture_pandas(SaveLayout& l)
{
    l.pandas_module = import("pandas");
    l.pandas_writer_type = defined_class("pandas.io.excel._openpyxl", "OpenpyxlWriter");
    // Timestamp names "pandas" as its module from pandas 3 on.
    Ref timestamps = import("pandas._libs.tslibs.timestamps");
    l.timestamp_type = Ref::checked(PyObject_GetAttrString(timestamps.get(), "Timestamp"));
    Ref datetime_module = import("datetime");
    Ref datetime_type = Ref::checked(PyObject_GetAttrString(datetime_module.get(), "datetime"));
    if (!PyType_Check(l.timestamp_type.get()) ||
        !PyType_IsSubtype(as_type(l.timestamp_type), as_type(datetime_type))) {
        unusable("Timestamp");
    }
    pin(l, l.pandas_writer_type.get(), "book", Expect::code);
}

void capture_names(SaveLayout& l)
{
    l.ws_name = interned("ws");
    l.xf_name = interned("xf");
    l.send_name = interned("send");
    l.element_name = interned("element");
    l.write_name = interned("write");
    l.out_name = interned("out");
    l.parent_name = interned("parent");
    l.row_dimensions_name = interned("row_dimensions");
    l.cell_styles_name = interned("_cell_styles");
    l.add_name = interned("add");
    l.epoch_name = interned("epoch");
    l.iso_dates_name = interned("iso_dates");
    l.book_name = interned("book");
    l.save_name = interned("save");
    l.sheet_data_name = interned("sheetData");
    l.marker = interned("vorlatek-sheet-data");
    l.spool_key = interned("_vorlatek_sheet_data");
    l.modules_name = interned("modules");
    l.calculate_dimension_name = interned("calculate_dimension");
    l.to_tree_name = interned("to_tree");
}

std::unique_ptr<SaveLayout> make_layout()
{
    auto layout = std::make_unique<SaveLayout>();
    SaveLayout& l = *layout;
    capture_names(l);
    l.workbook_type = defined_class("openpyxl.workbook.workbook", "Workbook");
    l.worksheet_type = defined_class("openpyxl.worksheet.worksheet", "Worksheet");
    l.cell_type = defined_class("openpyxl.cell.cell", "Cell");
    l.merged_cell_type = defined_class("openpyxl.cell.cell", "MergedCell");
    l.style_array_type = defined_class("openpyxl.styles.cell_style", "StyleArray");
    l.indexed_list_type = defined_class("openpyxl.utils.indexed_list", "IndexedList");
    l.dimension_holder_type = defined_class("openpyxl.worksheet.dimensions", "DimensionHolder");
    capture_pandas(l);
    capture_cells(l);
    capture_cell_writer(l);
    make_route(l);
    return layout;
}

// Not made (the libraries not as the route knows them now): the plain save
// runs, and the next call looks again.
LayoutSlot<SaveLayout> process_layout(AfterFailure::ask_again);

}  // namespace

const SaveLayout* save_layout()
{
    // The route's objects are made from openpyxl's own pieces only.
    return process_layout.settled_or_built(
        [] { return library_check::may_run(library_check::Route::save); }, make_layout);
}

bool save_layout_holds(const SaveLayout& layout)
{
    using library_check::may_run;
    using library_check::Route;
    return may_run(Route::save) && (layout.dialect != XmlDialect::etree || may_run(Route::save_etree)) &&
           pins_hold(layout.pins);
}

PyObject* routed_save_now(const SaveLayout& layout)
{
    if (!layout.routed_save_large_pieces && &layout == process_layout.get()) {
        // zipfile or shutil was not as known when the layout was made (a
        // wrapper in place for a while, say): looked at again, so that the
        // large-piece archive comes back once they are.
        FirstUseGuard guard(process_layout.lock());
        if (guard.held() && !process_layout.get()->routed_save_large_pieces) {
            make_large_piece_save(*process_layout.get());
        }
    }
    if (layout.routed_save_large_pieces && pins_hold(layout.archive_pins)) {
        return layout.routed_save_large_pieces.get();
    }
    return layout.routed_save.get();
}

}  // namespace xt
