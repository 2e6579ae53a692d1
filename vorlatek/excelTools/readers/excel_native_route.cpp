// The guard of the native reading route and the pandas classes it reads
// through (see excel_native_route.hpp).
#include "excel_native_route.hpp"

#include <cstring>
#include <string_view>

#include "../core/compat.hpp"
#include "../core/first_use.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/route_guard.hpp"

namespace xt {

namespace {

Ref loaded_module(PyObject* name)
{
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (module == nullptr) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return Ref();
    }
    if (!PyModule_CheckExact(module)) {
        return Ref();
    }
    return Ref::borrow(module);
}

// A module-level or class attribute, or nothing (no error) when absent.
Ref attribute(PyObject* owner, PyObject* name)
{
    Ref value = Ref::steal(PyObject_GetAttr(owner, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_error_set();
        }
        PyErr_Clear();
    }
    return value;
}

// The attribute as the class's own lookup finds it (functions unbound,
// properties as themselves).
Ref class_member(PyObject* type, PyObject* name)
{
    if (!PyType_Check(type)) {
        return Ref();
    }
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type), name);
    return Ref::borrow(found);
}

struct PandasPieces {
    Ref excel_file;       // pandas' ExcelFile
    Ref engines;          // its _engines dict
};

bool pandas_pieces(RouteLibraries& libraries, PandasPieces& pieces)
{
    Ref pandas = loaded_module(names.pandas);
    if (!pandas) {
        return false;
    }
    Ref bound = lookup_global(names.pd);
    if (bound.get() != pandas.get()) {
        return false;
    }
    Ref base = loaded_module(names.pandas_excel_base);
    Ref openpyxl_engine = loaded_module(names.pandas_excel_openpyxl);
    if (!base || !openpyxl_engine) {
        return false;
    }
    Ref read_excel = attribute(pandas.get(), names.read_excel);
    Ref base_read_excel = attribute(base.get(), names.read_excel);
    if (!read_excel || read_excel.get() != base_read_excel.get()) {
        return false;
    }
    Ref excel_file = attribute(pandas.get(), names.ExcelFile);
    Ref base_excel_file = attribute(base.get(), names.ExcelFile);
    if (!excel_file || excel_file.get() != base_excel_file.get() || !PyType_Check(excel_file.get())) {
        return false;
    }
    Ref engines = class_member(excel_file.get(), names._engines);
    if (!engines || !PyDict_CheckExact(engines.get())) {
        return false;
    }
    // Held: the attribute lookups below may run Python code that changes
    // the engine table.
    Ref engine_reader = Ref::borrow(PyDict_GetItemWithError(engines.get(), names.openpyxl));
    if (!engine_reader) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return false;
    }
    PyObject* reader = engine_reader.get();
    Ref module_reader = attribute(openpyxl_engine.get(), names.OpenpyxlReader);
    if (reader != module_reader.get() || !PyType_Check(reader)) {
        return false;
    }
    libraries.openpyxl_reader = std::move(engine_reader);
    pieces.excel_file = std::move(excel_file);
    pieces.engines = std::move(engines);
    return true;
}

bool openpyxl_pieces(RouteLibraries& libraries)
{
    Ref openpyxl = loaded_module(names.openpyxl);
    if (!openpyxl) {
        return false;
    }
    Ref reader_excel = loaded_module(names.openpyxl_reader_excel);
    Ref read_only = loaded_module(names.openpyxl_read_only);
    Ref sheet_reader = loaded_module(names.openpyxl_sheet_reader);
    if (!reader_excel || !read_only || !sheet_reader) {
        return false;
    }
    Ref load = attribute(openpyxl.get(), names.load_workbook);
    Ref module_load = attribute(reader_excel.get(), names.load_workbook);
    if (!load || load.get() != module_load.get()) {
        return false;
    }
    Ref worksheet_class = attribute(read_only.get(), names.ReadOnlyWorksheet);
    Ref imported_class = attribute(reader_excel.get(), names.ReadOnlyWorksheet);
    if (!worksheet_class || worksheet_class.get() != imported_class.get()) {
        return false;
    }
    Ref parser = attribute(read_only.get(), names.WorkSheetParser);
    Ref module_parser = attribute(sheet_reader.get(), names.WorkSheetParser);
    if (!parser || parser.get() != module_parser.get()) {
        return false;
    }
    Ref numpy = loaded_module(names.numpy);
    if (!numpy) {
        return false;
    }
    Ref nan = attribute(numpy.get(), names.nan);
    if (!nan || !PyFloat_CheckExact(nan.get())) {
        return false;
    }
    libraries.reader_excel = std::move(reader_excel);
    libraries.read_only = std::move(read_only);
    libraries.sheet_reader = std::move(sheet_reader);
    libraries.numpy_nan = std::move(nan);
    return true;
}

