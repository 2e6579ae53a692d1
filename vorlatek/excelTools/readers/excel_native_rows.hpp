// The rows the openpyxl engine of pandas hands to pandas' parser, made from
// a sheet's cells as read natively (workbook/sheet_cells.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "../core/ref.hpp"
#include "../workbook/sheet_cells.hpp"

namespace xt {

// What decides how a cell's value is read, as the workbook gives it.
struct CellReading {
    PyObject* strings = nullptr;            // the shared strings (a tuple of str)
    std::vector<bool> empty_strings;        // which of them are ""
    std::vector<std::uint8_t> date_styles;  // per style index: 0 number, 1 date, 2 duration
    PyObject* epoch = nullptr;              // the workbook's epoch (a datetime)
    int epoch_kind = -1;                    // sheet::Epoch of a known epoch, else -1
    PyObject* from_excel = nullptr;         // openpyxl's serial number conversion
    PyObject* from_iso8601 = nullptr;       // openpyxl's ISO 8601 reading
    PyObject* nan = nullptr;                // numpy's NaN, the value of an error cell
};

// The columns that can change the result, zero-based; all when unbounded.
struct ColumnSelection {
    bool bounded = false;
    std::vector<bool> selected;  // size: one past the rightmost selected column
};

// The sheet::Epoch the epoch object is (1899-12-30 or 1904-01-01 as a plain
// datetime), or -1.
int epoch_kind_of(PyObject* epoch);

// Makes, row by row as the sheet is read, the rows pandas' get_sheet_data
// returns for the sheet, except that when the selection is bounded, values
// outside it are "" and no row is wider than the selection needs (nor wider
// than the widest row).
class PandasSheetRows : public sheet::RowSink {
public:
    PandasSheetRows(const CellReading& reading, const ColumnSelection& selection);

    bool row(std::int64_t number, std::span<const sheet::Cell> cells, std::string_view arena) override;
    // The scan of the bytes runs without the interpreter's lock.
    void begin_bytes_only() override { released_ = PyEval_SaveThread(); }
    void end_bytes_only() override { PyEval_RestoreThread(released_); }

    // The rows, trailing rows without a value dropped and the others padded.
    // An empty Ref without an error when a value was one to leave to the
    // library (a date openpyxl would warn about, an ISO date it refuses).
    Ref finish();

private:
    bool check(const sheet::Cell& cell, std::string_view arena);
    Ref value(const sheet::Cell& cell, std::string_view arena, bool& stepped_aside);
    bool is_empty_text(const sheet::Cell& cell) const;
    std::uint8_t date_style(const sheet::Cell& cell) const
    {
        return cell.style < reading_.date_styles.size() ? reading_.date_styles[cell.style] : 0;
    }

    const CellReading& reading_;
    const ColumnSelection& selection_;
    Ref data_;
    Ref empty_row_;
    std::int64_t counter_ = 1;
    Py_ssize_t last_row_with_data_ = -1;
    std::size_t max_width_ = 0;
    std::size_t limit_;
    bool stepped_aside_ = false;
    std::vector<const sheet::Cell*> resolved_;
    PyThreadState* released_ = nullptr;
};

}  // namespace xt
