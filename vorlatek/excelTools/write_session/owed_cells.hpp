// Empty cells a write_formatted_excel call leaves unmade until someone
// could see them.
//
// The formatter walks every cell of the grid from A1 to the sheet's last
// row and column, and openpyxl's walk makes each missing one: a value-less,
// unstyled Cell in the sheet's cell dict. Side-by-side frames of unequal
// length leave hundreds of thousands of such holes, and making, keeping and
// freeing their cells is a large part of a styled write. Such a cell changes
// nothing in the saved file when its row has another cell (the writer emits
// the row for that one) and when cells already exist in row 1 and column 1
// (the sheet's dimension keeps its corners): the writer skips value-less,
// unstyled cells.
//
// So, inside a write whose writer is pandas' own, a grid that has a cell in
// every row and in row 1 and column 1 records its holes here instead of
// filling them. They are made, in the order the walk met them, as soon as
// code other than the write's own verified pieces may look at the workbook
// (settle()); the write then makes every later hole at once, as openpyxl
// would. When the write ends, they are made only where something else still
// reaches the sheet (output/workbook_release.hpp); otherwise never.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>
#include <vector>

#include "../core/ref.hpp"

namespace xt {

class CollectorPause;

class OwedCells {
public:
    OwedCells() = default;
    OwedCells(const OwedCells&) = delete;
    OwedCells& operator=(const OwedCells&) = delete;

    // Holes may be left unmade from now on (once the write knows its
    // writer is pandas' own), until the first settle().
    void allow() noexcept { allowed_ = !settled_; }
    bool allowed() const noexcept { return allowed_; }

    // The holes of one grid walk, from a sheet's `cells` dict; nullptr when
    // holes must be made at once. Coordinates are added row by row.
    struct Grid {
        Ref worksheet;
        Ref cells;
        std::vector<std::pair<long, long>> holes;
    };
    using Grids = std::vector<std::unique_ptr<Grid>>;
    Grid* open_grid(PyObject* worksheet, PyObject* cells);

    // Whether `grid` (from open_grid) still waits for its holes to be made.
    bool pending(const Grid* grid) const noexcept;

    // Makes every recorded hole now, as the sheet's cell() would have made
    // it, and makes holes at once for the rest of the write. Objects made
    // are held in `pause` (when there is one). A cell someone made
    // meanwhile is kept.
    void settle(CollectorPause* pause);

    // The grids whose holes are still unmade, handed over at the end of the
    // write (nothing is recorded afterwards).
    Grids take_grids() noexcept;

    // Makes the holes of `grids`, as settle() does.
    static void make(const Grids& grids, CollectorPause* pause);

private:
    bool allowed_ = false;
    bool settled_ = false;
    Grids grids_;
};

// settle() of the running write on this thread, if any.
void settle_owed_cells();

}  // namespace xt
