// The workbook load of the route's openpyxl engine (its sheet reading is in
// excel_native_sheet.cpp).
//
// load_workbook takes the steps of openpyxl's read-only, data-only load
// (openpyxl.reader.excel.ExcelReader.read) in their order, with the very
// functions and classes that load uses, looked up in its module, and wraps a
// ValueError as it does. Two steps are native: the shared string table (left
// to openpyxl's reader of it when unusual) and the size of each worksheet,
// which openpyxl's worksheet reads from the part's `dimension` when it makes
// the worksheet object (left to that constructor when unusual). So the
// workbook, its warnings and its errors are openpyxl's own.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/lookup.hpp"
#include "../library_check/route_guard.hpp"
#include "../workbook/shared_strings.hpp"
#include "../workbook/sheet_cells.hpp"
#include "excel_native_rows.hpp"
#include "excel_native_route.hpp"

#include "excel_native_member.hpp"

namespace xt {

using namespace native_engine;

namespace {

// Whether openpyxl accepts each run properties element (its text reader
// builds an InlineFont of each, which checks every value): asked of
// openpyxl's own class, once for each distinct element.
bool run_properties_accepted(const std::vector<std::string>& run_properties)
{
    if (run_properties.empty()) {
        return true;
    }
    Ref text_module = Ref::checked(PyImport_Import(names.openpyxl_cell_text));
    Ref font_class = global_of(text_module.get(), names.InlineFont);
    Ref functions = Ref::checked(PyImport_Import(names.openpyxl_xml_functions));
    Ref fromstring = global_of(functions.get(), names.fromstring);
    for (const std::string& written : run_properties) {
        std::string wrapped = "<r xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";
        wrapped.append(written);
        wrapped.append("</r>");
        Ref source = Ref::checked(PyBytes_FromStringAndSize(wrapped.data(), static_cast<Py_ssize_t>(wrapped.size())));
        Ref run = Ref::steal(PyObject_CallFunctionObjArgs(fromstring.get(), source.get(), nullptr));
        Ref element = run ? Ref::steal(PySequence_GetItem(run.get(), 0)) : Ref();
        Ref font = element ? Ref::steal(PyObject_CallMethodObjArgs(font_class.get(), names.from_tree,
                                                                   element.get(), nullptr))
                           : Ref();
        if (!font) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw_error_set();
            }
            // openpyxl's reader of the table then says what is wrong.
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The shared strings natively, read from the member a chunk at a time as
// openpyxl's reader reads it; openpyxl's reader of them, on the member opened
// again as its load opens it, when the part is unusual.
Ref shared_strings(PyObject* excel_module, PyObject* archive, PyObject* path)
{
    Ref list = new_list();
    // Filled with nothing but strings, which can form no reference cycle:
    // a list of a million of them, tracked, would be visited item by item
    // by every collection that looks at it. The sheet reading tracks it
    // again should it ever hold anything else.
    PyObject_GC_UnTrack(list.get());
    std::vector<std::string> run_properties;
    bool native = false;
    {
        MemberSource source(archive, path, sheet_chunk);
        native = sheet::read_shared_strings(
            source,
            [&list](std::string_view text) {
                Ref item =
                    Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
                return item && PyList_Append(list.get(), item.get()) == 0;
            },
            run_properties);
    }
    if (PyErr_Occurred()) {
        throw_error_set();  // out of memory, or an interrupt
    }
    if (native && run_properties_accepted(run_properties)) {
        return list;
    }
    list.reset();
    Ref reader = global_of(excel_module, names.read_string_table);
    Ref source = call_method(archive, names.open, {path});
    Ref strings = Ref::steal(PyObject_CallFunctionObjArgs(reader.get(), source.get(), nullptr));
    if (!strings) {
        PendingError pending;
        Ref closed = Ref::steal(PyObject_CallMethodObjArgs(source.get(), names.close, nullptr));
        if (!closed) {
            settle_failed_close(pending);
        }
        else {
            pending.restore();
        }
        throw_error_set();
    }
    call_method(source.get(), names.close);
    return strings;
}

// A worksheet object as openpyxl's ReadOnlyWorksheet(...) makes it, with its
// size read natively; the constructor itself when the part's beginning is
// unusual.
Ref read_only_worksheet(const RouteLibraries& libraries, PyObject* workbook, PyObject* archive,
                        PyObject* title, PyObject* path, PyObject* strings)
{
    Ref worksheet_class = global_of(libraries.reader_excel.get(), names.ReadOnlyWorksheet);
    sheet::Dimension dimension;
    bool known = false;
    {
        MemberSource source(archive, path, dimension_probe);
        known = sheet::read_dimension(source, dimension);
    }
    pass_on_interrupt();
    if (!known) {
        return call(worksheet_class.get(), {workbook, title, path, strings});
    }
    Ref worksheet = call_method(worksheet_class.get(), names.__new__, {worksheet_class.get()});
    set_attr(worksheet.get(), names.parent, workbook);
    set_attr(worksheet.get(), names.title, title);
    set_attr(worksheet.get(), names.sheet_state, names.visible);
    set_attr(worksheet.get(), names._current_row, Py_None);
    set_attr(worksheet.get(), names._worksheet_path, path);
    set_attr(worksheet.get(), names._shared_strings, strings);
    if (dimension.found) {
        Ref dimension_class = global_of(libraries.sheet_reader.get(), names.SheetDimension);
        Ref ref = Ref::checked(PyUnicode_DecodeUTF8(dimension.ref.data(),
                                                    static_cast<Py_ssize_t>(dimension.ref.size()), "strict"));
        Ref record = call(dimension_class.get(), {}, {{names.ref, ref.get()}});
        Ref bounds = get_attr(record.get(), names.boundaries);
        if (bounds.get() != Py_None) {
            Ref items = Ref::checked(PySequence_Tuple(bounds.get()));
            if (PyTuple_GET_SIZE(items.get()) != 4) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 4)");
                throw_error_set();
            }
            PyObject* const targets[] = {names._min_column, names._min_row, names._max_column, names._max_row};
            for (Py_ssize_t i = 0; i < 4; ++i) {
                set_attr(worksheet.get(), targets[i], PyTuple_GET_ITEM(items.get(), i));
            }
        }
    }
    Ref names_class = global_of(libraries.read_only.get(), names.DefinedNameDict);
    Ref defined = call(names_class.get(), {});
    set_attr(worksheet.get(), names.defined_names, defined.get());
    return worksheet;
}

// openpyxl's ExcelReader.read_chartsheet: a chart sheet is read in full.
void read_chartsheet(PyObject* excel, PyObject* archive, PyObject* valid_files, PyObject* workbook,
                     PyObject* sheet, PyObject* sheet_path)
{
    Ref get_rels_path = global_of(excel, names.get_rels_path);
    Ref rels_path = call(get_rels_path.get(), {sheet_path});
    Ref rels = new_list();
    if (contains(valid_files, rels_path.get())) {
        Ref get_dependents = global_of(excel, names.get_dependents);
        rels = call(get_dependents.get(), {archive, rels_path.get()});
    }
    Ref source = call_method(archive, names.open, {sheet_path, names.r_mode});
    Ref xml_text = Ref::steal(PyObject_CallMethodObjArgs(source.get(), names.read, nullptr));
    {
        PendingError pending;
        Ref closed = Ref::steal(PyObject_CallMethodObjArgs(source.get(), names.close, nullptr));
        if (!closed && pending.value() == nullptr) {
            throw_error_set();
        }
        if (!closed) {
            settle_failed_close(pending);
        }
        else if (pending.value() != nullptr) {
            pending.restore();
        }
    }
    if (!xml_text) {
        throw_error_set();
    }
    Ref fromstring = global_of(excel, names.fromstring);
    Ref node = call(fromstring.get(), {xml_text.get()});
    Ref chartsheet_class = global_of(excel, names.Chartsheet);
    Ref chartsheet = call_method(chartsheet_class.get(), names.from_tree, {node.get()});
    set_attr(chartsheet.get(), names._parent, workbook);
    Ref title = get_attr(sheet, names.name);
    set_attr(chartsheet.get(), names.title, title.get());
    call_method(workbook, names._add_sheet, {chartsheet.get()});
    Ref drawing_class = global_of(excel, names.SpreadsheetDrawing);
    Ref drawing_type = get_attr(drawing_class.get(), names._rel_type);
    Ref drawings = call_method(rels.get(), names.find, {drawing_type.get()});
    Ref drawings_iter = get_iter(drawings.get());
    Ref find_images = global_of(excel, names.find_images);
    for (;;) {
        Ref drawing = next_item(drawings_iter.get());
        if (!drawing) {
            break;
        }
        Ref target = get_attr(drawing.get(), names.target);
        Ref found = call(find_images.get(), {archive, target.get()});
        auto [charts, images] = unpack_pair(found.get());
        Ref charts_iter = get_iter(charts.get());
        for (;;) {
            Ref chart = next_item(charts_iter.get());
            if (!chart) {
                break;
            }
            call_method(chartsheet.get(), names.add_chart, {chart.get()});
        }
    }
}

// What the load leaves for the sheet reading: the workbook, its shared
// strings and the worksheets it made.
struct LoadedBook {
    Ref workbook;
    Ref strings;
    Ref worksheets;  // list
};

// openpyxl's ExcelReader.read(), step by step; `action` names the step for
// the ValueError openpyxl raises when a step fails with one.
Ref load_book(const RouteLibraries& libraries, PyObject* handle, LoadedBook& loaded, const char*& action)
{
    PyObject* excel = libraries.reader_excel.get();
    Ref zip_file = global_of(excel, names.ZipFile);
    Ref archive = call(zip_file.get(), {handle, names.r_mode});
    Ref valid_files = call_method(archive.get(), names.namelist);
    loaded.workbook.reset();
    try {
        action = "read manifest";
        Ref fromstring = global_of(excel, names.fromstring);
        Ref content_types_name = global_of(excel, names.ARC_CONTENT_TYPES);
        Ref manifest_source = call_method(archive.get(), names.read, {content_types_name.get()});
        Ref manifest_root = call(fromstring.get(), {manifest_source.get()});
        Ref manifest_class = global_of(excel, names.Manifest);
        Ref package = call_method(manifest_class.get(), names.from_tree, {manifest_root.get()});

        action = "read strings";
        Ref shared_type = global_of(excel, names.SHARED_STRINGS);
        Ref shared_part = call_method(package.get(), names.find, {shared_type.get()});
        Ref strings;
        if (shared_part.get() != Py_None) {
            Ref part_name = get_attr(shared_part.get(), names.PartName);
            Ref strings_path = Ref::checked(PySequence_GetSlice(part_name.get(), 1, PY_SSIZE_T_MAX));
            strings = shared_strings(excel, archive.get(), strings_path.get());
        }
        else {
            strings = new_list();
        }

        action = "read workbook";
        Ref find_part = global_of(excel, names._find_workbook_part);
        Ref workbook_part = call(find_part.get(), {package.get()});
        Ref part_name = get_attr(workbook_part.get(), names.PartName);
        Ref workbook_path = Ref::checked(PySequence_GetSlice(part_name.get(), 1, PY_SSIZE_T_MAX));
        Ref parser_class = global_of(excel, names.WorkbookParser);
        Ref parser = call(parser_class.get(), {archive.get(), workbook_path.get()},
                          {{names.keep_links, Py_False}});
        call_method(parser.get(), names.parse);
        Ref workbook = get_attr(parser.get(), names.wb);
        Ref sheets = new_list();
        set_attr(workbook.get(), names._sheets, sheets.get());
        set_attr(workbook.get(), names._data_only, Py_True);
        set_attr(workbook.get(), names._read_only, Py_True);
        Ref content_type = get_attr(workbook_part.get(), names.ContentType);
        Ref xltx = global_of(excel, names.XLTX);
        Ref xltm = global_of(excel, names.XLTM);
        Ref templates = Ref::checked(PyTuple_Pack(2, xltx.get(), xltm.get()));
        const bool is_template = contains(templates.get(), content_type.get());
        set_attr(workbook.get(), names.template_attr, is_template ? Py_True : Py_False);
        set_attr(workbook.get(), names._archive, archive.get());

        action = "read properties";
        Ref core_name = global_of(excel, names.ARC_CORE);
        if (contains(valid_files.get(), core_name.get())) {
            Ref source = call_method(archive.get(), names.read, {core_name.get()});
            Ref root = call(fromstring.get(), {source.get()});
            Ref cls = global_of(excel, names.DocumentProperties);
            Ref properties = call_method(cls.get(), names.from_tree, {root.get()});
            set_attr(workbook.get(), names.properties, properties.get());
        }

        action = "read custom properties";
        Ref custom_name = global_of(excel, names.ARC_CUSTOM);
        if (contains(valid_files.get(), custom_name.get())) {
            Ref source = call_method(archive.get(), names.read, {custom_name.get()});
            Ref root = call(fromstring.get(), {source.get()});
            Ref cls = global_of(excel, names.CustomPropertyList);
            Ref custom = call_method(cls.get(), names.from_tree, {root.get()});
            set_attr(workbook.get(), names.custom_doc_props, custom.get());
        }

        action = "read theme";
        Ref theme_name = global_of(excel, names.ARC_THEME);
        if (contains(valid_files.get(), theme_name.get())) {
            Ref theme = call_method(archive.get(), names.read, {theme_name.get()});
            set_attr(workbook.get(), names.loaded_theme, theme.get());
        }

        action = "read stylesheet";
        Ref apply_stylesheet = global_of(excel, names.apply_stylesheet);
        call(apply_stylesheet.get(), {archive.get(), workbook.get()});

        action = "read worksheets";
        Ref worksheets = new_list();
        Ref found = call_method(parser.get(), names.find_sheets);
        Ref found_iter = get_iter(found.get());
        Ref get_rels_path = global_of(excel, names.get_rels_path);
        Ref relationship_list = global_of(excel, names.RelationshipList);
        Ref get_dependents = global_of(excel, names.get_dependents);
        for (;;) {
            Ref pair = next_item(found_iter.get());
            if (!pair) {
                break;
            }
            auto [sheet, rel] = unpack_pair(pair.get());
            Ref target = get_attr(rel.get(), names.target);
            if (!contains(valid_files.get(), target.get())) {
                continue;
            }
            Ref rel_type = get_attr(rel.get(), names.Type);
            if (contains(rel_type.get(), names.chartsheet)) {
                read_chartsheet(excel, archive.get(), valid_files.get(), workbook.get(), sheet.get(),
                                target.get());
                continue;
            }
            Ref rels_path = call(get_rels_path.get(), {target.get()});
            Ref rels = call(relationship_list.get(), {});
            if (contains(valid_files.get(), rels_path.get())) {
                rels = call(get_dependents.get(), {archive.get(), rels_path.get()});
            }
            Ref title = get_attr(sheet.get(), names.name);
            Ref worksheet = read_only_worksheet(libraries, workbook.get(), archive.get(), title.get(),
                                                target.get(), strings.get());
            Ref state = get_attr(sheet.get(), names.state);
            set_attr(worksheet.get(), names.sheet_state, state.get());
            list_append(sheets.get(), worksheet.get());
            list_append(worksheets.get(), worksheet.get());
        }

        action = "assign names";
        call_method(parser.get(), names.assign_names);

        loaded.workbook = workbook.dup();
        loaded.strings = std::move(strings);
        loaded.worksheets = std::move(worksheets);
        return workbook;
    }
    catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw;
        }
        PendingError cause;
        Ref filename = get_attr(archive.get(), names.filename);
        Ref filename_text = text_of(filename.get());
        Ref action_text = text(action);
        Ref message = concat({names.value_error_read_prefix, action_text.get(), names.value_error_from,
                              filename_text.get(), names.value_error_suffix});
        Ref error = call(PyExc_ValueError, {message.get()});
        PyObject* cause_value = cause.value();
        Py_XINCREF(cause_value);
        PyException_SetCause(error.get(), cause_value);
        Py_XINCREF(cause_value);
        PyException_SetContext(error.get(), cause_value);
        PyErr_SetObject(PyExc_ValueError, error.get());
        throw_error_set();
    }
}

