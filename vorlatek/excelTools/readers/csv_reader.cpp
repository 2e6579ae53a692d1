// read_csv_by_cells: reads a header-less CSV file as texts, trying the
// encodings "utf-8-sig", "cp932", "cp950" and "utf-8" in turn, cuts every
// mapped column from its own row down, sets the cut columns side by side from
// the top and drops the rows in which every column is empty. A file whose
// first line is narrower than a later one (a title above the table) is read
// again as wide as its widest line.
#include <Python.h>

#include <utility>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "read_bodies.hpp"
#include "csv_widening.hpp"
#include "reader_support.hpp"

namespace xt {

namespace {

Ref encodings_to_try()
{
    Ref encodings = Ref::checked(PyList_New(4));
    PyObject* const order[] = {names.utf_8_sig, names.cp932, names.cp950, names.utf_8};
    Py_ssize_t k = 0;
    for (PyObject* encoding : order) {
        Py_INCREF(encoding);
        PyList_SET_ITEM(encodings.get(), k++, encoding);
    }
    return encodings;
}

Ref read_attempt(PyObject* file_path, PyObject* encoding)
{
    Ref pandas = lookup_global(names.pd);
    Ref read_csv = get_attr(pandas.get(), names.read_csv);
    return call(read_csv.get(), {file_path},
                {{names.header, Py_None},
                 {names.encoding, encoding},
                 {names.dtype, reinterpret_cast<PyObject*>(&PyUnicode_Type)}});
}

bool compare(PyObject* left, PyObject* right, int op)
{
    return check_status(PyObject_RichCompareBool(left, right, op)) == 1;
}

// 0 <= col_idx < len(df_raw.columns); the width is taken only when the
// index is not negative.
bool column_within(PyObject* col_idx, PyObject* df_raw)
{
    Ref zero = Ref::checked(PyLong_FromLong(0));
    if (!compare(zero.get(), col_idx, Py_LE)) {
        return false;
    }
    Ref columns = get_attr(df_raw, names.columns);
    const Py_ssize_t width = PyObject_Length(columns.get());
    if (width < 0) {
        throw_error_set();
    }
    Ref width_value = Ref::checked(PyLong_FromSsize_t(width));
    return compare(col_idx, width_value.get(), Py_LT);
}

// df_raw.iloc[start_idx:, col_idx].reset_index(drop=True)
Ref cut_column(PyObject* df_raw, PyObject* start_idx, PyObject* col_idx)
{
    Ref iloc = get_attr(df_raw, names.iloc);
    Ref rows = Ref::checked(PySlice_New(start_idx, nullptr, nullptr));
    Ref key = Ref::checked(PyTuple_Pack(2, rows.get(), col_idx));
    Ref column = get_item(iloc.get(), key.get());
    Ref reset_index = get_attr(column.get(), names.reset_index);
    return call(reset_index.get(), {}, {{names.drop, Py_True}});
}

void warn_invalid_cell(PyObject* cell, PyObject* name)
{
    Ref cell_text = text_of(cell);
    Ref name_text = text_of(name);
    Ref message = concat(
        {names.csv_invalid_cell, cell_text.get(), names.quote_for_column, name_text.get()});
    log_message(names.warning, message.get());
}

void warn_out_of_bounds(PyObject* col_str, PyObject* name, PyObject* file_path)
{
    Ref col_text = text_of(col_str);
    Ref name_text = text_of(name);
    Ref message = concat({names.column_quote, col_text.get(), names.quote_out_of_bounds,
                          name_text.get(), names.in_blanks, file_path});
    log_message(names.warning, message.get());
}

}  // namespace

Ref read_csv_by_cells_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* file_path = args[0];
    PyObject* cell_mapping = args[1];

    frame.at(80);
    if (!path_exists(file_path)) {
        frame.at(81);
        Ref message = concat({names.csv_not_found, file_path});
        log_message(names.warning, message.get());
        frame.at(82);
        return empty_frame();
    }

