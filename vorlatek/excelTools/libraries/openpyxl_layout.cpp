// openpyxl's pieces for the direct route of format_excel_sheet: found once
// per process, checked on every call.
#include "openpyxl_layout.hpp"

#include <memory>
#include <string>

#include "../core/error.hpp"
#include "layout_slot.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/route_guard.hpp"

namespace xt {

namespace {

// What a pinned attribute must be when the layout is made.
enum class PinKind {
    openpyxl_code,     // a piece of openpyxl's code (the route guard checks it)
    object_slot,       // a writable object slot of the class (__slots__ entry)
    style_descriptor,  // an instance of openpyxl's StyleDescriptor
    array_descriptor,  // an instance of openpyxl's ArrayDescriptor (StyleArray fields)
    anything,          // whatever it is (or its absence), it must stay the same
};

bool pin(OpenpyxlLayout& layout, PyTypeObject* owner, const char* name, PinKind kind)
{
    PyObject* value = xt::pin(layout.pins, as_object(owner), name);
    switch (kind) {
    case PinKind::openpyxl_code:
        // What the code is, the route guard proves; here it must exist.
        return value != nullptr;
    case PinKind::object_slot:
        return value != nullptr && Py_TYPE(value) == &PyMemberDescr_Type;
    case PinKind::style_descriptor:
        return value != nullptr && Py_TYPE(value) == as_type(layout.style_descriptor_type);
    case PinKind::array_descriptor:
        return value != nullptr && Py_TYPE(value) == as_type(layout.array_descriptor_type);
    case PinKind::anything:
        break;
    }
    return true;
}

// Reads the descriptors' settings, which are plain instance attributes and
// could be changed at any time.
bool descriptors_as_expected(const OpenpyxlLayout& layout)
{
    for (std::size_t i = 0; i < 4; ++i) {
        Ref collection = attribute_or_nothing(layout.descriptors[i], layout.collection_attr.get());
        Ref key = attribute_or_nothing(layout.descriptors[i], layout.key_attr.get());
        if (!collection || !key || !PyUnicode_CheckExact(collection.get()) ||
            !PyUnicode_CheckExact(key.get()) ||
            PyUnicode_Compare(collection.get(), layout.collection_names[i].get()) != 0 ||
            PyUnicode_Compare(key.get(), layout.key_names[i].get()) != 0) {
            return false;
        }
        Ref position = attribute_or_nothing(layout.fields[i], layout.key_attr.get());
        if (!position || !PyLong_CheckExact(position.get())) {
            return false;
        }
        const long field_position = PyLong_AsLong(position.get());
        if (field_position == -1 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        if (field_position != layout.positions[i]) {
            return false;
        }
    }
    return true;
}

// The pieces of StyleArray.__new__ the shortcut relies on (see
// new_style_array); false when it is not a plain function of openpyxl.
bool capture_style_array_new(OpenpyxlLayout& l)
{
    PyObject* wrapper = class_attribute(as_type(l.style_array_type), interned("__new__").get());
    if (wrapper == nullptr || Py_TYPE(wrapper) != &PyStaticMethod_Type) {
        return false;
    }
    l.new_function = Ref::checked(PyObject_GetAttrString(wrapper, "__func__"));
    PyObject* function = l.new_function.get();
    if (!PyFunction_Check(function)) {
        return false;
    }
    l.new_code = Ref::borrow(PyFunction_GetCode(function));
    l.new_defaults = Ref::borrow(PyFunction_GetDefaults(function));
    l.array_name = interned("array");
    if (!l.new_defaults || !PyTuple_CheckExact(l.new_defaults.get()) ||
        PyTuple_GET_SIZE(l.new_defaults.get()) != 1) {
        return false;
    }
    // The body reads the globals `array` and its `__new__` and nothing else,
    // takes (cls, args) and holds one text constant, the type code "i".
    Ref argument_count = Ref::checked(PyObject_GetAttrString(l.new_code.get(), "co_argcount"));
    Ref keyword_count = Ref::checked(PyObject_GetAttrString(l.new_code.get(), "co_kwonlyargcount"));
    Ref globals_read = Ref::checked(PyObject_GetAttrString(l.new_code.get(), "co_names"));
    Ref constants = Ref::checked(PyObject_GetAttrString(l.new_code.get(), "co_consts"));
    Ref expected_globals = Ref::checked(Py_BuildValue("(ss)", "array", "__new__"));
    if (PyLong_AsLong(argument_count.get()) != 2 || PyLong_AsLong(keyword_count.get()) != 0 ||
        PyObject_RichCompareBool(globals_read.get(), expected_globals.get(), Py_EQ) != 1 ||
        !PyTuple_Check(constants.get())) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return false;
    }
    Ref type_code;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
        if (PyUnicode_Check(constant)) {
            if (type_code || !text_equals(constant, "i")) {
                return false;
            }
            type_code = Ref::borrow(constant);
        }
    }
    if (!type_code) {
        return false;
    }
    l.no_arguments = Ref::checked(PyTuple_New(0));
    l.new_arguments =
        Ref::checked(PyTuple_Pack(2, type_code.get(), PyTuple_GET_ITEM(l.new_defaults.get(), 0)));
    const std::string zero_ints(style_array_length * sizeof(int), '\0');
    Ref zero_bytes = Ref::checked(
        PyBytes_FromStringAndSize(zero_ints.data(), static_cast<Py_ssize_t>(zero_ints.size())));
    l.zero_arguments = Ref::checked(PyTuple_Pack(2, type_code.get(), zero_bytes.get()));
    l.zero = Ref::checked(PyLong_FromLong(0));
    return true;
}

// StyleArray.__new__ is still the function captured, with the same code,
// the same default list still holding nine zeros, and `array` in its module
// still the array type.
bool style_array_new_unchanged(const OpenpyxlLayout& l)
{
    PyObject* function = l.new_function.get();
    if (PyFunction_GetCode(function) != l.new_code.get() ||
        PyFunction_GetDefaults(function) != l.new_defaults.get()) {
        return false;
    }
    PyObject* zeros = PyTuple_GET_ITEM(l.new_defaults.get(), 0);
    if (!PyList_CheckExact(zeros) || PyList_GET_SIZE(zeros) != style_array_length) {
        return false;
    }
    for (Py_ssize_t i = 0; i < style_array_length; ++i) {
        PyObject* item = PyList_GET_ITEM(zeros, i);
        if (!PyLong_CheckExact(item)) {
            return false;
        }
        const long number = PyLong_AsLong(item);
        if (number == -1 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        if (number != 0) {
            return false;
        }
    }
    PyObject* array_binding = PyDict_GetItemWithError(PyFunction_GetGlobals(function),
                                                      l.array_name.get());
    if (array_binding == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    return array_binding == l.array_type.get();
}

// openpyxl's pieces, found and checked; nullptr (error set) when openpyxl is
// not what the direct route knows.
std::unique_ptr<OpenpyxlLayout> make_layout()
{
    auto layout = std::make_unique<OpenpyxlLayout>();
    OpenpyxlLayout& l = *layout;
    l.worksheet_type = library_class("openpyxl.worksheet.worksheet", "Worksheet");
    l.workbook_type = library_class("openpyxl.workbook.workbook", "Workbook");
    l.cell_type = library_class("openpyxl.cell.cell", "Cell");
    l.merged_cell_type = library_class("openpyxl.cell.cell", "MergedCell");
    l.style_array_type = library_class("openpyxl.styles.cell_style", "StyleArray");
    l.array_descriptor_type = library_class("openpyxl.styles.cell_style", "ArrayDescriptor");
    l.indexed_list_type = library_class("openpyxl.utils.indexed_list", "IndexedList");
    l.style_descriptor_type = library_class("openpyxl.styles.styleable", "StyleDescriptor");

    const char* const binding_names[6] = {"Font", "PatternFill", "Alignment", "Border", "Side",
                                          "get_column_letter"};
    l.module_bindings = {library_class("openpyxl.styles.fonts", "Font"),
                         library_class("openpyxl.styles.fills", "PatternFill"),
                         library_class("openpyxl.styles.alignment", "Alignment"),
                         library_class("openpyxl.styles.borders", "Border"),
                         library_class("openpyxl.styles.borders", "Side"), Ref()};
    {
        Ref utils = Ref::checked(PyImport_ImportModule("openpyxl.utils.cell"));
        l.module_bindings[5] = Ref::checked(PyObject_GetAttrString(utils.get(), "get_column_letter"));
    }
    for (std::size_t i = 0; i < 6; ++i) {
        l.module_binding_names[i] = interned(binding_names[i]);
    }

    l.collection_attr = interned("collection");
    l.key_attr = interned("key");
    l.add_name = interned("add");
    l.parent_name = interned("parent");
    l.current_row_name = interned("_current_row");
    l.max_row_name = interned("max_row");
    l.max_column_name = interned("max_column");
    l.cell_name = interned("cell");
    l.row_name = interned("row");

    bool fits = PyCallable_Check(l.module_bindings[5].get()) != 0;
    // The style array must be an array of C ints with the four fields at the
    // expected positions and nothing of its own in the way of item stores.
    {
        Ref array_module = Ref::checked(PyImport_ImportModule("array"));
        l.array_type = Ref::checked(PyObject_GetAttrString(array_module.get(), "array"));
        fits = fits && reinterpret_cast<PyObject*>(as_type(l.style_array_type)->tp_base) ==
                           l.array_type.get();
    }

    PyTypeObject* worksheet = as_type(l.worksheet_type);
    PyTypeObject* cell = as_type(l.cell_type);
    PyTypeObject* style_array = as_type(l.style_array_type);

    // How the worksheet yields its cells and makes missing ones.
    const char* const methods[] = {"iter_rows", "_cells_by_row", "iter_cols", "_cells_by_col",
                                   "cell", "_get_cell", "_add_cell"};
    for (const char* name : methods) {
        fits = pin(l, worksheet, name, PinKind::openpyxl_code) && fits;
        l.method_names.push_back(interned(name));
    }
    for (const char* name : {"columns", "max_row", "max_column", "parent"}) {
        fits = pin(l, worksheet, name, PinKind::openpyxl_code) && fits;
    }
    // The cell: its style attributes, its value and its slots.
    const char* const style_attrs[4] = {"font", "fill", "border", "alignment"};
    const char* const collections[4] = {"_fonts", "_fills", "_borders", "_alignments"};
    const char* const keys[4] = {"fontId", "fillId", "borderId", "alignmentId"};
    for (std::size_t i = 0; i < 4; ++i) {
        fits = pin(l, cell, style_attrs[i], PinKind::style_descriptor) && fits;
        l.descriptors[i] = l.pins.back().value.get();
        l.collection_names[i] = interned(collections[i]);
        l.key_names[i] = interned(keys[i]);
        fits = pin(l, style_array, keys[i], PinKind::array_descriptor) && fits;
        l.fields[i] = l.pins.back().value.get();
    }
    fits = pin(l, cell, "value", PinKind::openpyxl_code) && fits;
    l.cell_value_pin = l.pins.size() - 1;
    fits = pin(l, cell, "__init__", PinKind::openpyxl_code) && fits;
    // A merged cell's value is a plain None on its class.
    fits = pin(l, as_type(l.merged_cell_type), "value", PinKind::anything) && fits &&
           l.pins.back().value.get() == Py_None;
    l.merged_cell_value_pin = l.pins.size() - 1;
    fits = pin(l, cell, "_value", PinKind::object_slot) && fits &&
           object_slot_offset(l.pins.back().value.get(), cell, l.value_offset);
    fits = pin(l, cell, "parent", PinKind::object_slot) && fits &&
           object_slot_offset(l.pins.back().value.get(), cell, l.parent_offset);
    fits = pin(l, cell, "_style", PinKind::object_slot) && fits &&
           object_slot_offset(l.pins.back().value.get(), cell, l.style_offset);
    // The style array: made by its own __new__, stored into and tested for
    // truth by array's own operations.
    fits = pin(l, style_array, "__new__", PinKind::anything) && fits;
    for (const char* name : {"__setitem__", "__len__", "__bool__"}) {
        fits = pin(l, style_array, name, PinKind::anything) && fits;
    }
    fits = pin(l, as_type(l.array_descriptor_type), "__set__", PinKind::openpyxl_code) && fits;
    // The style collections.
    for (const char* name : {"add", "append"}) {
        fits = pin(l, as_type(l.indexed_list_type), name, PinKind::openpyxl_code) && fits;
    }
    fits = fits && capture_style_array_new(l) && style_array_new_unchanged(l) &&
           descriptors_as_expected(l);
    if (!fits) {
        PyErr_SetString(PyExc_TypeError, "openpyxl is not laid out as the direct route expects");
        throw_error_set();
    }
    return layout;
}

// Made at the first call and kept for the process, like the interned names.
// When openpyxl is not what the direct route knows, that is remembered too
// and every call takes the ordinary assignments.
LayoutSlot<OpenpyxlLayout> process_layout(AfterFailure::settled);

const OpenpyxlLayout* layout_for_process()
{
    // The layout is made from openpyxl's own pieces only: while any is not
    // (replaced, wrapped), the question stays open for a later call.
    return process_layout.settled_or_built(
        [] { return library_check::may_run(library_check::Route::format); }, make_layout);
}

}  // namespace

const OpenpyxlLayout* openpyxl_layout() { return layout_for_process(); }

bool layout_still_holds(const OpenpyxlLayout& layout)
{
    try {
        return library_check::may_run(library_check::Route::format) && pins_hold(layout.pins) &&
               style_array_new_unchanged(layout) && descriptors_as_expected(layout);
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

bool methods_unshadowed(const OpenpyxlLayout& layout, PyObject* worksheet)
{
    Ref instance_dict = Ref::steal(PyObject_GenericGetDict(worksheet, nullptr));
    if (!instance_dict) {
        swallow_ordinary_error();
        return false;
    }
    if (!PyDict_Check(instance_dict.get())) {
        return false;
    }
    for (const Ref& name : layout.method_names) {
        const int shadowed = PyDict_Contains(instance_dict.get(), name.get());
        if (shadowed != 0) {
            if (shadowed < 0) {
                swallow_ordinary_error();
            }
            return false;
        }
    }
    return true;
}

namespace {

bool pin_unchanged(const OpenpyxlLayout& layout, std::size_t index)
{
    return pin_holds(layout.pins[index]);
}

}  // namespace

bool cell_value_unchanged(const OpenpyxlLayout& layout)
{
    return pin_unchanged(layout, layout.cell_value_pin);
}

bool quiet_merged_cell(const OpenpyxlLayout& layout, PyObject* cell)
{
    return Py_TYPE(cell) == as_type(layout.merged_cell_type) &&
           pin_unchanged(layout, layout.merged_cell_value_pin);
}

// StyleArray(), as the call runs it, without the interpreted __new__: the
// class's call makes the object with StyleArray.__new__, which hands
// (cls, 'i', its default list) to array.__new__, which makes it with the
// array type's own constructor; then the object's __init__ runs with no
// arguments. The layout's checks keep each of these pieces as captured.
//
// The array's constructor converts a list's items one by one through the
// argument parser; from bytes it copies the C ints at once. While the default
// list holds nine times the very zero it held when checked, the bytes of
// nine zeros make the same array.
PyObject* new_style_array(const OpenpyxlLayout& layout)
{
    PyTypeObject* style_array = as_type(layout.style_array_type);
    PyObject* defaults = PyTuple_GET_ITEM(layout.new_arguments.get(), 1);
    bool zeros = PyList_CheckExact(defaults) && PyList_GET_SIZE(defaults) == style_array_length;
    for (Py_ssize_t i = 0; zeros && i < style_array_length; ++i) {
        zeros = PyList_GET_ITEM(defaults, i) == layout.zero.get();
    }
    PyObject* arguments = zeros ? layout.zero_arguments.get() : layout.new_arguments.get();
    PyObject* made = as_type(layout.array_type)->tp_new(style_array, arguments, nullptr);
    if (made == nullptr || !PyObject_TypeCheck(made, style_array)) {
        return made;
    }
    initproc init = Py_TYPE(made)->tp_init;
    if (init != nullptr) {
        if (init(made, layout.no_arguments.get(), nullptr) < 0) {
            Py_DECREF(made);
            return nullptr;
        }
    }
    return made;
}

}  // namespace xt
