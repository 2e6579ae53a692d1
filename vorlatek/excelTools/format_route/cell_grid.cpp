// The direct route's walk over a sheet's cells, and its two passes.
#include "cell_grid.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "../core/compat.hpp"
#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/cell_layout.hpp"
#include "../write_session/collector_pause.hpp"
#include "../write_session/empty_cell.hpp"
#include "cell_measure.hpp"
#include "direct_styler.hpp"
#include "width_measure.hpp"

namespace xt {

namespace {

// The cells worksheet.iter_rows() and iter_cols() yield when called without
// arguments, walked without their generators: the grid from A1 to the
// sheet's max_column and max_row, read at the start, each cell as cell()
// gives it: found in the sheet's cell dict, or made by the sheet's own cell()
// method when missing. The largest row cell() accepts is 1048576; a sheet
// whose cells claim more keeps its own iteration, which reports the error.
//
// When every key of the cell dict is a (row, column) pair of plain ints, one
// scan of the dict in its own order gives max_row and max_column (what the
// two properties compute from the same keys) and an index of the grid, so
// that no cell needs a hash lookup. Once other code has run the index is
// dropped and each cell is looked up in the dict again.
class CellGrid {
public:
    CellGrid(const OpenpyxlLayout& layout, PyObject* worksheet)
        : layout_(layout), worksheet_(worksheet)
    {
    }

    // Reads _current_row (a sheet that never held a cell yields nothing),
    // then the grid's extent. False, with nothing changed, when the sheet's
    // own iteration is to be used.
    bool open(KeptGrid* kept = nullptr)
    {
        Ref current_row = attribute_or_nothing(worksheet_, layout_.current_row_name.get());
        if (!current_row || !PyLong_CheckExact(current_row.get())) {
            return false;
        }
        const int empty = PyObject_Not(current_row.get());
        if (empty < 0) {
            throw_error_set();
        }
        if (empty != 0) {
            return true;
        }
        if (!trust()) {
            return false;
        }
        OwedCells::Grid* kept_owed = kept != nullptr ? kept->owed : nullptr;
        if (kept != nullptr && adopt(*kept)) {
            return true;
        }
        if (kept_owed != nullptr && owed_cells_ != nullptr && owed_cells_->pending(kept_owed)) {
            // The sheet is walked anew: its holes are made first.
            settle_owed_cells();
        }
        long columns = 0;
        long rows = 0;
        if (!scan_keys(rows, columns)) {
            // max_column first, then max_row, as iter_rows() reads them.
            if (!bounded_count(layout_.max_column_name.get(), max_grid_columns, columns) ||
                !bounded_count(layout_.max_row_name.get(), max_grid_rows, rows)) {
                return false;
            }
        }
        else if (rows > max_grid_rows || columns > max_grid_columns) {
            scanned_.clear();
            return false;
        }
        rows_ = rows;
        // The index is made from the scan before anything else is allocated
        // (an allocation may collect garbage and run any code).
        if (keys_plain_ && static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns) <=
                               max_index_size) {
            build_index(static_cast<std::size_t>(columns));
            version_known_ = dict_version(cells_.get(), version_);
            if (kept == nullptr && holes_change_nothing(static_cast<std::size_t>(columns))) {
                owed_ = owed_cells_->open_grid(worksheet_, cells_.get());
                recording_ = owed_ != nullptr;
            }
        }
        scanned_.clear();
        scanned_.shrink_to_fit();
        column_numbers_.reserve(static_cast<std::size_t>(columns));
        for (long column = 1; column <= columns; ++column) {
            column_numbers_.push_back(Ref::checked(PyLong_FromLong(column)));
        }
        return true;
    }

    // Hands the grid, complete and trusted, to the next pass; leaves it
    // empty otherwise.
    void keep(KeptGrid& kept) noexcept
    {
        kept.clear();
        if (!cells_ || index_.empty()) {
            return;
        }
        kept.cells = cells_.dup();
        kept.cells_size = PyDict_GET_SIZE(cells_.get());
        kept.version_known = version_known_;
        kept.version = version_;
        kept.owed = owed_;
        kept.rows = rows_;
        kept.column_numbers = std::move(column_numbers_);
        kept.index = std::move(index_);
        column_numbers_.clear();
        index_.clear();
    }

    long rows() const { return rows_; }
    long columns() const { return static_cast<long>(column_numbers_.size()); }

    // The column's number, as its cells hold it.
    PyObject* column_number(long column) const
    {
        return column_numbers_[static_cast<std::size_t>(column - 1)].get();
    }

