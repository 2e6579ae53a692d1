// pandas' own pieces as the native placement of a frame's body relies on
// them: the writer's _write_cells, the formatter whose body generator it
// stands in for, the scalars a column yields. Found once per process (at the
// first write) and checked to be unchanged before each placement.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"
#include "openpyxl_layout.hpp"

namespace xt {

struct PandasLayout {
    Ref pandas_module;
    Ref frame_type;      // pandas.DataFrame
    Ref writer_type;     // pandas.io.excel._openpyxl.OpenpyxlWriter
    Ref formatter_type;  // pandas.io.formats.excel.ExcelFormatter
    Ref write_cells;     // OpenpyxlWriter._write_cells, the function
    Ref generate_body;   // ExcelFormatter._generate_body, the function
    Ref formatted_cells_code;  // the code of ExcelFormatter.get_formatted_cells

    // Scalars the columns of a frame yield.
    Ref timestamp_type;  // pandas.Timestamp
    Ref timedelta_type;  // pandas.Timedelta
    Ref na;              // pandas.NA
    Ref nat;             // pandas.NaT
    // numpy's float64, float32 and float16; its integer types; its bool.
    std::vector<Ref> numpy_float_types;
    std::vector<Ref> numpy_integer_types;
    Ref numpy_bool_type;
    Ref numpy_dtype_type;  // numpy.dtype
    // Timestamp's tzinfo is datetime's own slot (pandas 2), so a
    // Timestamp's time zone can be read from the datetime structure.
    bool timestamp_tzinfo_is_datetimes = false;

    // Text columns held in pyarrow (pandas 3's default str columns with
    // pyarrow installed, string[pyarrow] before): what `for val in series`
    // runs for them, which the placement takes in bulk instead (see
    // capture_arrow_text_columns). Unset when any piece is not pandas' own.
    Ref series_type;       // pandas.Series
    Ref arrow_array_type;  // ArrowExtensionArray
    Ref arrow_iter;        // ArrowExtensionArray.__iter__
    Ref arrow_chunks;      // ArrowExtensionArray.__arrow_array__
    Ref values_name, dtype_name, na_value_name, to_pylist_name, type_name, id_name,
        iter_name, arrow_array_name;
    bool arrow_texts_in_bulk = false;

    std::vector<Pin> pins;
};

// The layout when the module's `pd` is pandas itself, the route guard
// vouches for the pieces the placement reproduces and they are laid out as
// at the first use; nullptr otherwise. Failed checks are silent; an interrupt
// is passed on as PyErrorSet.
const PandasLayout* pandas_layout_if_genuine(PyObject* pd);

// The route guard still vouches for the pieces and the pinned ones are as
// captured (for checks after other code ran).
bool pandas_pins_hold(const PandasLayout& layout);

}  // namespace xt
