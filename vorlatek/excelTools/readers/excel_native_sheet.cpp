// The sheet reading of the route's openpyxl engine: get_sheet_data parses
// the sheet's cells natively into exactly the rows pandas' openpyxl engine
// hands to its parser (see excel_native_route.hpp), reading the parts of the
// sheet other than its cells with openpyxl's classes; the engine's own
// get_sheet_data whenever anything is unusual.
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

Ref plain_get_sheet_data(PyObject* self, PyObject* args, PyObject* kwargs)
{
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (mro == nullptr || PyTuple_GET_SIZE(mro) < 2) {
        PyErr_SetString(PyExc_TypeError, "get_sheet_data");
        throw_error_set();
    }
    Ref method = get_attr(PyTuple_GET_ITEM(mro, 1), names.get_sheet_data);
    Ref full_args = Ref::checked(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    Py_INCREF(self);
    PyTuple_SET_ITEM(full_args.get(), 0, self);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(full_args.get(), i + 1, item);
    }
    return Ref::checked(PyObject_Call(method.get(), full_args.get(), kwargs));
}

// The selection the route put on the reader: the zero-based columns it
// selects and the number of names. pandas' parser compares the table's width
// with the number of names (more names than columns: the names label every
// column) and with the selected columns (one beyond the width: refused), so
// a narrower table must keep it on the same side of both: at least one wider
// than the names and than the rightmost selected column.
ColumnSelection selection_of(PyObject* self)
{
    ColumnSelection selection;
    Ref bounds = attribute_or_nothing(self, names.native_columns);
    if (!bounds) {
        return selection;
    }
    if (!PyTuple_CheckExact(bounds.get()) || PyTuple_GET_SIZE(bounds.get()) != 2) {
        return selection;
    }
    PyObject* columns = PyTuple_GET_ITEM(bounds.get(), 0);
    PyObject* name_count = PyTuple_GET_ITEM(bounds.get(), 1);
    if (!PyTuple_CheckExact(columns) || PyTuple_GET_SIZE(columns) == 0 || !PyLong_CheckExact(name_count)) {
        return selection;
    }
    const long names_given = PyLong_AsLong(name_count);
    if (names_given < 0 || names_given > 100000) {
        PyErr_Clear();
        return selection;
    }
    std::size_t width = static_cast<std::size_t>(names_given) + 1;
    std::vector<std::size_t> indices;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        PyObject* item = PyTuple_GET_ITEM(columns, i);
        const long value = PyLong_CheckExact(item) ? PyLong_AsLong(item) : -1;
        if (value < 0 || value > 100000) {
            PyErr_Clear();
            return ColumnSelection();
        }
        indices.push_back(static_cast<std::size_t>(value));
        width = std::max(width, static_cast<std::size_t>(value) + 1);
    }
    selection.bounded = true;
    selection.selected.assign(width, false);
    for (std::size_t index : indices) {
        selection.selected[index] = true;
    }
    return selection;
}