// The two classes the route reads through, made once for each pandas
// ExcelFile class and engine table they derive from. They live for the
// process, like the classes they derive from; each call holds references of
// its own to the ones it uses, since Python code it runs (or a finaliser)
// may make new ones in the meantime.
struct RouteClasses {
    PyObject* excel_file = nullptr;     // pandas' ExcelFile they derive from
    PyObject* engines = nullptr;        // a copy of its engine table
    PyObject* native_reader = nullptr;
    PyObject* native_excel_file = nullptr;
};
RouteClasses route_classes;
FirstUseLock route_classes_lock;

// The classes one read goes through.
struct ReadClasses {
    Ref native_reader;
    Ref native_excel_file;
};

PyMethodDef load_workbook_def = {"load_workbook", reinterpret_cast<PyCFunction>(native_load_workbook),
                                 METH_VARARGS, nullptr};
PyMethodDef get_sheet_data_def = {"get_sheet_data",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                      native_get_sheet_data)),
                                  METH_VARARGS | METH_KEYWORDS, nullptr};

Ref instance_method(PyMethodDef* def)
{
    Ref function = Ref::checked(PyCFunction_NewEx(def, nullptr, names.module_name));
    return Ref::checked(PyInstanceMethod_New(function.get()));
}

// True when the engine table is still the one the classes were made from.
bool same_engines(PyObject* engines, PyObject* copy)
{
    if (PyDict_GET_SIZE(engines) != PyDict_GET_SIZE(copy)) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(engines, &position, &key, &value)) {
        PyObject* other = PyDict_GetItemWithError(copy, key);
        if (other != value) {
            if (PyErr_Occurred()) {
                throw_error_set();
            }
            return false;
        }
    }
    return true;
}

bool classes_made_for(const PandasPieces& pieces)
{
    return route_classes.native_excel_file != nullptr && route_classes.excel_file == pieces.excel_file.get() &&
           same_engines(pieces.engines.get(), route_classes.engines);
}

ReadClasses native_classes(const RouteLibraries& libraries, const PandasPieces& pieces)
{
    if (classes_made_for(pieces)) {
        return {Ref::borrow(route_classes.native_reader), Ref::borrow(route_classes.native_excel_file)};
    }
    // Making the classes runs Python code (type() may collect garbage and
    // run finalisers), so another thread's first read may start meanwhile:
    // it waits for these classes instead of making a second pair.
    FirstUseGuard guard(route_classes_lock);
    if (guard.held() && classes_made_for(pieces)) {
        return {Ref::borrow(route_classes.native_reader), Ref::borrow(route_classes.native_excel_file)};
    }
    Ref engines_copy = Ref::checked(PyDict_Copy(pieces.engines.get()));

    Ref reader_dict = new_dict();
    Ref load = instance_method(&load_workbook_def);
    Ref sheet_data = instance_method(&get_sheet_data_def);
    set_item(reader_dict.get(), names.load_workbook, load.get());
    set_item(reader_dict.get(), names.get_sheet_data, sheet_data.get());
    set_item(reader_dict.get(), names.dunder_module, names.module_name);
    Ref reader_bases = Ref::checked(PyTuple_Pack(1, libraries.openpyxl_reader.get()));
    Ref reader_name = text("OpenpyxlReader");
    Ref reader_class = call(reinterpret_cast<PyObject*>(&PyType_Type),
                            {reader_name.get(), reader_bases.get(), reader_dict.get()});

    Ref engines = Ref::checked(PyDict_Copy(pieces.engines.get()));
    set_item(engines.get(), names.openpyxl, reader_class.get());
    Ref file_dict = new_dict();
    set_item(file_dict.get(), names._engines, engines.get());
    set_item(file_dict.get(), names.dunder_module, names.module_name);
    Ref file_bases = Ref::checked(PyTuple_Pack(1, pieces.excel_file.get()));
    Ref file_name = text("ExcelFile");
    Ref file_class = call(reinterpret_cast<PyObject*>(&PyType_Type),
                          {file_name.get(), file_bases.get(), file_dict.get()});

    if (!guard.held()) {
        // A read this thread started while making them: these serve it alone.
        return {std::move(reader_class), std::move(file_class)};
    }
    // The new classes are in place before the old ones are let go: letting
    // them go may run Python code (a finaliser, a weak reference's
    // callback), which must find the table whole.
    const RouteClasses old = route_classes;
    route_classes.excel_file = Ref::borrow(pieces.excel_file.get()).release();
    route_classes.engines = engines_copy.release();
    route_classes.native_reader = reader_class.dup().release();
    route_classes.native_excel_file = file_class.dup().release();
    Py_XDECREF(old.excel_file);
    Py_XDECREF(old.engines);
    Py_XDECREF(old.native_reader);
    Py_XDECREF(old.native_excel_file);
    return {std::move(reader_class), std::move(file_class)};
}

