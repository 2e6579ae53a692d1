// How openpyxl writes one cell (cell/_writer.py _set_attributes and
// etree_write_cell or lxml_write_cell, compat/strings.py safe_string,
// utils/datetime.py to_excel), planned from the cell's slots when that is
// reproduced here exactly.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "../core/ref.hpp"
#include "../workbook/number_text.hpp"
#include "save_layout.hpp"

namespace xt {

constexpr long long last_column = 18278;  // "ZZZ", get_column_letter's limit

using StyleInts = std::array<int, 9>;

// What one cell becomes.
enum class Content {
    skip,           // not written (no value, no style)
    empty_cell,     // <c .../>
    number,         // <v>%.16g</v>
    text_value,     // <v>text</v>
    empty_value,    // <v/>: a float whose text is empty (nan, inf)
    inline_string,  // <is><t>text</t></is>
    formula,        // <f>text[1:]</f><v/>
};

struct CellPlan {
    Content content = Content::skip;
    std::string_view type;  // the t attribute; empty for none
    long long row = 0;
    long long column = 0;
    // The StyleArray (when the cell has a style) and the text are owned:
    // registering the style runs Python code, and so does a signal handler
    // while the output is flushed, either of which may rebind the cell's
    // value or style before they are written.
    Ref style;
    StyleInts style_ints{};
    double number = 0;
    Ref text;
};

struct SheetFacts {
    const SaveLayout& layout;
    PyObject* worksheet;
    const DayEpoch& epoch;
    bool iso_dates;
};

// Imports the datetime C API plan_cell reads date cells with (once); false,
// with an ordinary error cleared, when it cannot be had.
bool ready_cell_plans();

// How openpyxl writes `cell`; false when that is not reproduced here.
// ready_cell_plans() came first.
bool plan_cell(const SheetFacts& facts, PyObject* cell, CellPlan& plan);

}  // namespace xt