    // Whether the grid's holes are still unmade (cell() gives an empty Ref
    // for them: a cell whose value is None).
    bool holes_pending() const noexcept
    {
        return owed_ != nullptr && owed_cells_->pending(owed_);
    }

    // Makes the write's holes now (before code of any kind may look at the
    // sheet); the sheet is then checked again (see suspect()): making holes
    // in its own cell dict ends the index.
    void make_holes()
    {
        if (holes_pending()) {
            settle_owed_cells();
        }
        owed_ = nullptr;
        recording_ = false;
        suspect();
    }

    // The cell at (row, column), 1-based, as cell(row=row, column=column).
    Ref cell(long row, PyObject* row_number, long column)
    {
        if (suspect_) {
            recheck();
        }
        PyObject* column_number = column_numbers_[static_cast<std::size_t>(column - 1)].get();
        Ref* indexed = nullptr;
        if (!index_.empty()) {
            indexed = &index_[static_cast<std::size_t>(row - 1) * column_numbers_.size() +
                              static_cast<std::size_t>(column - 1)];
            if (*indexed) {
                return indexed->dup();
            }
            if (holes_pending() && (!recording_ || note_hole(row, row_number, column))) {
                return Ref();
            }
        }
        else {
            if (!cells_) {
                trust();
            }
            if (cells_) {
                PyObject* found =
                    PyDict_GetItemWithError(cells_.get(), key(row_number, column_number));
                if (found != nullptr) {
                    return Ref::borrow(found);
                }
                if (PyErr_Occurred()) {
                    throw_error_set();
                }
            }
        }
        Ref made = cells_ ? make_missing_cell(row, row_number, column_number) : Ref();
        if (!made) {
            Ref make_cell = get_attr(worksheet_, layout_.cell_name.get());
            made = call(make_cell.get(), {},
                        {{layout_.row_name.get(), row_number}, {names.column, column_number}});
        }
        if (indexed != nullptr) {
            *indexed = made.dup();
        }
        return made;
    }

    // After other code ran: the sheet is checked again before its cell dict
    // is read directly, and the index (which that code may have outdated)
    // is not used any more.
    void distrust() noexcept
    {
        suspect_ = false;
        version_known_ = false;
        cells_.reset();
        cell_layout_known_ = false;
        current_row_known_ = false;
        drop_index();
    }

    // After other code ran, where that code can only have changed the sheet
    // through its cell dict: the index stays in use when, at the next cell
    // taken (where openpyxl's walk looks the next cells up), the sheet is
    // still as trusted and holds the same cell dict, unchanged since the
    // index last matched it.
    void suspect() noexcept
    {
        if (index_.empty() || !version_known_) {
            distrust();
            return;
        }
        suspect_ = true;
    }

    CellGrid(const CellGrid&) = delete;
    CellGrid& operator=(const CellGrid&) = delete;
    ~CellGrid() { drop_index(); }

private:
    static constexpr long max_grid_rows = 1048576;
    static constexpr long max_grid_columns = 1L << 20;
    static constexpr std::size_t max_index_size = std::size_t{1} << 27;

    bool bounded_count(PyObject* name, long bound, long& count)
    {
        Ref value = attribute_or_nothing(worksheet_, name);
        if (!value || !PyLong_CheckExact(value.get())) {
            return false;
        }
        int overflow = 0;
        count = PyLong_AsLongAndOverflow(value.get(), &overflow);
        if (count == -1 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        return overflow == 0 && count >= 1 && count <= bound;
    }

    // A key (row, column) of two plain ints within C long, else false.
    static bool plain_key(PyObject* key, long& row, long& column)
    {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) {
            return false;
        }
        PyObject* row_item = PyTuple_GET_ITEM(key, 0);
        PyObject* column_item = PyTuple_GET_ITEM(key, 1);
        if (!PyLong_CheckExact(row_item) || !PyLong_CheckExact(column_item)) {
            return false;
        }
        int overflow = 0;
        row = PyLong_AsLongAndOverflow(row_item, &overflow);
        if (overflow != 0) {
            return false;
        }
        column = PyLong_AsLongAndOverflow(column_item, &overflow);
        return overflow == 0;
    }

