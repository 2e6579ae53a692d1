// The body of a frame placed cell by cell into an openpyxl worksheet.
//
// pandas writes the body as
//     for colidx in range(len(self.columns)):
//         series = self.df.iloc[:, colidx]
//         for i, val in enumerate(series):
//             val = self._format_value(val)              # missing, inf, time zones
//             xcell = wks.cell(row=startrow + self.rowcounter + i + 1,
//                              column=startcol + colidx + coloffset + 1)
//             xcell.value, fmt = self._value_with_fmt(val)  # numpy to Python, formats
//             if fmt:
//                 xcell.number_format = fmt
// Here the columns are read and iterated the same way, and each value of a
// kind whose whole way through these calls is known gets its cell directly.
#include "body_cells.hpp"

#include <vector>

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "arrow_texts.hpp"
#include "../libraries/cell_layout.hpp"
#include "../libraries/style_array.hpp"
#include "../write_session/collector_pause.hpp"
#include "../libraries/pandas_layout.hpp"
#include "value_plans.hpp"

namespace xt {

namespace {

constexpr long long max_sheet_row = 1048576;
// Positions and offsets up to this size are computed in C; pandas' own
// arithmetic on Python ints gives the same numbers.
constexpr long long max_plain_offset = 1LL << 31;
// How often a long placement lets signal handlers (Ctrl-C) and other
// threads run: about every millisecond.
constexpr unsigned signal_check_interval = 1024;

bool exact_small_int(PyObject* value, long long& out)
{
    return exact_long_long(value, out) && out > -max_plain_offset && out < max_plain_offset;
}

class BodyWriter {
public:
    BodyWriter(const PandasLayout& pandas, const BodyPlace& place)
        : pandas_(pandas), place_(place)
    {
        rowcounter_ = get_attr(place.formatter, names.rowcounter);
        long long startrow = 0;
        long long startcol = 0;
        long long rowcounter = 0;
        long long coloffset = 0;
        plain_numbers_ = exact_small_int(place.startrow, startrow) &&
                         exact_small_int(place.startcol, startcol) &&
                         exact_small_int(rowcounter_.get(), rowcounter) &&
                         exact_small_int(place.coloffset, coloffset);
        first_row_ = startrow + rowcounter + 1;
        first_column_ = startcol + coloffset + 1;
        cells_ = cell_layout_if_unchanged();
        native_ = plain_numbers_ && cells_ != nullptr && trust_sheet();
        if (native_) {
            native_ = planner_.prepare_texts(place.formatter, *cells_);
        }
    }

    void run()
    {
        // for colidx in range(len(self.columns)):
        Ref columns = get_attr(place_.formatter, names.columns);
        const Py_ssize_t count = PyObject_Size(columns.get());
        if (count < 0) {
            throw_error_set();
        }
        columns.reset();
        Ref everything = Ref::checked(PySlice_New(nullptr, nullptr, nullptr));
        for (Py_ssize_t colidx = 0; colidx < count; ++colidx) {
            // series = self.df.iloc[:, colidx]
            Ref colidx_number = Ref::checked(PyLong_FromSsize_t(colidx));
            Ref frame = get_attr(place_.formatter, names.df);
            Ref iloc = get_attr(frame.get(), names.iloc);
            Ref key = Ref::checked(PyTuple_Pack(2, everything.get(), colidx_number.get()));
            Ref series = get_item(iloc.get(), key.get());
            Ref column = column_number(colidx, colidx_number.get());
            planner_.start_column();
            // for i, val in enumerate(series):
            Ref values = column_values(series.get());
            for (Py_ssize_t i = 0;; ++i) {
                Ref value = next_item(values.get());
                if (!value) {
                    break;
                }
                place(series.get(), value.get(), i, column.get());
            }
        }
        flush_current_row();
    }

private:
    // iter(series): for a text column held in pyarrow, the values its
    // iteration yields made in one call; otherwise the series' own iterator.
    Ref column_values(PyObject* series)
    {
        if (native_ && pandas_.arrow_texts_in_bulk &&
            Py_TYPE(series) == as_type(pandas_.series_type)) {
            Ref values = arrow_texts_.values_of(series);
            if (values) {
                return get_iter(values.get());
            }
        }
        return get_iter(series);
    }

    // The worksheet is openpyxl's own, its cell dict a plain dict and its
    // highest row a plain int; false leaves every cell to the per-cell calls.
    bool trust_sheet()
    {
        const OpenpyxlLayout& openpyxl = *cells_->openpyxl;
        if (Py_TYPE(place_.worksheet) != as_type(openpyxl.worksheet_type) ||
            !methods_unshadowed(openpyxl, place_.worksheet)) {
            return false;
        }
        Ref cells = attribute_or_nothing(place_.worksheet, names.cells_attr);
        if (!cells || !PyDict_CheckExact(cells.get())) {
            return false;
        }
        cell_dict_ = std::move(cells);
        return read_current_row();
    }