// The style indices whose numbers openpyxl reads as dates (1) or durations
// (2); false when the sets hold anything but ints.
bool date_styles(PyObject* workbook, std::vector<std::uint8_t>& styles)
{
    Ref dates = get_attr(workbook, names._date_formats);
    Ref durations = get_attr(workbook, names._timedelta_formats);
    for (int pass = 0; pass < 2; ++pass) {
        PyObject* set = pass == 0 ? dates.get() : durations.get();
        // A set, or the empty dict a workbook without styles keeps: `in`
        // asks for its members (keys) either way.
        if (Py_TYPE(set) != &PySet_Type && Py_TYPE(set) != &PyFrozenSet_Type && !PyDict_CheckExact(set)) {
            return false;
        }
        Ref iterator = get_iter(set);
        for (;;) {
            Ref item = next_item(iterator.get());
            if (!item) {
                break;
            }
            if (!PyLong_CheckExact(item.get())) {
                return false;
            }
            const long index = PyLong_AsLong(item.get());
            if (index == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            if (index < 0 || index > 10000000) {
                continue;  // no cell's style is negative or that large here
            }
            if (styles.size() <= static_cast<std::size_t>(index)) {
                styles.resize(static_cast<std::size_t>(index) + 1, 0);
            }
            if (pass == 0) {
                styles[static_cast<std::size_t>(index)] = 1;
            }
            else if (styles[static_cast<std::size_t>(index)] == 1) {
                styles[static_cast<std::size_t>(index)] = 2;  // a duration only when also a date
            }
        }
    }
    return true;
}

// The parts of the worksheet other than its cells, read as openpyxl's
// worksheet parser reads them (with its classes), so that what it would
// raise is raised. False when openpyxl would warn.
bool read_other_parts(const RouteLibraries& libraries, const sheet::SheetOutline& outline)
{
    if (outline.other_parts.empty()) {
        return true;
    }
    std::string document(outline.root_start_tag);
    for (const std::string& piece : outline.other_parts) {
        document.append(piece);
    }
    document.append("</");
    document.append(outline.root_name);
    document.append(">");

    PyObject* reader = libraries.sheet_reader.get();
    Ref content = Ref::checked(PyBytes_FromStringAndSize(document.data(), static_cast<Py_ssize_t>(document.size())));
    Ref io_module = Ref::checked(PyImport_Import(names.io));
    Ref buffer = call_method(io_module.get(), names.BytesIO, {content.get()});
    Ref iterparse = global_of(reader, names.iterparse);
    Ref events = call(iterparse.get(), {buffer.get()});
    Ref events_iter = get_iter(events.get());

    struct Handler {
        PyObject* tag_name;
        PyObject* class_name;  // null: one of the parser's own methods
    };
    static const Handler properties[] = {
        {names.PRINT_TAG, names.PrintOptions},        {names.MARGINS_TAG, names.PageMargins},
        {names.PAGE_TAG, names.PrintPageSetup},       {names.HEADER_TAG, names.HeaderFooter},
        {names.FILTER_TAG, names.AutoFilter},         {names.VALIDATION_TAG, names.DataValidationList},
        {names.PROPERTIES_TAG, names.WorksheetProperties}, {names.VIEWS_TAG, names.SheetViewList},
        {names.FORMAT_TAG, names.SheetFormatProperties},   {names.SCENARIOS_TAG, names.ScenarioList},
        {names.TABLE_TAG, names.TablePartList},       {names.HYPERLINK_TAG, names.HyperlinkList},
        {names.MERGE_TAG, names.MergeCells},          {names.ROW_BREAK_TAG, names.RowBreak},
        {names.COL_BREAK_TAG, names.ColBreak},        {names.LEGACY_TAG, names.Related},
    };
    Ref col_tag = global_of(reader, names.COL_TAG);
    Ref protection_tag = global_of(reader, names.PROT_TAG);
    Ref extension_tag = global_of(reader, names.EXT_TAG);
    Ref formatting_tag = global_of(reader, names.CF_TAG);
    Ref custom_views_tag = global_of(reader, names.CUSTOM_VIEWS_TAG);
    for (;;) {
        Ref event = next_item(events_iter.get());
        if (!event) {
            break;
        }
        auto [kind, element] = unpack_pair(event.get());
        Ref tag = get_attr(element.get(), names.tag);
        bool handled = false;
        auto same = [&tag](PyObject* other) {
            return check_status(PyObject_RichCompareBool(tag.get(), other, Py_EQ)) == 1;
        };
        if (same(col_tag.get())) {
            Ref attrib = get_attr(element.get(), names.attrib);
            Ref attributes = Ref::checked(PyDict_Copy(attrib.get()));
            Ref minimum = get_item(attributes.get(), names.min_key);
            Ref number = Ref::checked(PyNumber_Long(minimum.get()));
            Ref letter = global_of(reader, names.get_column_letter);
            call(letter.get(), {number.get()});
            handled = true;
        }
        else if (same(protection_tag.get())) {
            Ref cls = global_of(reader, names.SheetProtection);
            Ref protection = call_method(cls.get(), names.from_tree, {element.get()});
            Ref password = call_method(element.get(), names.get, {names.password});
            if (password.get() != Py_None) {
                call_method(protection.get(), names.set_password, {password.get(), Py_True});
            }
            handled = true;
        }
        else if (same(extension_tag.get())) {
            return false;  // openpyxl warns that it drops extensions
        }
        else if (same(formatting_tag.get())) {
            Ref cls = global_of(reader, names.ConditionalFormatting);
            Ref formatting = Ref::steal(PyObject_CallMethodObjArgs(cls.get(), names.from_tree, element.get(), nullptr));
            if (!formatting) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                    PyErr_Clear();
                    return false;  // openpyxl warns and discards the rule
                }
                throw_error_set();
            }
            handled = true;
        }
        else if (same(custom_views_tag.get())) {
            handled = true;
        }
        else {
            for (const Handler& handler : properties) {
                Ref handler_tag = global_of(reader, handler.tag_name);
                if (same(handler_tag.get())) {
                    Ref cls = global_of(reader, handler.class_name);
                    Ref parsed = call_method(cls.get(), names.from_tree, {element.get()});
                    if (handler.class_name == names.Related) {
                        get_attr(parsed.get(), names.id);
                    }
                    handled = true;
                    break;
                }
            }
        }
        if (handled) {
            call_method(element.get(), names.clear);
        }
    }
    return true;
}