    // max_row is max(keys)[0] and max_column max(key[1] for key in keys),
    // each 1 for an empty sheet; with plain pairs both come from one scan.
    bool scan_keys(long& rows, long& columns)
    {
        rows = 1;
        columns = 1;
        bool first = true;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        scanned_.clear();
        scanned_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(cells_.get())));
        while (PyDict_Next(cells_.get(), &position, &key, &value)) {
            long row = 0;
            long column = 0;
            if (!plain_key(key, row, column)) {
                keys_plain_ = false;
                scanned_.clear();
                return false;
            }
            rows = first ? row : std::max(rows, row);
            columns = first ? column : std::max(columns, column);
            first = false;
            scanned_.push_back({row, column, value});
        }
        keys_plain_ = true;
        return true;
    }

    // The previous pass's grid, when the sheet's cell dict is still the one
    // it walked, of the size it left.
    bool adopt(KeptGrid& kept) noexcept
    {
        std::uint64_t version = 0;
        const bool version_known = kept.version_known && dict_version(cells_.get(), version);
        if (kept.cells.get() != cells_.get() || kept.index.empty() ||
            PyDict_GET_SIZE(cells_.get()) != kept.cells_size ||
            (version_known && version != kept.version)) {
            kept.clear();
            return false;
        }
        drop_index();
        keys_plain_ = true;
        version_known_ = version_known;
        version_ = version;
        rows_ = kept.rows;
        owed_ = kept.owed;
        recording_ = false;
        column_numbers_ = std::move(kept.column_numbers);
        index_ = std::move(kept.index);
        kept.clear();
        return true;
    }

    void drop_index() noexcept
    {
        // Emptied before the cells are let go: a finaliser that runs then
        // finds no index.
        std::vector<Ref> dropped = std::move(index_);
        index_.clear();
    }

    // From the keys scan_keys just read (no code ran since: the dict and
    // its values are as scanned), so the dict is walked once.
    void build_index(std::size_t width)
    {
        index_.clear();
        index_.resize(static_cast<std::size_t>(rows_) * width);
        for (const ScannedCell& scanned : scanned_) {
            if (scanned.row >= 1 && scanned.row <= rows_ && scanned.column >= 1 &&
                scanned.column <= static_cast<long>(width)) {
                index_[static_cast<std::size_t>(scanned.row - 1) * width +
                       static_cast<std::size_t>(scanned.column - 1)] = Ref::borrow(scanned.cell);
            }
        }
    }

    // The coordinate (row, column) as the cell dict's key. One tuple serves
    // every lookup: nobody else ever holds it (a lookup keeps no reference
    // to its key), so its two items can be replaced in place; it is made
    // anew should anything still hold it. Interpreters from 3.14 on keep a
    // tuple's hash inside it, so there every key is a new tuple.
    PyObject* key(PyObject* row_number, PyObject* column_number)
    {
        if (!key_ || Py_REFCNT(key_.get()) != 1 || PY_VERSION_HEX >= 0x030E0000) {
            key_ = Ref::checked(PyTuple_Pack(2, row_number, column_number));
            return key_.get();
        }
        PyObject* old_row = PyTuple_GET_ITEM(key_.get(), 0);
        PyObject* old_column = PyTuple_GET_ITEM(key_.get(), 1);
        Py_INCREF(row_number);
        Py_INCREF(column_number);
        PyTuple_SET_ITEM(key_.get(), 0, row_number);
        PyTuple_SET_ITEM(key_.get(), 1, column_number);
        Py_DECREF(old_row);
        Py_DECREF(old_column);
        return key_.get();
    }

    // What cell(row=row, column=column) does for a coordinate the trusted
    // cell dict lacks: Cell(sheet, row=row, column=column), stored under
    // (row, column), the sheet's _current_row raised to the row. Made here
    // when openpyxl's pieces for making a cell are its own (as the body
    // placement makes cells); an empty Ref when the method is to be called.
    // Sheets of several frames or a gap column have many such cells, each
    // styled with the border and alignment afterwards.
    Ref make_missing_cell(long row, PyObject* row_number, PyObject* column_number)
    {
        if (!cell_layout_known_) {
            cell_layout_ = cell_layout_if_unchanged();
            cell_layout_known_ = true;
        }
        if (cell_layout_ == nullptr) {
            return Ref();
        }
        if (!read_current_row()) {
            return Ref();
        }
        // The dict keeps a key of its own, never the grid's reused one. The
        // index goes on matching the dict after this insertion of its own.
        std::uint64_t version = 0;
        const bool in_step = version_known_ && dict_version(cells_.get(), version) && version == version_;
        Ref made = place_empty_cell(*cell_layout_, worksheet_, cells_.get(), row_number, column_number,
                                    write_pause_);
        version_known_ = in_step && dict_version(cells_.get(), version_);
        raise_current_row(row, row_number);
        return made;
    }

    // _current_row is read at the first missing cell and after other code
    // ran; meanwhile only this grid changes it. False when it is no plain int.
    bool read_current_row()
    {
        if (current_row_known_) {
            return true;
        }
        Ref current_row = attribute_or_nothing(worksheet_, layout_.current_row_name.get());
        if (!current_row || !PyLong_CheckExact(current_row.get())) {
            return false;
        }
        current_row_ = PyLong_AsLongAndOverflow(current_row.get(), &current_row_overflow_);
        if (current_row_ == -1 && PyErr_Occurred()) {
            throw_error_set();
        }
        current_row_known_ = true;
        return true;
    }

    // What adding a cell of `row` does to _current_row.
    void raise_current_row(long row, PyObject* row_number)
    {
        if (current_row_overflow_ < 0 || (current_row_overflow_ == 0 && row > current_row_)) {
            current_row_known_ = false;
            set_attr(worksheet_, layout_.current_row_name.get(), row_number);
            current_row_ = row;
            current_row_overflow_ = 0;
            current_row_known_ = true;
        }
    }

    // Records the missing cell at (row, column) as a hole, with what making
    // it does to _current_row; false when it is to be made now.
    bool note_hole(long row, PyObject* row_number, long column)
    {
        if (!read_current_row()) {
            return false;
        }
        owed_->holes.emplace_back(row, column);
        raise_current_row(row, row_number);
        return true;
    }

    // Whether this grid's missing cells would change nothing in the saved
    // sheet: every row of the grid has a cell, and so have row 1 and
    // column 1 (see owed_cells.hpp). Read from the index just built.
    bool holes_change_nothing(std::size_t width) const
    {
        if (owed_cells_ == nullptr || !owed_cells_->allowed() || index_.empty()) {
            return false;
        }
        bool column_one = false;
        for (std::size_t row = 0; row < static_cast<std::size_t>(rows_); ++row) {
            const Ref* first = &index_[row * width];
            column_one = column_one || static_cast<bool>(first[0]);
            if (std::all_of(first, first + width, [](const Ref& cell) { return !cell; })) {
                return false;
            }
        }
        return column_one;
    }

    // The check suspect() leaves to the next cell taken.
    void recheck()
    {
        suspect_ = false;
        cell_layout_known_ = false;
        current_row_known_ = false;
        Ref indexed_cells = std::move(cells_);
        std::uint64_t version = 0;
        if (!trust() || cells_.get() != indexed_cells.get() || !dict_version(cells_.get(), version) ||
            version != version_) {
            distrust();
        }
    }

    bool trust()
    {
        if (!layout_still_holds(layout_) || !methods_unshadowed(layout_, worksheet_)) {
            return false;
        }
        Ref cells = attribute_or_nothing(worksheet_, names.cells_attr);
        if (!cells || !PyDict_CheckExact(cells.get())) {
            return false;
        }
        cells_ = std::move(cells);
        return true;
    }

    const OpenpyxlLayout& layout_;
    PyObject* worksheet_;
    Ref cells_;
    Ref key_;
    // openpyxl's pieces for making a missing cell, found at the first one
    // and again after other code ran.
    const CellLayout* cell_layout_ = nullptr;
    bool cell_layout_known_ = false;
    CollectorPause* write_pause_ = WritePause::current();
    // The running write's unmade cells, and this grid's holes among them
    // (recorded by the styling pass, passed over by the width pass).
    OwedCells* owed_cells_ = WritePause::owed();
    OwedCells::Grid* owed_ = nullptr;
    bool recording_ = false;
    // The sheet's _current_row as this grid last read or set it.
    bool current_row_known_ = false;
    long current_row_ = 0;
    int current_row_overflow_ = 0;
    bool keys_plain_ = false;
    // The cell dict's version when the index last matched it (see suspect()).
    bool version_known_ = false;
    std::uint64_t version_ = 0;
    bool suspect_ = false;
    // The cell dict's cells, row by row, each with a reference of the
    // index's own (so no code run meanwhile can free one); empty when not
    // in use.
    std::vector<Ref> index_;  // the cells row by row; null where missing
    // The cell dict's entries as scan_keys read them, borrowed, until the
    // index is built from them.
    struct ScannedCell {
        long row;
        long column;
        PyObject* cell;
    };
    std::vector<ScannedCell> scanned_;
    std::vector<Ref> column_numbers_;
    long rows_ = 0;
};

}  // namespace

