// The direct route of format_excel_sheet for plain openpyxl worksheets.
//
// Assigning a style object to a cell through openpyxl's public attribute
// (cell.font = f) hashes f twice, recursively, only to find the small
// integer that the cell's style array finally stores. The direct route finds
// each of the five style objects' integers once per call, through the same
// `add` of the workbook's style collection the assignment uses (at the first
// cell that needs it, so the collections grow in the same order), and then
// writes the integers into each cell's style array itself. The width pass
// reads a cell's value slot instead of calling the `value` property. Both
// passes walk the cells iter_rows() and iter_cols() would yield straight
// through the sheet's cell dict, without their generators.
//
// It is taken only when every openpyxl piece it stands in for is openpyxl's
// own and unchanged since the first call: the worksheet, cell, workbook and
// style-array classes, the style descriptors with their collections and
// keys, the style classes and get_column_letter bound in the module, and the
// worksheet methods that yield the cells. Any other cell, worksheet or
// binding goes through the ordinary assignments; after such a cell (which
// may run any code) the sheet and the collections are checked again.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include "../write_session/collector_pause.hpp"
#include "../write_session/owed_cells.hpp"
#include "../core/ref.hpp"
#include "../core/call_frame.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "sheet_styles.hpp"

namespace xt {

// Styles one cell at a time as the four assignments would. Keeps the
// workbook's collections and the five integers between cells.
class DirectStyler {
public:
    DirectStyler(const OpenpyxlLayout& layout, PyObject* worksheet, const SheetStyles& styles)
        : layout_(layout), worksheet_(worksheet), styles_(styles)
    {
    }

    // Handles a cell of openpyxl's own Cell class that belongs to the
    // worksheet: leaves it alone when its value is None, otherwise stores the
    // style integers (creating its style array first when it has none).
    // Returns false, having done nothing, for any other cell.
    bool style(CallFrame& frame, PyObject* cell, bool header_row);

    // To be called after a cell went through the ordinary assignments: those
    // may have run any code, so collections and integers are found anew.
    void forget() noexcept;

private:
    enum class State { unresolved, ready, unusable };
    // The style objects by role.
    enum Role { header_font, header_fill, cell_font, center_aligned, thin_border, role_count };

    bool resolve();

    const OpenpyxlLayout& layout_;
    PyObject* worksheet_;
    const SheetStyles& styles_;
    State state_ = State::unresolved;
    std::array<Ref, 4> collections_;  // fonts, fills, borders, alignments
    std::array<int, role_count> indices_{-1, -1, -1, -1, -1};
    // The running write's pause, for the style arrays made (see collector_pause.hpp).
    CollectorPause* write_pause_ = WritePause::current();
};

// One cell of the width pass for a cell of openpyxl's own Cell class, reading
// its value slot; returns false for any other cell. `other_code_ran` tells
// whether measuring the value may have run code of any kind (the truth test
// or str() of a value that is not a plain str, int, float, bool, or date,
// datetime or time without a time zone), which may have changed the sheet,
// its cells or openpyxl's classes.
bool measure_cell_direct(const OpenpyxlLayout& layout, PyObject* cell, Py_ssize_t& max_length,
                         bool& other_code_ran) noexcept;

// Lets measure_cell_direct count plain dates and times without making their
// text (it converts them otherwise); may run the datetime module's import,
// so it is called where code of any kind may run.
void prepare_date_measures();

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
    std::vector<PyObject*> index;  // the cells row by row, owned references
    // The grid's holes left unmade (see owed_cells.hpp), or nullptr.
    OwedCells::Grid* owed = nullptr;
};

bool style_cells_direct(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                        const OpenpyxlLayout& layout, KeptGrid& kept);
bool set_column_widths_direct(CallFrame& frame, PyObject* worksheet, const OpenpyxlLayout& layout,
                              KeptGrid& kept);

}  // namespace xt
