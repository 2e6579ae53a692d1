// The values of a text column held in pyarrow, taken in one call.
//
// Iterating such a Series (pandas 3's str columns with pyarrow installed,
// string[pyarrow] columns before) runs ArrowExtensionArray.__iter__, which
// makes a pyarrow scalar and calls its as_py() for every value. pyarrow's
// ChunkedArray.to_pylist gives the same as_py() values in one call; the
// missing ones become the dtype's na_value as __iter__ makes them.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"
#include "../libraries/pandas_layout.hpp"

namespace xt {

class ArrowTexts {
public:
    explicit ArrowTexts(const PandasLayout& pandas);

    // A list of what `for val in series` yields, for a column of pyarrow
    // texts (string or large_string) whose pieces are pandas' own; an empty
    // Ref for any other column. The caller checks that series is exactly
    // pandas' Series and that the layout's pins hold.
    Ref values_of(PyObject* series);

private:
    bool find_arrow_types();

    const PandasLayout& pandas_;
    Ref chunked_array_type_;
    std::vector<Ref> text_type_ids_;
    Ref arrow_module_name_;
    Ref chunked_array_name_;
    Ref string_name_;
    Ref large_string_name_;
};

}  // namespace xt