void KeptGrid::clear() noexcept
{
    std::vector<Ref> dropped = std::move(index);
    index.clear();
    column_numbers.clear();
    cells.reset();
    cells_size = 0;
    version_known = false;
    version = 0;
    rows = 0;
    owed = nullptr;
}

RouteOutcome style_cells_direct(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                                const OpenpyxlLayout& layout, KeptGrid& kept)
{
    // for row_idx, row in enumerate(worksheet.iter_rows()):
    frame.at(220);
    CellGrid grid(layout, worksheet);
    if (!grid.open()) {
        return RouteOutcome::declined;
    }
    DirectStyler styler(layout, worksheet, styles);
    std::vector<Ref> row_cells;
    row_cells.reserve(static_cast<std::size_t>(grid.columns()));
    for (long row = 1; row <= grid.rows(); ++row) {
        // Like the row tuple, the whole row is at hand before its first cell
        // is styled.
        frame.at(220);
        Ref row_number = Ref::checked(PyLong_FromLong(row));
        row_cells.clear();
        for (long column = 1; column <= grid.columns(); ++column) {
            row_cells.push_back(grid.cell(row, row_number.get(), column));
        }
        const bool header_row = row == 1;
        // for cell in row:
        for (const Ref& cell : row_cells) {
            frame.at(221);
            if (!cell) {
                continue;  // a hole left unmade: its value is None
            }
            if (styler.style(frame, cell.get(), header_row)) {
                continue;
            }
            const bool quiet = quiet_merged_cell(layout, cell.get());
            if (!quiet) {
                // The assignments may run code that looks at the sheet.
                grid.make_holes();
            }
            style_cell_generic(frame, cell.get(), header_row, styles);
            if (!quiet) {
                styler.forget();
                grid.distrust();
            }
        }
    }
    grid.keep(kept);
    return RouteOutcome::taken;
}