// Closes the ExcelFile as read_excel closes the one it opens: after the
// read, whether it succeeded or not; an error of the close replaces the
// read's, as a `finally` block's would.
void close_excel_file(PyObject* excel_file)
{
    if (PyErr_Occurred()) {
        PendingError pending;
        Ref closed = Ref::steal(PyObject_CallMethodObjArgs(excel_file, names.close, nullptr));
        if (!closed) {
            PendingError raised;
            if (raised.value() != nullptr && pending.value() != nullptr) {
                Py_INCREF(pending.value());
                PyException_SetContext(raised.value(), pending.value());
            }
            raised.restore();
            return;
        }
        pending.restore();
        return;
    }
    Ref closed = Ref::checked(PyObject_CallMethodObjArgs(excel_file, names.close, nullptr));
}

}  // namespace

bool route_libraries(RouteLibraries& libraries)
{
    PandasPieces pieces;
    return pandas_pieces(libraries, pieces) && library_check::may_run(library_check::Route::read) &&
           openpyxl_pieces(libraries);
}

RoutedResult read_excel_natively(PyObject* file_path, PyObject* use_cols, PyObject* skip_rows,
                                 PyObject* read_names, PyObject* columns)
{
    RouteLibraries libraries;
    PandasPieces pieces;
    if (!pandas_pieces(libraries, pieces) || !library_check::may_run(library_check::Route::read) ||
        !openpyxl_pieces(libraries)) {
        return std::nullopt;
    }
    const ReadClasses classes = native_classes(libraries, pieces);
    Ref pandas = lookup_global(names.pd);
    Ref read_excel = get_attr(pandas.get(), names.read_excel);

    Ref excel_file = call(classes.native_excel_file.get(), {file_path});
    Ref df;
    bool failed = false;
    try {
        Ref reader = get_attr(excel_file.get(), names._reader);
        if (Py_TYPE(reader.get()) == reinterpret_cast<PyTypeObject*>(classes.native_reader.get()) &&
            columns != Py_None && PyList_CheckExact(read_names)) {
            Ref name_count = Ref::checked(PyLong_FromSsize_t(PyList_GET_SIZE(read_names)));
            Ref bounds = Ref::checked(PyTuple_Pack(2, columns, name_count.get()));
            set_attr(reader.get(), names.native_columns, bounds.get());
        }
        df = call(read_excel.get(), {excel_file.get()},
                  {{names.usecols, use_cols},
                   {names.skiprows, skip_rows},
                   {names.header, Py_None},
                   {names.names, read_names}});
    }
    catch (const PyErrorSet&) {
        failed = true;
    }
    close_excel_file(excel_file.get());
    if (failed || PyErr_Occurred()) {
        throw_error_set();
    }
    return df;
}

}  // namespace xt
