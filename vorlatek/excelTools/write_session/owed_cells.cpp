// Empty grid cells left unmade inside a write (see owed_cells.hpp).
#include "owed_cells.hpp"

#include <memory>

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/cell_layout.hpp"
#include "empty_cell.hpp"
#include "collector_pause.hpp"

namespace xt {

namespace {

// What worksheet.cell(row=row, column=column) does for a coordinate the
// dict lacks; _current_row was raised when the hole was recorded.
void make_holes(const OwedCells::Grid& grid, CollectorPause* pause)
{
    PyObject* cells = grid.cells.get();
    const CellLayout* layout = cell_layout_if_unchanged();
    Ref row_number;
    long last_row = 0;
    for (const auto& [row, column] : grid.holes) {
        if (!row_number || row != last_row) {
            row_number = Ref::checked(PyLong_FromLong(row));
            last_row = row;
        }
        Ref column_number = Ref::checked(PyLong_FromLong(column));
        Ref key = Ref::checked(PyTuple_Pack(2, row_number.get(), column_number.get()));
        if (check_status(PyDict_Contains(cells, key.get())) == 1) {
            continue;  // made by whoever looked meanwhile
        }
        if (layout == nullptr) {
            Ref make_cell = get_attr(grid.worksheet.get(), names.cell);
            call(make_cell.get(), {}, {{names.row, row_number.get()}, {names.column, column_number.get()}});
            continue;
        }
        place_empty_cell(*layout, grid.worksheet.get(), cells, row_number.get(), column_number.get(), pause,
                         key.get());
    }
}

}  // namespace

OwedCells::Grid* OwedCells::open_grid(PyObject* worksheet, PyObject* cells)
{
    if (!allowed_) {
        return nullptr;
    }
    auto grid = std::make_unique<Grid>();
    grid->worksheet = Ref::borrow(worksheet);
    grid->cells = Ref::borrow(cells);
    grids_.push_back(std::move(grid));
    return grids_.back().get();
}

bool OwedCells::pending(const Grid* grid) const noexcept
{
    return grid != nullptr && !settled_;
}

void OwedCells::settle(CollectorPause* pause)
{
    // Taken first: making a cell may run code that comes back here.
    make(take_grids(), pause);
}

OwedCells::Grids OwedCells::take_grids() noexcept
{
    allowed_ = false;
    settled_ = true;
    Grids grids = std::move(grids_);
    grids_.clear();
    return grids;
}

void OwedCells::make(const Grids& grids, CollectorPause* pause)
{
    for (const std::unique_ptr<Grid>& grid : grids) {
        make_holes(*grid, pause);
    }
}

void settle_owed_cells()
{
    if (OwedCells* owed = WritePause::owed(); owed != nullptr) {
        owed->settle(WritePause::current());
    }
}

}  // namespace xt
