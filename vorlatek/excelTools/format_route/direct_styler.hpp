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
//
// This file: the styling of one cell.
#pragma once

#include <Python.h>

#include <array>

#include "../core/call_frame.hpp"
#include "../core/ref.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "../write_session/collector_pause.hpp"
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

// An object the formatter makes inside write_formatted_excel waits for the
// end of that write to be seen by the collector, as the placed cells do.
// `pause` is the write's (WritePause::current() when the pass began), or
// nullptr outside a write.
inline void hold_for_write(CollectorPause* pause, PyObject* obj)
{
    if (pause != nullptr) {
        pause->hold(obj);
    }
}

}  // namespace xt
