// openpyxl's own pieces as the direct route of format_excel_sheet relies on
// them: found once per process (the first call imports the modules), and
// checked to be unchanged whenever the route is about to trust them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <vector>

#include "../core/ref.hpp"
#include "../library_check/lookup.hpp"

namespace xt {

constexpr int style_array_length = 9;

// Everything the direct route knows about openpyxl, made at the first call.
struct OpenpyxlLayout {
    Ref worksheet_type;
    Ref workbook_type;
    Ref cell_type;
    Ref merged_cell_type;
    Ref style_array_type;
    Ref array_descriptor_type;
    Ref indexed_list_type;
    Ref style_descriptor_type;
    // Font, PatternFill, Alignment, Border, Side, get_column_letter, as the
    // module binds them at import.
    std::array<Ref, 6> module_bindings;
    std::array<Ref, 6> module_binding_names;

    std::vector<Pin> pins;
    std::size_t cell_value_pin = 0;
    std::size_t merged_cell_value_pin = 0;

    // Cell slots.
    Py_ssize_t value_offset = 0;
    Py_ssize_t parent_offset = 0;
    Py_ssize_t style_offset = 0;

    // Per style attribute, in the order font, fill, border, alignment: the
    // descriptor on the cell class, its collection and key, the StyleArray
    // field of that key and the field's position.
    std::array<PyObject*, 4> descriptors{};
    std::array<Ref, 4> collection_names;
    std::array<Ref, 4> key_names;
    std::array<PyObject*, 4> fields{};
    std::array<long, 4> positions{0, 1, 2, 5};

    // What StyleArray() runs: StyleArray.__new__, a function whose body is
    // array.__new__(cls, 'i', args) with the default args [0] * 9. Kept:
    // the function, its code, its defaults, the `array` it finds in its
    // module, and the arguments ('i', default list) it passes on.
    Ref new_function;
    Ref new_code;
    Ref new_defaults;
    Ref array_type;
    Ref array_name;      // "array"
    Ref new_arguments;   // ('i', the default list)
    Ref zero_arguments;  // ('i', the bytes of nine C int zeros)
    Ref zero;            // 0, the object the default list holds nine times
    Ref no_arguments;    // ()

    Ref collection_attr;  // "collection"
    Ref key_attr;         // "key"
    Ref add_name;         // "add"
    Ref parent_name;      // "parent"
    Ref current_row_name; // "_current_row"
    Ref max_row_name;     // "max_row"
    Ref max_column_name;  // "max_column"
    Ref cell_name;        // "cell"
    Ref row_name;         // "row"
    // Worksheet methods an instance attribute could hide.
    std::vector<Ref> method_names;
};

// The route guard still vouches for openpyxl's pieces, and the pinned
// pieces and the descriptors' settings are as captured.
bool layout_still_holds(const OpenpyxlLayout& layout);

// No instance attribute of the worksheet hides a method that yields cells.
bool methods_unshadowed(const OpenpyxlLayout& layout, PyObject* worksheet);

// True while Cell.value is still the property the layout was made with.
bool cell_value_unchanged(const OpenpyxlLayout& layout);

// A merged cell whose value is still its class's None: reading it through
// the public attribute runs no code, so nothing needs checking again.
bool quiet_merged_cell(const OpenpyxlLayout& layout, PyObject* cell);

// A new StyleArray(), exactly as calling the class makes it; nullptr with
// the error set on failure.
PyObject* new_style_array(const OpenpyxlLayout& layout);

// openpyxl's pieces as found at the first use in this process; nullptr when
// openpyxl is not laid out as the direct routes expect. Callers check
// layout_still_holds before trusting it.
const OpenpyxlLayout* openpyxl_layout();

}  // namespace xt