RouteOutcome set_column_widths_direct(CallFrame& frame, PyObject* worksheet,
                                      const OpenpyxlLayout& layout, KeptGrid& kept)
{
    // for col in worksheet.columns:
    frame.at(234);
    CellGrid grid(layout, worksheet);
    if (!grid.open(&kept)) {
        return RouteOutcome::declined;
    }
    bool direct_values = true;
    std::vector<Ref> row_numbers;
    row_numbers.reserve(static_cast<std::size_t>(grid.rows()));
    for (long row = 1; row <= grid.rows(); ++row) {
        row_numbers.push_back(Ref::checked(PyLong_FromLong(row)));
    }
    std::vector<Ref> column_cells;
    column_cells.reserve(row_numbers.size());
    for (long column = 1; column <= grid.columns(); ++column) {
        frame.at(234);
        column_cells.clear();
        for (long row = 1; row <= grid.rows(); ++row) {
            column_cells.push_back(
                grid.cell(row, row_numbers[static_cast<std::size_t>(row - 1)].get(), column));
        }
        frame.at(235);
        Py_ssize_t max_length = 0;
        // col_letter = get_column_letter(col[0].column); the grid has at
        // least one row whenever it has a column.
        frame.at(236);
        Ref letter_function = lookup_global(names.get_column_letter);
        Ref column_number = column_cells.front()
                                ? get_attr(column_cells.front().get(), names.column)
                                : Ref::borrow(grid.column_number(column));
        Ref col_letter = call(letter_function.get(), {column_number.get()});
        // for cell in col:
        for (const Ref& cell : column_cells) {
            frame.at(237);
            if (!cell) {
                continue;  // a hole: None counts for nothing
            }
            if (grid.holes_pending() && !(direct_values && measured_without_code(layout, cell.get())) &&
                !quiet_merged_cell(layout, cell.get())) {
                // Measuring this one may run code that looks at the sheet.
                grid.make_holes();
            }
            bool other_code_ran = false;
            bool measured = false;
            if (direct_values) {
                measured = measure_cell_direct(layout, cell.get(), max_length, other_code_ran);
            }
            if (!measured) {
                other_code_ran = !quiet_merged_cell(layout, cell.get());
                measure_cell_generic(cell.get(), max_length);
            }
            if (other_code_ran) {
                // Reading another cell's value may have run any code.
                direct_values = cell_value_unchanged(layout);
                grid.suspect();
            }
        }
        set_column_width(frame, worksheet, col_letter.get(), max_length);
    }
    return RouteOutcome::taken;
}

}  // namespace xt
