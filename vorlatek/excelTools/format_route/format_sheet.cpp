// format_excel_sheet: styles one openpyxl worksheet as a report. Cells that
// hold a value get a font, centring and a thin frame (the first row yielded
// becomes a white-on-blue bold header band); then every column gets a width
// of its longest text plus 3.
//
// The work is split into the style set, the styling pass and the width pass,
// each going through ordinary attribute access on whatever objects the
// worksheet yields, so any worksheet-like object works. For plain openpyxl
// worksheets the cells of both passes take the direct route of
// direct_styler.hpp and cell_grid.hpp, which leave the same styles and widths.
#include <Python.h>

#include <optional>

#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "format_sheet.hpp"
#include "cell_measure.hpp"
#include "direct_layout.hpp"
#include "cell_grid.hpp"
#include "direct_styler.hpp"
#include "width_measure.hpp"
#include "sheet_styles.hpp"

namespace xt {

namespace {

Ref thin_side(PyObject* side_class)
{
    return call(side_class, {}, {{names.style, names.thin}});
}

}  // namespace

SheetStyles make_sheet_styles(CallFrame& frame)
{
    SheetStyles styles;
    // header_font = Font(name="Arial", bold=True, color="FFFFFF")
    frame.at(210);
    {
        Ref font_class = lookup_global(names.Font);
        styles.header_font = call(font_class.get(), {},
                                  {{names.name, names.Arial},
                                   {names.bold, Py_True},
                                   {names.color, names.white}});
    }
    // header_fill = PatternFill(start_color="4F81BD", end_color="4F81BD", fill_type="solid")
    frame.at(211);
    {
        Ref fill_class = lookup_global(names.PatternFill);
        styles.header_fill = call(fill_class.get(), {},
                                  {{names.start_color, names.header_blue},
                                   {names.end_color, names.header_blue},
                                   {names.fill_type, names.solid}});
    }
    // cell_font = Font(name="Arial", size=11)
    frame.at(212);
    {
        Ref font_class = lookup_global(names.Font);
        Ref eleven = Ref::checked(PyLong_FromLong(11));
        styles.cell_font =
            call(font_class.get(), {}, {{names.name, names.Arial}, {names.size, eleven.get()}});
    }
    // center_aligned = Alignment(horizontal="center", vertical="center")
    frame.at(213);
    {
        Ref alignment_class = lookup_global(names.Alignment);
        styles.center_aligned = call(alignment_class.get(), {},
                                     {{names.horizontal, names.center},
                                      {names.vertical, names.center}});
    }
    // thin_border = Border(left=Side(style="thin"), right=Side(style="thin"),
    //                      top=Side(style="thin"), bottom=Side(style="thin"))
    // As in any call expression, the callee is found before its arguments
    // are evaluated; each Side is a new object.
    frame.at(214);
    Ref border_class = lookup_global(names.Border);
    frame.at(215);
    Ref left = thin_side(lookup_global(names.Side).get());
    Ref right = thin_side(lookup_global(names.Side).get());
    frame.at(216);
    Ref top = thin_side(lookup_global(names.Side).get());
    Ref bottom = thin_side(lookup_global(names.Side).get());
    frame.at(214);
    styles.thin_border = call(border_class.get(), {},
                              {{names.left, left.get()},
                               {names.right, right.get()},
                               {names.top, top.get()},
                               {names.bottom, bottom.get()}});
    return styles;
}

void style_cell_generic(CallFrame& frame, PyObject* cell, bool header_row,
                        const SheetStyles& styles)
{
    // if cell.value is not None:
    frame.at(222);
    if (get_attr(cell, names.value).get() == Py_None) {
        return;
    }
    frame.at(224);
    if (header_row) {
        frame.at(225);
        set_attr(cell, names.font, styles.header_font.get());
        frame.at(226);
        set_attr(cell, names.fill, styles.header_fill.get());
    }
    else {
        frame.at(228);
        set_attr(cell, names.font, styles.cell_font.get());
    }
    frame.at(230);
    set_attr(cell, names.alignment, styles.center_aligned.get());
    frame.at(231);
    set_attr(cell, names.border, styles.thin_border.get());
}

void style_cells(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                 const OpenpyxlLayout* layout)
{
    std::optional<DirectStyler> direct;
    if (layout != nullptr) {
        direct.emplace(*layout, worksheet, styles);
    }
    // for row_idx, row in enumerate(worksheet.iter_rows()):
    frame.at(220);
    Ref rows = call_method(worksheet, names.iter_rows);
    Ref row_iter = get_iter(rows.get());
    for (Py_ssize_t row_idx = 0;; ++row_idx) {
        frame.at(220);
        Ref row = next_item(row_iter.get());
        if (!row) {
            break;
        }
        const bool header_row = row_idx == 0;
        // for cell in row:
        frame.at(221);
        Ref cell_iter = get_iter(row.get());
        for (;;) {
            frame.at(221);
            Ref cell = next_item(cell_iter.get());
            if (!cell) {
                break;
            }
            if (direct && direct->style(frame, cell.get(), header_row)) {
                continue;
            }
            style_cell_generic(frame, cell.get(), header_row, styles);
            if (direct) {
                direct->forget();
            }
        }
    }
}

void measure_cell_generic(PyObject* cell, Py_ssize_t& max_length) noexcept
{
    measure_value([cell]() { return PyObject_GetAttr(cell, names.value); }, max_length);
}

void set_column_width(CallFrame& frame, PyObject* worksheet, PyObject* col_letter,
                      Py_ssize_t max_length)
{
    // worksheet.column_dimensions[col_letter].width = max_length + 3
    frame.at(244);
    Ref width = Ref::checked(PyLong_FromSsize_t(max_length + 3));
    Ref dimensions = get_attr(worksheet, names.column_dimensions);
    Ref dimension = get_item(dimensions.get(), col_letter);
    set_attr(dimension.get(), names.width, width.get());
}

void set_column_widths(CallFrame& frame, PyObject* worksheet, const OpenpyxlLayout* layout)
{
    // for col in worksheet.columns:
    frame.at(234);
    Ref columns = get_attr(worksheet, names.columns);
    Ref column_iter = get_iter(columns.get());
    for (;;) {
        frame.at(234);
        Ref col = next_item(column_iter.get());
        if (!col) {
            break;
        }
        frame.at(235);
        Py_ssize_t max_length = 0;
        // col_letter = get_column_letter(col[0].column)
        frame.at(236);
        Ref letter_function = lookup_global(names.get_column_letter);
        Ref zero = Ref::checked(PyLong_FromLong(0));
        Ref first_cell = get_item(col.get(), zero.get());
        Ref column_number = get_attr(first_cell.get(), names.column);
        Ref col_letter = call(letter_function.get(), {column_number.get()});
        // for cell in col:
        frame.at(237);
        Ref cell_iter = get_iter(col.get());
        for (;;) {
            frame.at(237);
            Ref cell = next_item(cell_iter.get());
            if (!cell) {
                break;
            }
            bool other_code_ran = true;
            if (layout == nullptr ||
                !measure_cell_direct(*layout, cell.get(), max_length, other_code_ran)) {
                measure_cell_generic(cell.get(), max_length);
            }
            // Reading another cell's value may have run any code.
            if (layout != nullptr && other_code_ran && !cell_value_unchanged(*layout)) {
                layout = nullptr;
            }
        }
        set_column_width(frame, worksheet, col_letter.get(), max_length);
    }
}

Ref format_excel_sheet_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* worksheet = args[0];
    const SheetStyles styles = make_sheet_styles(frame);
    // The direct route applies to plain openpyxl worksheets only; it is
    // checked again before the width pass, since the styling pass may have
    // run code of other cells.
    const OpenpyxlLayout* layout = direct_layout_for(worksheet, styles);
    KeptGrid kept;
    if (layout == nullptr ||
        style_cells_direct(frame, worksheet, styles, *layout, kept) == RouteOutcome::declined) {
        style_cells(frame, worksheet, styles, layout);
    }
    prepare_date_measures();
    layout = direct_layout_for(worksheet, styles);
    if (layout == nullptr ||
        set_column_widths_direct(frame, worksheet, *layout, kept) == RouteOutcome::declined) {
        set_column_widths(frame, worksheet, layout);
    }
    return Ref::borrow(Py_None);
}

}  // namespace xt
