// read_excel_by_cells: reads the first sheet of a workbook from the topmost
// mapped row down, takes the mapped columns and names them, and drops the rows
// in which every column is empty.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "read_bodies.hpp"
#include "excel_native_route.hpp"
#include "reader_support.hpp"

namespace xt {

namespace {

// Zero-based sheet column of upper- or lower-case ASCII letters, counted as
// spreadsheets count them (A is 0, AA is 26); nothing for any other value or
// for an index past 64 bits, which the library is then left to judge alone.
std::optional<int64_t> column_position(PyObject* letters)
{
    if (!PyUnicode_CheckExact(letters) || !PyUnicode_IS_ASCII(letters)) {
        return std::nullopt;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(letters);
    const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(letters));
    if (length == 0) {
        return std::nullopt;
    }
    int64_t index = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        unsigned char c = chars[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - ('a' - 'A'));
        }
        if (c < 'A' || c > 'Z') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(index, int64_t{26}, &index) ||
            __builtin_add_overflow(index, int64_t{c - 'A' + 1}, &index)) {
            return std::nullopt;
        }
    }
    return index - 1;
}

// The library selects the `usecols` columns in sheet order, left to right,
// and puts the names it is given on them in that order. So that every name
// lands on the column of its own cell, the names go to the library in the
// sheet order of their columns. The result is an empty Ref when that order is
// the mapping order already, or when it is not well defined (a column letter
// used twice, or letters the reader cannot place): then the names go as they
// stand and the library's own rules apply.
Ref names_in_sheet_order(PyObject* cols, PyObject* names_list)
{
    const Py_ssize_t count = PyList_GET_SIZE(cols);
    std::vector<std::pair<int64_t, Py_ssize_t>> order;
    order.reserve(static_cast<std::size_t>(count));
    bool ascending = true;
    for (Py_ssize_t k = 0; k < count; ++k) {
        const std::optional<int64_t> position = column_position(PyList_GET_ITEM(cols, k));
        if (!position) {
            return Ref();
        }
        if (!order.empty() && *position <= order.back().first) {
            ascending = false;
        }
        order.emplace_back(*position, k);
    }
    if (ascending) {
        return Ref();
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (order[k].first == order[k - 1].first) {
            return Ref();
        }
    }
    Ref sorted = Ref::checked(PyList_New(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* name = PyList_GET_ITEM(names_list, order[static_cast<std::size_t>(k)].second);
        Py_INCREF(name);
        PyList_SET_ITEM(sorted.get(), k, name);
    }
    return sorted;
}

// The zero-based sheet columns `cols` names, for the native route's bounds;
// None when a letter cannot be placed (the route then reads every column).
Ref selected_columns(PyObject* cols)
{
    const Py_ssize_t count = PyList_GET_SIZE(cols);
    Ref columns = Ref::checked(PyTuple_New(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const std::optional<int64_t> position = column_position(PyList_GET_ITEM(cols, k));
        if (!position) {
            return Ref::borrow(Py_None);
        }
        PyTuple_SET_ITEM(columns.get(), k, Ref::checked(PyLong_FromLongLong(*position)).release());
    }
    return columns;
}

void warn_invalid_cell(PyObject* cell, PyObject* name)
{
    Ref cell_text = text_of(cell);
    Ref name_text = text_of(name);
    Ref message =
        concat({names.excel_invalid_cell, cell_text.get(), names.for_column, name_text.get()});
    log_message(names.warning, message.get());
}

}  // namespace

Ref read_excel_by_cells_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* file_path = args[0];
    PyObject* cell_mapping = args[1];

    frame.at(24);
    if (!path_exists(file_path)) {
        frame.at(25);
        Ref message = concat({names.excel_not_found, file_path});
        log_message(names.warning, message.get());
        frame.at(26);
        return empty_frame();
    }

    frame.at(28);
    Ref cols = new_list();
    frame.at(29);
    Ref rows = new_list();
    frame.at(30);
    Ref names_list = new_list();

    frame.at(32);
    Ref entries = mapping_items(cell_mapping);
    for (;;) {
        frame.at(32);
        Ref entry = next_item(entries.get());
        if (!entry) {
            break;
        }
        auto [name, cell] = unpack_pair(entry.get());
        entry.reset();

        frame.at(33);
        Ref parse = lookup_global(names.parse_cell);
        Ref parsed = call(parse.get(), {cell.get()});
        auto [col, row] = unpack_pair(parsed.get());
        parsed.reset();

        frame.at(34);
        if (is_true(col.get()) && is_true(row.get())) {
            frame.at(35);
            list_append(cols.get(), col.get());
            frame.at(36);
            list_append(rows.get(), row.get());
            frame.at(37);
            list_append(names_list.get(), name.get());
        }
        else {
            frame.at(39);
            warn_invalid_cell(cell.get(), name.get());
        }
    }

    frame.at(41);
    if (PyList_GET_SIZE(cols.get()) == 0) {
        frame.at(42);
        log_message(names.warning, names.no_valid_columns);
        frame.at(43);
        return empty_frame();
    }

    // Every column starts at the topmost mapped row.
    frame.at(45);
    Ref start_row = call(builtin_min_function(), {rows.get()});
    frame.at(46);
    Ref skip_rows = row_offset(start_row.get());
    frame.at(47);
    Ref use_cols = Ref::checked(PyUnicode_Join(names.comma, cols.get()));

    try {
        frame.at(50);
        Ref sheet_order = names_in_sheet_order(cols.get(), names_list.get());
        PyObject* read_names = sheet_order ? sheet_order.get() : names_list.get();
        Ref columns = selected_columns(cols.get());
        RoutedResult routed = read_excel_natively(file_path, use_cols.get(), skip_rows.get(),
                                                  read_names, columns.get());
        Ref df;
        if (routed) {
            df = std::move(*routed);
        }
        else {
            Ref pandas = lookup_global(names.pd);
            Ref read_excel = get_attr(pandas.get(), names.read_excel);
            df = call(read_excel.get(), {file_path},
                      {{names.usecols, use_cols.get()},
                       {names.skiprows, skip_rows.get()},
                       {names.header, Py_None},
                       {names.names, read_names}});
        }
        if (sheet_order) {
            // Back to the mapping order, as the caller listed the columns.
            df = get_item(df.get(), names_list.get());
        }
        frame.at(57);
        Ref dropna = get_attr(df.get(), names.dropna);
        df = call(dropna.get(), {}, {{names.how, names.all}});
        frame.at(58);
        return df;
    }
    catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
    }
    frame.at(59);
    PendingError caught;
    HandlingScope handling(caught);
    frame.at(60);
    Ref error_text = text_of(caught.value());
    Ref message = concat({names.excel_read_error, file_path, names.colon_blank, error_text.get()});
    log_message(names.error, message.get());
    frame.at(61);
    return empty_frame();
}

}  // namespace xt