Ref plain_load_workbook(PyObject* self, PyObject* args)
{
    RouteLibraries libraries;
    Ref openpyxl_reader;
    {
        // The engine class the route's class derives from.
        PyObject* mro = Py_TYPE(self)->tp_mro;
        if (mro == nullptr || PyTuple_GET_SIZE(mro) < 2) {
            PyErr_SetString(PyExc_TypeError, "load_workbook");
            throw_error_set();
        }
        openpyxl_reader = Ref::borrow(PyTuple_GET_ITEM(mro, 1));
    }
    Ref method = get_attr(openpyxl_reader.get(), names.load_workbook);
    Ref full_args = Ref::checked(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    Py_INCREF(self);
    PyTuple_SET_ITEM(full_args.get(), 0, self);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(full_args.get(), i + 1, item);
    }
    return Ref::checked(PyObject_Call(method.get(), full_args.get(), nullptr));
}

Ref load_workbook_body(PyObject* self, PyObject* args)
{
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1 || PyTuple_GET_SIZE(args) > 2) {
        return plain_load_workbook(self, args);
    }
    if (PyTuple_GET_SIZE(args) == 2) {
        PyObject* engine_kwargs = PyTuple_GET_ITEM(args, 1);
        if (!PyDict_CheckExact(engine_kwargs) || PyDict_GET_SIZE(engine_kwargs) != 0) {
            return plain_load_workbook(self, args);
        }
    }
    PyObject* handle = PyTuple_GET_ITEM(args, 0);
    RouteLibraries libraries;
    if (!route_libraries(libraries)) {
        return plain_load_workbook(self, args);
    }
    LoadedBook loaded;
    const char* action = "";
    Ref workbook = load_book(libraries, handle, loaded, action);
    Ref state = Ref::checked(PyTuple_Pack(3, loaded.workbook.get(), loaded.strings.get(), loaded.worksheets.get()));
    set_attr(self, names.native_state, state.get());
    return workbook;
}

}  // namespace

// The methods are C functions bound as instance methods: the instance comes
// first in the arguments.
PyObject* native_load_workbook(PyObject*, PyObject* args) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) < 1) {
            PyErr_SetString(PyExc_TypeError, "load_workbook() missing 'self'");
            throw_error_set();
        }
        Ref rest = Ref::checked(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
        return load_workbook_body(PyTuple_GET_ITEM(args, 0), rest.get()).release();
    });
}

}  // namespace xt