    frame.at(84);
    Ref df_raw;
    frame.at(86);
    Ref encodings = encodings_to_try();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(encodings.get()); ++k) {
        frame.at(88);
        PyObject* enc = PyList_GET_ITEM(encodings.get(), k);
        try {
            frame.at(90);
            df_raw = read_attempt(file_path, enc);
            frame.at(91);
            break;
        }
        catch (const PyErrorSet&) {
            if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                // Not this encoding: quietly on to the next one.
                frame.at(92);
                PyErr_Clear();
                frame.at(93);
                continue;
            }
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
        }
        frame.at(94);
        PendingError caught;
        HandlingScope handling(caught);
        // A line wider than the first is no reason to give up: the file is
        // read again as wide as it is. Should that fail too, the first
        // exception is the one reported.
        frame.at(90);
        WidenedRead widened = read_as_wide_as_widest_line(file_path, enc, caught.value());
        if (widened.outcome == WidenedOutcome::read) {
            df_raw = std::move(widened.table);
            frame.at(91);
            break;
        }
        if (widened.outcome == WidenedOutcome::next_encoding) {
            frame.at(93);
            continue;
        }
        frame.at(95);
        Ref error_text = text_of(caught.value());
        Ref message = concat({names.csv_read_error, file_path, names.with_blanks, enc,
                              names.colon_blank, error_text.get()});
        log_message(names.error, message.get());
        frame.at(96);
        break;
    }

    frame.at(98);
    bool unreadable = !df_raw;
    if (!unreadable) {
        Ref empty = get_attr(df_raw.get(), names.empty);
        unreadable = is_true(empty.get());
    }
    if (unreadable) {
        frame.at(99);
        Ref message = concat({names.csv_unreadable, file_path});
        log_message(names.error, message.get());
        frame.at(100);
        return empty_frame();
    }

    frame.at(103);
    Ref result_dict = new_dict();
    frame.at(104);
    Ref entries = mapping_items(cell_mapping);
    for (;;) {
        frame.at(104);
        Ref entry = next_item(entries.get());
        if (!entry) {
            break;
        }
        auto [name, cell] = unpack_pair(entry.get());
        entry.reset();

        frame.at(105);
        Ref parse = lookup_global(names.parse_cell);
        Ref parsed = call(parse.get(), {cell.get()});
        auto [col_str, row_num] = unpack_pair(parsed.get());
        parsed.reset();

        frame.at(106);
        if (!is_true(col_str.get()) || !is_true(row_num.get())) {
            frame.at(116);
            warn_invalid_cell(cell.get(), name.get());
            continue;
        }
        frame.at(107);
        Ref to_index = lookup_global(names.col_str_to_index);
        Ref col_idx = call(to_index.get(), {col_str.get()});

        frame.at(109);
        if (!column_within(col_idx.get(), df_raw.get())) {
            frame.at(114);
            warn_out_of_bounds(col_str.get(), name.get(), file_path);
            continue;
        }
        frame.at(111);
        Ref start_idx = row_offset(row_num.get());
        frame.at(112);
        Ref column = cut_column(df_raw.get(), start_idx.get(), col_idx.get());
        set_item(result_dict.get(), name.get(), column.get());
    }

    frame.at(118);
    if (PyDict_GET_SIZE(result_dict.get()) == 0) {
        frame.at(119);
        return empty_frame();
    }
    frame.at(122);
    Ref pandas = lookup_global(names.pd);
    Ref data_frame = get_attr(pandas.get(), names.DataFrame);
    Ref result_df = call(data_frame.get(), {result_dict.get()});
    frame.at(123);
    Ref dropna = get_attr(result_df.get(), names.dropna);
    result_df = call(dropna.get(), {}, {{names.how, names.all}});
    frame.at(124);
    return result_df;
}

}  // namespace xt
