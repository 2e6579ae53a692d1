// Planned cells written in runs that hold no Python object, so each run is
// written with the GIL released.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "../workbook/sheet_xml.hpp"
#include "cell_plan.hpp"

namespace xt {

// Where the rows' output stands: the row element open, if any.
struct RowCursor {
    bool open = false;
    long long row = 0;

    void enter(SheetXmlWriter& out, long long cell_row)
    {
        if (open && cell_row == row) {
            return;
        }
        if (open) {
            out.close_row();
        }
        out.open_row(cell_row);
        open = true;
        row = cell_row;
    }
};

inline void write_content(SheetXmlWriter& out, Content content, double number, const TextUnits& text)
{
    switch (content) {
    case Content::skip:
        break;
    case Content::empty_cell:
        out.end_empty_cell();
        break;
    case Content::number:
        out.number_cell(number);
        break;
    case Content::text_value:
        out.text_value_cell(text);
        break;
    case Content::empty_value:
        out.empty_value_cell();
        break;
    case Content::inline_string:
        out.inline_string_cell(text);
        break;
    case Content::formula:
        out.formula_cell(text);
        break;
    }
}

// A run of planned cells held without any Python object: their texts are
// copies of the characters, so the run is written with the GIL released.
class CellRun {
public:
    // Room for `count` cells before the run must be written.
    explicit CellRun(std::size_t count) { cells_.reserve(count); }

    bool empty() const noexcept { return cells_.empty(); }
    std::size_t size() const noexcept { return cells_.size(); }
    std::size_t bound() const noexcept { return bound_; }

    // `key_row` is the row of the cell's key, by which openpyxl's rows()
    // groups the cells; the cell's own row and column name it.
    void add(long long key_row, const CellPlan& plan, long long style_id)
    {
        Cell cell;
        cell.key_row = key_row;
        cell.row = plan.row;
        cell.column = plan.column;
        cell.style_id = style_id;
        cell.content = plan.content;
        cell.type = plan.type;
        cell.number = plan.number;
        if (plan.text) {
            PyObject* text = plan.text.get();
            const TextUnits units = text_units(text);
            const std::size_t size = static_cast<std::size_t>(units.length) *
                                     static_cast<std::size_t>(units.kind);
            // Offsets kept to a multiple of four, so two- and four-byte
            // characters are read aligned.
            const std::size_t offset = (texts_.size() + 3) & ~std::size_t{3};
            texts_.resize(offset + size);
            if (size > 0) {
                std::memcpy(texts_.data() + offset, units.data, size);
            }
            cell.text_offset = offset;
            cell.text_length = units.length;
            cell.text_kind = units.kind;
        }
        bound_ += cell_bound(cell.text_length);
        cells_.push_back(cell);
    }

    // Writes the run's cells; touches no Python object.
    void write(SheetXmlWriter& out, RowCursor& cursor) const noexcept
    {
        for (const Cell& cell : cells_) {
            cursor.enter(out, cell.key_row);
            if (cell.content == Content::skip) {
                continue;
            }
            out.open_cell(cell.column, cell.row, cell.style_id, cell.type);
            const TextUnits text{cell.text_kind, texts_.data() + cell.text_offset,
                                 cell.text_length};
            write_content(out, cell.content, cell.number, text);
        }
    }

    void clear() noexcept
    {
        cells_.clear();
        texts_.clear();
        bound_ = 0;
    }

private:
    struct Cell {
        long long key_row = 0;
        long long row = 0;
        long long column = 0;
        long long style_id = -1;
        double number = 0;
        std::size_t text_offset = 0;
        Py_ssize_t text_length = 0;
        int text_kind = PyUnicode_1BYTE_KIND;
        Content content = Content::skip;
        std::string_view type;  // one of cell_type_of's literals
    };

    std::vector<Cell> cells_;
    std::vector<char> texts_;
    std::size_t bound_ = 0;
};

// Writes the run with the GIL released: the sink was flushed before the
// run began and the run's bound fits its room, so nothing flushes (which
// would need the GIL) in between.
inline void write_run_released(SheetXmlWriter& out, RowCursor& cursor, CellRun& run)
{
    if (run.empty()) {
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    run.write(out, cursor);
    Py_END_ALLOW_THREADS
    run.clear();
}


}  // namespace xt
