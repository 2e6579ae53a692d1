// The rows of one worksheet as openpyxl's WorksheetWriter.write_rows writes
// them, for sheets whose every cell is of a kind reproduced here exactly:
// openpyxl's own Cell (or MergedCell) of the sheet, without comment or
// hyperlink, whose value is None, a str, an int that fits a float, a float,
// a bool, or (for date cells) a naive datetime, date, time, timedelta or
// pandas Timestamp.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"
#include "../workbook/number_text.hpp"
#include "../workbook/sheet_xml.hpp"
#include "save_layout.hpp"

namespace xt {

class SheetRows {
public:
    SheetRows(const SaveLayout& layout, PyObject* worksheet)
        : layout_(layout), worksheet_(worksheet)
    {
    }

    // Collects the sheet's cells in openpyxl's order when every one of them
    // is reproduced exactly; false (nothing changed anywhere) otherwise.
    // Ordinary errors while looking count as "no"; an interrupt is passed
    // on as PyErrorSet.
    bool collect();

    // Writes the rows (what goes inside sheetData), registering the cells'
    // style arrays in the workbook's style list in the order openpyxl's
    // writer registers them.
    void write(SheetXmlWriter& out);

    // The most bytes write() can produce for the collected cells.
    std::size_t byte_bound() const noexcept { return byte_bound_; }

private:
    struct Entry {
        long long row;     // the row of the cell's key in the sheet
        long long column;  // the column of its key
        Ref cell;
    };

    bool read_workbook_settings();
    void sort_entries();

    const SaveLayout& layout_;
    PyObject* worksheet_;
    Ref workbook_;
    Ref cell_styles_;
    DayEpoch epoch_{};
    bool iso_dates_ = false;
    std::vector<Entry> entries_;
    std::size_t byte_bound_ = 0;
};

}  // namespace xt
