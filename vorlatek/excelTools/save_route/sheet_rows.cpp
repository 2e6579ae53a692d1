// One worksheet's rows as openpyxl writes them (worksheet/_writer.py
// WorksheetWriter.rows and write_row, cell/_writer.py _set_attributes and
// etree_write_cell or lxml_write_cell, compat/strings.py safe_string,
// utils/datetime.py to_excel).
#include "sheet_rows.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "cell_plan.hpp"
#include "row_batches.hpp"
#include "style_ids.hpp"

namespace xt {

namespace {

constexpr std::size_t cells_between_signal_checks = 8192;

}  // namespace

bool SheetRows::read_workbook_settings()
{
    workbook_ = attribute_or_nothing(worksheet_, layout_.parent_name.get());
    if (!workbook_ || Py_TYPE(workbook_.get()) != as_type(layout_.workbook_type)) {
        return false;
    }
    cell_styles_ = attribute_or_nothing(workbook_.get(), layout_.cell_styles_name.get());
    if (!cell_styles_ || Py_TYPE(cell_styles_.get()) != as_type(layout_.indexed_list_type)) {
        return false;
    }
    Ref iso_dates = attribute_or_nothing(workbook_.get(), layout_.iso_dates_name.get());
    if (!iso_dates || !PyBool_Check(iso_dates.get())) {
        return false;
    }
    iso_dates_ = iso_dates.get() == Py_True;
    Ref epoch = attribute_or_nothing(workbook_.get(), layout_.epoch_name.get());
    if (!epoch) {
        return false;
    }
    if (epoch.get() == layout_.windows_epoch.get()) {
        epoch_ = DayEpoch{date_ordinal(1899, 12, 30), true};
    }
    else if (epoch.get() == layout_.mac_epoch.get()) {
        epoch_ = DayEpoch{date_ordinal(1904, 1, 1), false};
    }
    else {
        return false;
    }
    return true;
}

bool SheetRows::collect()
{
    if (!ready_cell_plans()) {
        return false;
    }
    if (Py_TYPE(worksheet_) != as_type(layout_.worksheet_type) || !read_workbook_settings()) {
        return false;
    }
    // rows() adds an empty row for every row dimension; those and their
    // attributes are left to openpyxl.
    Ref dimensions = attribute_or_nothing(worksheet_, layout_.row_dimensions_name.get());
    if (!dimensions || Py_TYPE(dimensions.get()) != as_type(layout_.dimension_holder_type) ||
        PyDict_Size(dimensions.get()) != 0) {
        return false;
    }
    Ref cells = attribute_or_nothing(worksheet_, names.cells_attr);
    if (!cells || !PyDict_CheckExact(cells.get())) {
        return false;
    }
    const SheetFacts facts{layout_, worksheet_, epoch_, iso_dates_};
    entries_.clear();
    byte_bound_ = 0;
    entries_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(cells.get())));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* cell = nullptr;
    CellPlan plan;
    while (PyDict_Next(cells.get(), &position, &key, &cell)) {
        Entry entry;
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 ||
            !exact_long_long(PyTuple_GET_ITEM(key, 0), entry.row) ||
            !exact_long_long(PyTuple_GET_ITEM(key, 1), entry.column) || !plan_cell(facts, cell, plan)) {
            entries_.clear();
            return false;
        }
        entry.cell = Ref::borrow(cell);
        entries_.push_back(std::move(entry));
        byte_bound_ += cell_bound(plan.text ? PyUnicode_GET_LENGTH(plan.text.get()) : 0);
    }
    sort_entries();
    return true;
}

void SheetRows::sort_entries()
{
    // sorted(self.ws._cells.items()): by row, then column. The keys are
    // distinct, so any sort gives this one order.
    auto before = [](const Entry& a, const Entry& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    };
    if (entries_.empty() || std::is_sorted(entries_.begin(), entries_.end(), before)) {
        return;
    }
    long long first_row = entries_.front().row;
    long long last_row = first_row;
    for (const Entry& entry : entries_) {
        first_row = std::min(first_row, entry.row);
        last_row = std::max(last_row, entry.row);
    }
    const auto span = static_cast<unsigned long long>(last_row) -
                      static_cast<unsigned long long>(first_row);
    if (span >= 4 * static_cast<unsigned long long>(entries_.size())) {
        std::sort(entries_.begin(), entries_.end(), before);
        return;
    }
    // A frame's cells come a column at a time: one counting pass puts them
    // in row order, each row's cells in the order met (their columns
    // already rising when the columns were placed in order); a row still
    // out of order is sorted on its own.
    const std::size_t rows = static_cast<std::size_t>(span) + 1;
    std::vector<std::size_t> starts(rows + 1, 0);
    for (const Entry& entry : entries_) {
        ++starts[static_cast<std::size_t>(entry.row - first_row) + 1];
    }
    for (std::size_t row = 0; row < rows; ++row) {
        starts[row + 1] += starts[row];
    }
    std::vector<Entry> sorted(entries_.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (Entry& entry : entries_) {
        sorted[next[static_cast<std::size_t>(entry.row - first_row)]++] = std::move(entry);
    }
    for (std::size_t row = 0; row < rows; ++row) {
        auto begin = sorted.begin() + static_cast<std::ptrdiff_t>(starts[row]);
        auto end = sorted.begin() + static_cast<std::ptrdiff_t>(starts[row + 1]);
        if (!std::is_sorted(begin, end, before)) {
            std::sort(begin, end, before);
        }
    }
    entries_ = std::move(sorted);
}

void SheetRows::write(SheetXmlWriter& out)
{
    const SheetFacts facts{layout_, worksheet_, epoch_, iso_dates_};
    StyleIds style_ids(cell_styles_.get(), layout_.add_name.get());
    CellPlan plan;
    RowCursor cursor;
    ByteSink& sink = out.sink();
    // The cells are planned (and their styles registered) under the GIL a
    // run at a time; each run is then written without it, so other threads
    // run meanwhile.
    CellRun run(cells_between_signal_checks);
    sink.flush();
    for (const Entry& entry : entries_) {
        if (run.size() == cells_between_signal_checks) {
            write_run_released(out, cursor, run);
            sink.flush();
            if (PyErr_CheckSignals() < 0) {
                throw_error_set();
            }
        }
        if (!plan_cell(facts, entry.cell.get(), plan)) {
            // Only code run in between (a signal handler, the style list)
            // could have changed the cell since it was collected.
            PyErr_SetString(PyExc_RuntimeError, "worksheet changed while it was being saved");
            throw_error_set();
        }
        const long long style_id =
            plan.style ? style_ids.id_of(plan.style_ints, plan.style.get()) : -1;
        const std::size_t bound = cell_bound(plan.text ? PyUnicode_GET_LENGTH(plan.text.get()) : 0);
        if (run.bound() + bound > ByteSink::capacity) {
            write_run_released(out, cursor, run);
            sink.flush();
        }
        if (bound > ByteSink::capacity) {
            // A text too long for any run: written here, where the sink
            // may flush as it fills.
            cursor.enter(out, entry.row);
            if (plan.content != Content::skip) {
                out.open_cell(plan.column, plan.row, style_id, plan.type);
                write_content(out, plan.content, plan.number,
                              plan.text ? text_units(plan.text.get()) : TextUnits{});
            }
            sink.flush();
            continue;
        }
        run.add(entry.row, plan, style_id);
    }
    write_run_released(out, cursor, run);
    if (cursor.open) {
        out.close_row();
    }
}

}  // namespace xt
