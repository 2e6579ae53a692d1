// openpyxl's and pandas' pieces for the native save route: found once per
// process, checked on every save.
#include "save_layout.hpp"

#include <structmember.h>

#include <cstring>
#include <memory>

#include "../core/error.hpp"
#include "../core/first_use.hpp"
#include "../core/pyapi.hpp"
#include "native_save.hpp"
#include "openpyxl_layout.hpp"

namespace xt {

namespace {

Ref interned(const char* text) { return Ref::checked(PyUnicode_InternFromString(text)); }

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

// What the pin's owner holds under its name now; borrowed.
PyObject* current_value(const SavePin& pin)
{
    if (PyType_Check(pin.owner.get())) {
        return class_attribute(as_type(pin.owner), pin.name.get());
    }
    return namespace_item(pin.owner.get(), pin.name.get());
}

bool text_starts_with(PyObject* value, const char* prefix)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(value);
    if (utf8 == nullptr) {
        throw_error_set();
    }
    return std::strncmp(utf8, prefix, std::strlen(prefix)) == 0;
}

// The names a code object (and the code objects nested in it) reads as
// globals or attributes; the globals among them are what the pin keeps.
void collect_names(PyObject* code, std::vector<Ref>& out)
{
    Ref names = Ref::checked(PyObject_GetAttrString(code, "co_names"));
    Ref constants = Ref::checked(PyObject_GetAttrString(code, "co_consts"));
    if (!PyTuple_Check(names.get()) || !PyTuple_Check(constants.get())) {
        unusable("code object without names");
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        out.push_back(Ref::borrow(PyTuple_GET_ITEM(names.get(), i)));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
        if (PyCode_Check(constant)) {
            collect_names(constant, out);
        }
    }
}

// Pins a function's code and the globals it reads.
void pin_code(SavePin& pin, PyObject* function)
{
    pin.code = Ref::borrow(PyFunction_GetCode(function));
    pin.globals = Ref::borrow(PyFunction_GetGlobals(function));
    std::vector<Ref> names;
    collect_names(pin.code.get(), names);
    for (Ref& name : names) {
        Ref value = Ref::borrow(namespace_item(pin.globals.get(), name.get()));
        pin.global_values.emplace_back(std::move(name), std::move(value));
    }
}

enum class Expect {
    code,       // a function, or a property whose getter is one, of `prefix`
    anything,   // whatever it is (or its absence), it must stay the same
    present,    // anything, but something
};

// Pins owner.name (a class attribute or a module global) and returns what
// it found; borrowed.
PyObject* pin(SaveLayout& l, PyObject* owner, const char* name, Expect expect,
              const char* prefix = "openpyxl.")
{
    SavePin entry;
    entry.owner = Ref::borrow(owner);
    entry.name = interned(name);
    PyObject* value = current_value(entry);
    entry.value = Ref::borrow(value);
    if (expect == Expect::present && value == nullptr) {
        unusable(name);
    }
    if (expect == Expect::code) {
        PyObject* function = value;
        if (function != nullptr && PyObject_TypeCheck(function, &PyProperty_Type)) {
            Ref getter = Ref::checked(PyObject_GetAttrString(function, "fget"));
            // The property object holds the getter; borrowed through it.
            function = getter.get();
            if (function == nullptr || !PyFunction_Check(function) ||
                !text_starts_with(PyFunction_GetModule(function), prefix)) {
                unusable(name);
            }
            pin_code(entry, function);
        }
        else {
            if (function == nullptr || !PyFunction_Check(function) ||
                !text_starts_with(PyFunction_GetModule(function), prefix)) {
                unusable(name);
            }
            pin_code(entry, function);
        }
    }
    l.pins.push_back(std::move(entry));
    return value;
}

bool pin_holds(const SavePin& pin)
{
    PyObject* value = current_value(pin);
    if (value != pin.value.get()) {
        return false;
    }
    if (!pin.code) {
        return true;
    }
    PyObject* function = value;
    Ref getter;
    if (PyObject_TypeCheck(function, &PyProperty_Type)) {
        getter = Ref::checked(PyObject_GetAttrString(function, "fget"));
        function = getter.get();
    }
    if (!PyFunction_Check(function) || PyFunction_GetCode(function) != pin.code.get() ||
        PyFunction_GetGlobals(function) != pin.globals.get()) {
        return false;
    }
    for (const auto& [name, expected] : pin.global_values) {
        if (namespace_item(pin.globals.get(), name.get()) != expected.get()) {
            return false;
        }
    }
    return true;
}

// A class defined in `module` under `name`.
Ref defined_class(const char* module, const char* name)
{
    Ref imported = import(module);
    Ref found = Ref::checked(PyObject_GetAttrString(imported.get(), name));
    if (!PyType_Check(found.get())) {
        unusable("not a class");
    }
    Ref defined_in = Ref::checked(PyObject_GetAttrString(found.get(), "__module__"));
    if (!PyUnicode_Check(defined_in.get()) ||
        PyUnicode_CompareWithASCIIString(defined_in.get(), module) != 0) {
        unusable("class from another module");
    }
    return found;
}

// The offset of an object slot of `owner`, pinned.
Py_ssize_t pin_slot(SaveLayout& l, PyTypeObject* owner, const char* name)
{
    PyObject* descriptor = pin(l, reinterpret_cast<PyObject*>(owner), name, Expect::present);
    if (Py_TYPE(descriptor) != &PyMemberDescr_Type) {
        unusable(name);
    }
    auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
    if (!PyType_IsSubtype(owner, PyDescr_TYPE(member)) || member->d_member->type != T_OBJECT_EX) {
        unusable(name);
    }
    return member->d_member->offset;
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
    Ref xmlfile_module = Ref::checked(PyObject_GetAttrString(xmlfile, "__module__"));
    Ref element_module = Ref::checked(PyObject_GetAttrString(element, "__module__"));
    if (write_cell == etree_write_cell && text_starts_with(xmlfile_module.get(), "et_xmlfile.") &&
        text_starts_with(element_module.get(), "xml.etree.ElementTree")) {
        l.dialect = XmlDialect::etree;
        Ref writer_type = defined_class("et_xmlfile.xmlfile", "_IncrementalFileWriter");
        for (const char* name : {"element", "write"}) {
            pin(l, writer_type.get(), name, Expect::code, "et_xmlfile.");
        }
        Ref tree = import("et_xmlfile.incremental_tree");
        for (const char* name : {"_serialize_ns_xml", "write_elem_start"}) {
            pin(l, namespace_of(tree.get()), name, Expect::code, "et_xmlfile.");
        }
        Ref element_tree = import("xml.etree.ElementTree");
        for (const char* name : {"_escape_cdata", "_escape_attrib"}) {
            pin(l, namespace_of(element_tree.get()), name, Expect::code, "xml.etree.");
        }
        pin(l, cell_writer_globals, "whitespace", Expect::code);
    }
    else if (write_cell == lxml_write_cell && text_starts_with(xmlfile_module.get(), "lxml.") &&
             text_starts_with(element_module.get(), "lxml.")) {
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
    PyObject* letters = pin(l, namespace_of(utils.get()), "get_column_letter", Expect::present);
    Ref letters_module = Ref::checked(PyObject_GetAttrString(letters, "__module__"));
    if (!text_starts_with(letters_module.get(), "openpyxl.")) {
        unusable("get_column_letter");
    }
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

    Ref routed_excel_globals = Ref::checked(PyDict_Copy(excel_globals));
    check_status(PyDict_SetItemString(routed_excel_globals.get(), "WorksheetWriter",
                                      l.sheet_writer_type.get()));
    Ref excel_methods = Ref::checked(PyDict_New());
    Ref routed_write_worksheet = function_copy(write_worksheet, routed_excel_globals.get());
    check_status(PyDict_SetItemString(excel_methods.get(), "write_worksheet",
                                      routed_write_worksheet.get()));
    Ref routed_excel_writer = subclass(excel_writer, "ExcelWriter", excel_methods.get());
    check_status(PyDict_SetItemString(routed_excel_globals.get(), "ExcelWriter",
                                      routed_excel_writer.get()));
    Ref routed_save_workbook = function_copy(save_workbook, routed_excel_globals.get());

    Ref routed_workbook_globals = Ref::checked(PyDict_Copy(workbook_globals));
    check_status(PyDict_SetItemString(routed_workbook_globals.get(), "save_workbook",
                                      routed_save_workbook.get()));
    l.routed_save = function_copy(plain_save, routed_workbook_globals.get());
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
    Ref timestamp_module = Ref::checked(PyObject_GetAttrString(l.timestamp_type.get(), "__module__"));
    if (!PyType_Check(l.timestamp_type.get()) ||
        !PyType_IsSubtype(as_type(l.timestamp_type), as_type(datetime_type)) ||
        !text_starts_with(timestamp_module.get(), "pandas")) {
        unusable("Timestamp");
    }
    pin(l, l.pandas_writer_type.get(), "book", Expect::code, "pandas.");
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
    l.cells_name = interned("_cells");
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

SaveLayout* process_layout = nullptr;
FirstUseLock layout_lock;

}  // namespace

const SaveLayout* save_layout()
{
    if (process_layout != nullptr) {
        return process_layout;
    }
    FirstUseGuard guard(layout_lock);
    if (!guard.held() || process_layout != nullptr) {
        return process_layout;
    }
    try {
        process_layout = make_layout().release();
    }
    catch (const PyErrorSet&) {
        // Not what the route knows (now): the plain save runs, and the next
        // call looks again.
        swallow_ordinary_error();
    }
    return process_layout;
}

bool save_layout_holds(const SaveLayout& layout)
{
    try {
        for (const SavePin& pin : layout.pins) {
            if (!pin_holds(pin)) {
                return false;
            }
        }
        return true;
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

}  // namespace xt
