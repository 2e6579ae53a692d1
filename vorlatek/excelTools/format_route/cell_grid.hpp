// The grid of cells iter_rows() and iter_cols() would yield, walked directly
// over the sheet's cell dict by the direct route's two passes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "../core/call_frame.hpp"
#include "../core/ref.hpp"
#include "../core/route_outcome.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "../write_session/owed_cells.hpp"
#include "sheet_styles.hpp"

namespace xt {

// The styling pass and the width pass over the cells iter_rows() and
// iter_cols() would yield, walked directly over the sheet's cell dict.
// Each returns false, having done nothing, when the sheet's own iteration
// is to be used; cells that are not plain go through the public attributes.
//
// The styling pass leaves the grid it walked in `kept` (every cell of it,
// made where missing); the width pass takes it over instead of reading the
// cell dict again, when nothing but these passes has touched the sheet since:
// the same dict, of the same size, and openpyxl's pieces as checked.
struct KeptGrid {
    KeptGrid() = default;
    KeptGrid(const KeptGrid&) = delete;
    KeptGrid& operator=(const KeptGrid&) = delete;
    ~KeptGrid() { clear(); }
    void clear() noexcept;

    Ref cells;                   // the sheet's cell dict
    Py_ssize_t cells_size = 0;   // its size when the styling pass ended
    bool version_known = false;  // and its version then (core/compat.hpp)
    std::uint64_t version = 0;
    long rows = 0;
    std::vector<Ref> column_numbers;
    std::vector<Ref> index;  // the cells row by row; null where missing
    // The grid's holes left unmade (see owed_cells.hpp), or nullptr.
    OwedCells::Grid* owed = nullptr;
};

// The two passes of the styling on the cell grid. Each declines, having done
// nothing, when the worksheet's cells are not a grid it can hold.
RouteOutcome style_cells_direct(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                                const OpenpyxlLayout& layout, KeptGrid& kept);
RouteOutcome set_column_widths_direct(CallFrame& frame, PyObject* worksheet,
                                      const OpenpyxlLayout& layout, KeptGrid& kept);

}  // namespace xt
