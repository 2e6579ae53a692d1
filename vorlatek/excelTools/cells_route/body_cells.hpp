// The body of a frame placed into its worksheet, value by value as pandas'
// body generator run through the openpyxl writer's cell loop places it, but
// without that machinery: for every value of a kind reproduced here the
// cell is made directly (openpyxl's own Cell class, its slots set as its
// constructor and value setter set them) and put into the sheet's cell dict
// in pandas' order, column by column. Any other value, and any cell the sheet
// already holds, goes through pandas' and openpyxl's own calls for that one
// cell, exactly as the writer's loop makes them.
#pragma once

#include <Python.h>

namespace xt {

struct PandasLayout;

// What the header pass (pandas' own) leaves for the body: the writer, the
// formatter, the worksheet it wrote to, the startrow and startcol the writer
// was given, and the column offset the formatter handed its body generator.
// All borrowed.
struct BodyPlace {
    PyObject* writer;
    PyObject* formatter;
    PyObject* worksheet;
    PyObject* startrow;
    PyObject* startcol;
    PyObject* coloffset;
};

// Places every column of formatter.df (as formatter._generate_body would
// yield it) into the worksheet. Errors are those pandas' loop raises, from
// the same cell.
void place_body(const PandasLayout& pandas, const BodyPlace& place);

}  // namespace xt
