// The width pass's measure of one cell of openpyxl's own Cell class, read
// from its value slot; plain values are measured without making their text.
#pragma once

#include <Python.h>

#include "../libraries/openpyxl_layout.hpp"

namespace xt {

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

// Whether measure_cell_direct takes `cell` without running code of any kind.
bool measured_without_code(const OpenpyxlLayout& layout, PyObject* cell) noexcept;

}  // namespace xt