    bool read_current_row()
    {
        Ref current = attribute_or_nothing(place_.worksheet, names.current_row_attr);
        long long row = 0;
        if (!current || !exact_small_int(current.get(), row)) {
            return false;
        }
        current_row_ = row;
        current_row_moved_ = false;
        return true;
    }

    // After code of any kind ran (a value's own str(), say), everything the
    // direct placement relies on is checked again.
    void check_again()
    {
        learned_.clear();
        cell_dict_.reset();
        cells_ = cell_layout_if_unchanged();
        native_ = native_ && cells_ != nullptr && pandas_pins_hold(pandas_) && trust_sheet();
    }

    PyObject* row_number(Py_ssize_t i)
    {
        if (static_cast<std::size_t>(i) < rows_.size()) {
            return rows_[static_cast<std::size_t>(i)].get();
        }
        if (plain_numbers_) {
            rows_.push_back(Ref::checked(PyLong_FromLongLong(first_row_ + i)));
        }
        else {
            // startrow + (self.rowcounter + i) + 1
            Ref offset = Ref::checked(PyLong_FromSsize_t(i));
            Ref cell_row = Ref::checked(PyNumber_Add(rowcounter_.get(), offset.get()));
            Ref shifted = Ref::checked(PyNumber_Add(place_.startrow, cell_row.get()));
            Ref one = Ref::checked(PyLong_FromLong(1));
            rows_.push_back(Ref::checked(PyNumber_Add(shifted.get(), one.get())));
        }
        return rows_.back().get();
    }

    Ref column_number(Py_ssize_t colidx, PyObject* colidx_number)
    {
        if (plain_numbers_) {
            return Ref::checked(PyLong_FromLongLong(first_column_ + colidx));
        }
        // startcol + (colidx + coloffset) + 1
        Ref cell_col = Ref::checked(PyNumber_Add(colidx_number, place_.coloffset));
        Ref shifted = Ref::checked(PyNumber_Add(place_.startcol, cell_col.get()));
        Ref one = Ref::checked(PyLong_FromLong(1));
        return Ref::checked(PyNumber_Add(shifted.get(), one.get()));
    }

    // --- placing ---------------------------------------------------------------

    struct Learned {
        PyTypeObject* type;
        int number_format;
    };

    const Learned* learned_for(PyTypeObject* type) const
    {
        for (const Learned& entry : learned_) {
            if (entry.type == type) {
                return &entry;
            }
        }
        return nullptr;
    }

    enum class Placed { done, format_unknown, occupied };

    // Makes the cell and puts it into the cell dict unless the sheet already
    // holds one there; otherwise the value is left to the per-cell calls.
    Placed place_directly(const ValuePlan& plan, PyObject* row, long long row_value,
                          PyObject* column)
    {
        Ref style = Ref::borrow(Py_None);
        if (plan.kind == PlanKind::dated) {
            const Learned* learned = learned_for(plan.format_key);
            if (learned == nullptr) {
                // A cell the sheet already holds keeps its own number format
                // (a date format stops openpyxl from choosing one), so only
                // a cell the calls make afresh can show the format to learn.
                Ref key = Ref::checked(PyTuple_Pack(2, row, column));
                const int held = PyDict_Contains(cell_dict_.get(), key.get());
                if (held < 0) {
                    throw_error_set();
                }
                return held == 1 ? Placed::occupied : Placed::format_unknown;
            }
            style = Ref::checked(new_style_array(*cells_->openpyxl));
            StyleArrayView view(style.get(), /*writable=*/true);
            if (view.ints() == nullptr) {
                return Placed::format_unknown;
            }
            view.ints()[cells_->number_format_position] = learned->number_format;
        }
        Ref key = Ref::checked(PyTuple_Pack(2, row, column));
        // A pair of ints can hold no reference cycle; the collector would
        // stop tracking it at its first look anyway.
        PyObject_GC_UnTrack(key.get());
        Ref cell = Ref::checked(new_cell(*cells_, place_.worksheet, row, column, plan.value.get(),
                                         plan.data_type, style.get()));
        PyObject* held = PyDict_SetDefault(cell_dict_.get(), key.get(), cell.get());
        if (held == nullptr) {
            throw_error_set();
        }
        if (held != cell.get()) {
            return Placed::occupied;
        }
        collector_pause_.hold(cell.get());
        collector_pause_.keep_out(cell_dict_.get());
        if (style.get() != Py_None) {
            collector_pause_.hold(style.get());
        }
        if (row_value > current_row_) {
            current_row_ = row_value;
            current_row_moved_ = true;
        }
        return Placed::done;
    }

    void flush_current_row()
    {
        if (!current_row_moved_) {
            return;
        }
        Ref row = Ref::checked(PyLong_FromLongLong(current_row_));
        set_attr(place_.worksheet, names.current_row_attr, row.get());
        current_row_moved_ = false;
    }

