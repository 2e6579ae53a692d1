// openpyxl's own pieces as the direct route of format_excel_sheet relies on
// them: found once per process (the first call imports the modules), and
// checked to be unchanged whenever the route is about to trust them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <vector>

#include "../core/ref.hpp"
#include "sheet_styles.hpp"

namespace xt {

constexpr int style_array_length = 9;

// A class attribute the direct route relies on, as the class's method
// resolution order finds it; `value` is nullptr when no class defines it.
struct Pin {
    PyTypeObject* owner;
    Ref name;
    Ref value;
};

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
    Ref no_arguments;    // ()

    Ref collection_attr;  // "collection"
    Ref key_attr;         // "key"
    Ref add_name;         // "add"
    Ref parent_name;      // "parent"
    Ref current_row_name; // "_current_row"
    Ref cells_name;       // "_cells"
    Ref max_row_name;     // "max_row"
    Ref max_column_name;  // "max_column"
    Ref cell_name;        // "cell"
    Ref row_name;         // "row"
    // Worksheet methods an instance attribute could hide.
    std::vector<Ref> method_names;
};

// The layout when `worksheet` and `styles` qualify for the direct route: the
// worksheet is of openpyxl's own Worksheet class, the module's style classes
// and get_column_letter are openpyxl's own, the five style objects are their
// instances, and the pinned pieces are unchanged; nullptr otherwise. Failed
// checks are silent; only an exception that does not derive from Exception
// (an interrupt arriving while openpyxl code runs) is passed on as
// PyErrorSet.
const OpenpyxlLayout* direct_layout_for(PyObject* worksheet, const SheetStyles& styles);

// The pinned pieces and the descriptors' settings are as captured.
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

// obj.name, or an empty Ref when that raised an ordinary exception.
Ref attribute_or_nothing(PyObject* obj, PyObject* name);

// After a failed C-API call during a check: an ordinary exception only means
// "not openpyxl's own" and is cleared, an interrupt or exit request is passed
// on as PyErrorSet.
void swallow_ordinary_error();

// openpyxl's pieces as found at the first use in this process; nullptr when
// openpyxl is not laid out as the direct routes expect. Callers check
// layout_still_holds before trusting it.
const OpenpyxlLayout* openpyxl_layout();

// Helpers for capturing a library's pieces, shared by the direct routes.
Ref interned(const char* text);
// An attribute as the class's method resolution order finds it (no
// metaclass, no instance); borrowed, nullptr when no class defines it.
PyObject* class_attribute(PyTypeObject* type, PyObject* name);
bool text_equals(PyObject* value, const char* expected);
bool text_starts_with(PyObject* value, const char* prefix);
// A class defined in `module` under `name`, as that module holds it now.
Ref openpyxl_class(const char* module, const char* name);
// True for a function, or a property whose getter is a function, defined
// in a module whose name starts with `module_prefix` ("pandas.").
bool is_code_of(PyObject* value, const char* module_prefix);
bool is_openpyxl_code(PyObject* value);
// The offset of a writable object slot (a __slots__ entry of `owner`)
// described by `descriptor`.
bool object_slot_offset(PyObject* descriptor, PyTypeObject* owner, Py_ssize_t& offset);

// A global name a function's code reads, as the function's module held it
// when captured (`value` is nullptr when the module did not have it).
struct GlobalPin {
    Ref globals;
    Ref name;
    Ref value;
};
// Pins every name the code of `function` (a plain function, or a property's
// getter) reads from its module; false when it is no such function.
bool pin_globals(std::vector<GlobalPin>& pins, PyObject* function);
// Every pinned global is still what it was.
bool globals_unchanged(const std::vector<GlobalPin>& pins);

inline PyTypeObject* as_type(const Ref& type)
{
    return reinterpret_cast<PyTypeObject*>(type.get());
}

// The object slot at `offset` of an instance of a class with that slot.
inline PyObject** slot_at(PyObject* obj, Py_ssize_t offset)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

}  // namespace xt