Ref get_sheet_data_body(PyObject* self, PyObject* args, PyObject* kwargs)
{
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) || PyTuple_GET_SIZE(args) < 1 ||
        PyTuple_GET_SIZE(args) > 2 || (PyTuple_GET_SIZE(args) == 2 && PyTuple_GET_ITEM(args, 1) != Py_None)) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    PyObject* worksheet = PyTuple_GET_ITEM(args, 0);
    // Without the route's state (an ordinary failure to read it included)
    // the engine's own reading runs; an interrupt goes on.
    Ref state = attribute_or_nothing(self, names.native_state);
    if (!state) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    RouteLibraries libraries;
    Ref book = attribute_or_nothing(self, names.book);
    if (!book) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    if (!PyTuple_CheckExact(state.get()) || PyTuple_GET_SIZE(state.get()) != 3 ||
        PyTuple_GET_ITEM(state.get(), 0) != book.get() || !route_libraries(libraries)) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    PyObject* strings = PyTuple_GET_ITEM(state.get(), 1);
    PyObject* worksheets = PyTuple_GET_ITEM(state.get(), 2);
    bool ours = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(worksheets); ++i) {
        ours = ours || PyList_GET_ITEM(worksheets, i) == worksheet;
    }
    Ref worksheet_class = global_of(libraries.reader_excel.get(), names.ReadOnlyWorksheet);
    if (!ours || reinterpret_cast<PyObject*>(Py_TYPE(worksheet)) != worksheet_class.get() ||
        !PyList_CheckExact(strings)) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    Ref sheet_strings = get_attr(worksheet, names._shared_strings);
    Ref parent = get_attr(worksheet, names.parent);
    if (sheet_strings.get() != strings || parent.get() != book.get()) {
        return plain_get_sheet_data(self, args, kwargs);
    }

    // The read runs Python code (the archive's reads, the date conversions),
    // which may change the workbook's list; the cells index a snapshot.
    Ref string_snapshot = Ref::checked(PyList_AsTuple(strings));
    const Py_ssize_t string_count = PyTuple_GET_SIZE(string_snapshot.get());
    CellReading reading;
    reading.strings = string_snapshot.get();
    reading.empty_strings.resize(static_cast<std::size_t>(string_count));
    for (Py_ssize_t i = 0; i < string_count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(string_snapshot.get(), i);
        if (!PyUnicode_CheckExact(item)) {
            if (!gc_is_tracked(strings)) {
                PyObject_GC_Track(strings);  // see shared_strings() of the load
            }
            return plain_get_sheet_data(self, args, kwargs);
        }
        reading.empty_strings[static_cast<std::size_t>(i)] = PyUnicode_GET_LENGTH(item) == 0;
    }
    // A tuple of strings holds no reference cycle: the collector would stop
    // tracking it at its first look, after visiting every one of its (up to
    // millions of) items.
    PyObject_GC_UnTrack(string_snapshot.get());
    if (!date_styles(book.get(), reading.date_styles)) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    Ref epoch = get_attr(book.get(), names.epoch);
    Ref from_excel = global_of(libraries.sheet_reader.get(), names.from_excel);
    Ref from_iso = global_of(libraries.sheet_reader.get(), names.from_ISO8601);
    reading.epoch = epoch.get();
    reading.epoch_kind = epoch_kind_of(epoch.get());
    reading.from_excel = from_excel.get();
    reading.from_iso8601 = from_iso.get();
    reading.nan = libraries.numpy_nan.get();

    Ref archive = get_attr(book.get(), names._archive);
    Ref path = get_attr(worksheet, names._worksheet_path);
    Ref rows;
    {
        const ColumnSelection selection = selection_of(self);
        PandasSheetRows sink(reading, selection);
        sheet::SheetOutline outline;
        bool read = false;
        {
            MemberSource source(archive.get(), path.get(), sheet_chunk);
            read = sheet::read_sheet(source, static_cast<std::size_t>(string_count), max_sheet_row,
                                     sink, outline);
        }
        pass_on_interrupt();
        if (read) {
            rows = sink.finish();
        }
        if (!rows || !read_other_parts(libraries, outline)) {
            rows.reset();
        }
    }
    if (!rows) {
        return plain_get_sheet_data(self, args, kwargs);
    }
    // The engine's get_sheet_data of pandas 2 resets a read-only sheet's
    // size before reading it and leaves it so; that of pandas 3 puts the
    // size back (it stores _max_row). The verified code tells which.
    PyObject* engine_method = class_attribute(as_type(libraries.openpyxl_reader), names.get_sheet_data);
    if (library_check::code_uses_name(engine_method, "reset_dimensions") &&
        !library_check::code_uses_name(engine_method, "_max_row")) {
        set_attr(worksheet, names._max_row, Py_None);
        set_attr(worksheet, names._max_column, Py_None);
    }
    return rows;
}

}  // namespace

// The method is a C function bound as an instance method: the instance
// comes first in the arguments.
PyObject* native_get_sheet_data(PyObject*, PyObject* args, PyObject* kwargs) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) < 1) {
            PyErr_SetString(PyExc_TypeError, "get_sheet_data() missing 'self'");
            throw_error_set();
        }
        Ref rest = Ref::checked(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
        return get_sheet_data_body(PyTuple_GET_ITEM(args, 0), rest.get(), kwargs).release();
    });
}

}  // namespace xt