    // The writer's loop for one cell, through pandas' and openpyxl's calls.
    void place_through_calls(PyObject* value, PyObject* row, PyObject* column)
    {
        flush_current_row();
        Ref formatted = call_method(place_.formatter, names.format_value_attr, {value});
        Ref make_cell = get_attr(place_.worksheet, names.cell);
        Ref xcell = call(make_cell.get(), {}, {{names.row, row}, {names.column, column}});
        Ref converted = call_method(place_.writer, names.value_with_fmt_attr, {formatted.get()});
        auto [cell_value, number_format] = unpack_pair(converted.get());
        set_attr(xcell.get(), names.value, cell_value.get());
        if (is_true(number_format.get())) {
            set_attr(xcell.get(), names.number_format, number_format.get());
        }
    }

    // After a dated value went through the calls: its cell shows the number
    // format every later value of its type gets, when it holds nothing else.
    void learn(const ValuePlan& plan, PyObject* row, PyObject* column)
    {
        Ref key = Ref::checked(PyTuple_Pack(2, row, column));
        PyObject* cell = PyDict_GetItemWithError(cell_dict_.get(), key.get());
        if (cell == nullptr) {
            if (PyErr_Occurred()) {
                throw_error_set();
            }
            return;
        }
        const OpenpyxlLayout& openpyxl = *cells_->openpyxl;
        if (Py_TYPE(cell) != as_type(openpyxl.cell_type)) {
            return;
        }
        PyObject* data_type = *slot_at(cell, cells_->data_type_offset);
        PyObject* style = *slot_at(cell, openpyxl.style_offset);
        if (data_type == nullptr || !PyUnicode_CheckExact(data_type) ||
            PyUnicode_Compare(data_type, plan.data_type) != 0 || style == nullptr ||
            Py_TYPE(style) != as_type(openpyxl.style_array_type)) {
            return;
        }
        StyleArrayView view(style, /*writable=*/false);
        const int* ints = view.ints();
        if (ints == nullptr) {
            return;
        }
        for (Py_ssize_t i = 0; i < style_array_length; ++i) {
            if (i != cells_->number_format_position && ints[i] != 0) {
                return;
            }
        }
        learned_.push_back({plan.format_key, ints[cells_->number_format_position]});
    }

    void place(PyObject* series, PyObject* value, Py_ssize_t i, PyObject* column)
    {
        if (++since_signal_check_ == signal_check_interval) {
            since_signal_check_ = 0;
            if (PyErr_CheckSignals() < 0) {
                throw_error_set();
            }
            // As the interpreter's own loop does every few milliseconds: a
            // thread waiting for the GIL gets it now (and, in a write of
            // its own, starts its next stretch without it) instead of
            // waiting for the whole placement. What it may run meanwhile
            // is what a signal handler may run at the check above.
            Py_BEGIN_ALLOW_THREADS
            Py_END_ALLOW_THREADS
        }
        PyObject* row = row_number(i);
        const long long row_value = first_row_ + i;
        ValuePlan plan;
        Placed placed = Placed::format_unknown;
        if (native_ && row_value >= 1 && row_value <= max_sheet_row) {
            plan = planner_.classify(series, value, *cells_);
            if (plan.kind == PlanKind::native || plan.kind == PlanKind::dated) {
                placed = place_directly(plan, row, row_value, column);
                if (placed == Placed::done) {
                    return;
                }
            }
        }
        place_through_calls(value, row, column);
        if (!native_) {
            return;
        }
        if (plan.kind == PlanKind::any) {
            check_again();
            return;
        }
        // openpyxl moved the sheet's highest row itself.
        if (!read_current_row()) {
            native_ = false;
            return;
        }
        // Only a cell the calls made afresh shows what every later one gets.
        if (plan.kind == PlanKind::dated && placed == Placed::format_unknown &&
            learned_for(plan.format_key) == nullptr) {
            learn(plan, row, column);
        }
    }

    const PandasLayout& pandas_;
    const BodyPlace& place_;
    const CellLayout* cells_ = nullptr;
    bool native_ = false;
    bool plain_numbers_ = false;
    long long first_row_ = 0;
    long long first_column_ = 0;
    Ref rowcounter_;
    Ref cell_dict_;
    long long current_row_ = 0;
    bool current_row_moved_ = false;
    unsigned since_signal_check_ = 0;
    std::vector<Ref> rows_;
    std::vector<Learned> learned_;
    ArrowTexts arrow_texts_{pandas_};
    // The running write's pause, else one of this placement's own.
    CollectorPause own_pause_;
    CollectorPause& collector_pause_ =
        WritePause::current() != nullptr ? *WritePause::current() : own_pause_;
    // What each value becomes: the texts missing and infinite values get,
    // and what the current column's dtype says of its datetimes.
    ValuePlanner planner_{pandas_};
};

}  // namespace

void place_body(const PandasLayout& pandas, const BodyPlace& place)
{
    BodyWriter writer(pandas, place);
    writer.run();
}

}  // namespace xt
