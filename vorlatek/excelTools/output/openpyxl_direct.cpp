// The direct route of format_excel_sheet: openpyxl's own pieces, found once
// per process and checked on every call, and the cell work done with them.
#include "openpyxl_direct.hpp"

#include <structmember.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "cell_measure.hpp"

namespace xt {

namespace {

// What a pinned attribute must be when the layout is made.
enum class PinKind {
    openpyxl_code,     // a function or property defined in an openpyxl module
    object_slot,       // a writable object slot of the class (__slots__ entry)
    style_descriptor,  // an instance of openpyxl's StyleDescriptor
    array_descriptor,  // an instance of openpyxl's ArrayDescriptor (StyleArray fields)
    anything,          // whatever it is (or its absence), it must stay the same
};

// A class attribute the direct route relies on, as the class's method
// resolution order finds it; `value` is nullptr when no class defines it.
struct Pin {
    PyTypeObject* owner;
    Ref name;
    Ref value;
};

}  // namespace

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

namespace {

constexpr int style_array_length = 9;

Ref interned(const char* text) { return Ref::checked(PyUnicode_InternFromString(text)); }

// An attribute as the class's method resolution order finds it (no
// metaclass, no instance); borrowed, nullptr when no class defines it.
PyObject* class_attribute(PyTypeObject* type, PyObject* name)
{
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        PyErr_SetString(PyExc_TypeError, "class without a method resolution order");
        throw_error_set();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr) {
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr) {
            return found;
        }
        if (PyErr_Occurred()) {
            throw_error_set();
        }
    }
    return nullptr;
}

bool text_equals(PyObject* value, const char* expected)
{
    return value != nullptr && PyUnicode_Check(value) &&
           PyUnicode_CompareWithASCIIString(value, expected) == 0;
}

bool text_starts_with(PyObject* value, const char* prefix)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(value);
    if (utf8 == nullptr) {
        throw_error_set();
    }
    return std::strncmp(utf8, prefix, std::strlen(prefix)) == 0;
}

// The failure of a check: an ordinary exception only means "not openpyxl's
// own", an interrupt or exit request goes on to the caller.
void swallow_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw_error_set();
    }
    PyErr_Clear();
}

Ref attribute_or_nothing(PyObject* obj, PyObject* name)
{
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        swallow_ordinary_error();
    }
    return Ref::steal(value);
}

// A class defined in `module` under `name`, as that module holds it now.
Ref openpyxl_class(const char* module, const char* name)
{
    Ref imported = Ref::checked(PyImport_ImportModule(module));
    Ref found = Ref::checked(PyObject_GetAttrString(imported.get(), name));
    if (!PyType_Check(found.get())) {
        PyErr_SetString(PyExc_TypeError, "not a class");
        throw_error_set();
    }
    Ref defined_in = Ref::checked(PyObject_GetAttrString(found.get(), "__module__"));
    if (!text_equals(defined_in.get(), module)) {
        PyErr_SetString(PyExc_TypeError, "class from another module");
        throw_error_set();
    }
    return found;
}

PyTypeObject* as_type(const Ref& type) { return reinterpret_cast<PyTypeObject*>(type.get()); }

// True for a function, or a property whose getter is a function, that an
// openpyxl module defines.
bool is_openpyxl_code(PyObject* value)
{
    if (value == nullptr) {
        return false;
    }
    if (PyObject_TypeCheck(value, &PyProperty_Type)) {
        Ref getter = Ref::checked(PyObject_GetAttrString(value, "fget"));
        return is_openpyxl_code(getter.get());
    }
    if (!PyFunction_Check(value)) {
        return false;
    }
    return text_starts_with(PyFunction_GetModule(value), "openpyxl.");
}

// The offset of a writable object slot described by `descriptor`.
bool object_slot_offset(PyObject* descriptor, PyTypeObject* owner, Py_ssize_t& offset)
{
    if (descriptor == nullptr || Py_TYPE(descriptor) != &PyMemberDescr_Type) {
        return false;
    }
    auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
    if (!PyType_IsSubtype(owner, PyDescr_TYPE(member)) || member->d_member->type != T_OBJECT_EX ||
        (member->d_member->flags & READONLY) != 0) {
        return false;
    }
    offset = member->d_member->offset;
    return true;
}

bool pin(OpenpyxlLayout& layout, PyTypeObject* owner, const char* name, PinKind kind)
{
    Pin entry{owner, interned(name), Ref()};
    PyObject* value = class_attribute(owner, entry.name.get());
    entry.value = Ref::borrow(value);
    bool fits = true;
    switch (kind) {
    case PinKind::openpyxl_code:
        fits = is_openpyxl_code(value);
        break;
    case PinKind::object_slot:
        fits = value != nullptr && Py_TYPE(value) == &PyMemberDescr_Type;
        break;
    case PinKind::style_descriptor:
        fits = value != nullptr &&
               Py_TYPE(value) == as_type(layout.style_descriptor_type);
        break;
    case PinKind::array_descriptor:
        fits = value != nullptr &&
               Py_TYPE(value) == as_type(layout.array_descriptor_type);
        break;
    case PinKind::anything:
        break;
    }
    layout.pins.push_back(std::move(entry));
    return fits;
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

bool pins_unchanged(const OpenpyxlLayout& layout)
{
    for (const Pin& entry : layout.pins) {
        if (class_attribute(entry.owner, entry.name.get()) != entry.value.get()) {
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
    if (!PyFunction_Check(function) ||
        !text_starts_with(PyFunction_GetModule(function), "openpyxl.")) {
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
    l.worksheet_type = openpyxl_class("openpyxl.worksheet.worksheet", "Worksheet");
    l.workbook_type = openpyxl_class("openpyxl.workbook.workbook", "Workbook");
    l.cell_type = openpyxl_class("openpyxl.cell.cell", "Cell");
    l.merged_cell_type = openpyxl_class("openpyxl.cell.cell", "MergedCell");
    l.style_array_type = openpyxl_class("openpyxl.styles.cell_style", "StyleArray");
    l.array_descriptor_type = openpyxl_class("openpyxl.styles.cell_style", "ArrayDescriptor");
    l.indexed_list_type = openpyxl_class("openpyxl.utils.indexed_list", "IndexedList");
    l.style_descriptor_type = openpyxl_class("openpyxl.styles.styleable", "StyleDescriptor");

    const char* const binding_names[6] = {"Font", "PatternFill", "Alignment", "Border", "Side",
                                          "get_column_letter"};
    l.module_bindings = {openpyxl_class("openpyxl.styles.fonts", "Font"),
                         openpyxl_class("openpyxl.styles.fills", "PatternFill"),
                         openpyxl_class("openpyxl.styles.alignment", "Alignment"),
                         openpyxl_class("openpyxl.styles.borders", "Border"),
                         openpyxl_class("openpyxl.styles.borders", "Side"), Ref()};
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
    l.cells_name = interned("_cells");
    l.max_row_name = interned("max_row");
    l.max_column_name = interned("max_column");
    l.cell_name = interned("cell");
    l.row_name = interned("row");

    // get_column_letter is a cached wrapper around a function; it only has
    // to come from openpyxl.
    bool fits = PyCallable_Check(l.module_bindings[5].get()) != 0;
    {
        Ref defined_in =
            Ref::checked(PyObject_GetAttrString(l.module_bindings[5].get(), "__module__"));
        fits = fits && text_starts_with(defined_in.get(), "openpyxl.");
    }
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
OpenpyxlLayout* process_layout = nullptr;
bool layout_attempted = false;

const OpenpyxlLayout* layout_for_process()
{
    if (layout_attempted) {
        return process_layout;
    }
    try {
        process_layout = make_layout().release();
        layout_attempted = true;
    }
    catch (const PyErrorSet&) {
        // An interrupt while importing leaves the question open.
        swallow_ordinary_error();
        layout_attempted = true;
    }
    return process_layout;
}

bool layout_still_holds(const OpenpyxlLayout& layout)
{
    try {
        return pins_unchanged(layout) && style_array_new_unchanged(layout) &&
               descriptors_as_expected(layout);
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

// No instance attribute may stand in for the methods that yield cells.
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

PyObject** slot_at(PyObject* obj, Py_ssize_t offset)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// A writable view of the nine C ints of a style array; false (nothing held)
// for an array of another length or item type.
bool style_ints(PyObject* style_array, Py_buffer& view)
{
    if (PyObject_GetBuffer(style_array, &view, PyBUF_WRITABLE | PyBUF_FORMAT) < 0) {
        swallow_ordinary_error();
        return false;
    }
    if (view.itemsize == static_cast<Py_ssize_t>(sizeof(int)) &&
        view.len == static_cast<Py_ssize_t>(style_array_length * sizeof(int)) &&
        view.format != nullptr && std::strcmp(view.format, "i") == 0) {
        return true;
    }
    PyBuffer_Release(&view);
    return false;
}

struct BufferRelease {
    Py_buffer& view;
    ~BufferRelease() { PyBuffer_Release(&view); }
};

}  // namespace

const OpenpyxlLayout* direct_layout_for(PyObject* worksheet, const SheetStyles& styles)
{
    const OpenpyxlLayout* layout = layout_for_process();
    if (layout == nullptr || Py_TYPE(worksheet) != as_type(layout->worksheet_type)) {
        return nullptr;
    }
    // The style classes and get_column_letter as the module namespace holds
    // them now, and the five objects made from them.
    PyObject* globals = module_globals();
    for (std::size_t i = 0; i < layout->module_bindings.size(); ++i) {
        PyObject* bound = PyDict_GetItemWithError(globals, layout->module_binding_names[i].get());
        if (bound == nullptr && PyErr_Occurred()) {
            swallow_ordinary_error();
        }
        if (bound != layout->module_bindings[i].get()) {
            return nullptr;
        }
    }
    auto made_by = [layout](const Ref& obj, std::size_t binding) {
        return reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) ==
               layout->module_bindings[binding].get();
    };
    if (!made_by(styles.header_font, 0) || !made_by(styles.header_fill, 1) ||
        !made_by(styles.cell_font, 0) || !made_by(styles.center_aligned, 2) ||
        !made_by(styles.thin_border, 3)) {
        return nullptr;
    }
    if (!layout_still_holds(*layout)) {
        return nullptr;
    }
    return methods_unshadowed(*layout, worksheet) ? layout : nullptr;
}

bool DirectStyler::resolve()
{
    if (!layout_still_holds(layout_)) {
        return false;
    }
    Ref workbook = attribute_or_nothing(worksheet_, layout_.parent_name.get());
    if (!workbook || Py_TYPE(workbook.get()) != as_type(layout_.workbook_type)) {
        return false;
    }
    for (std::size_t i = 0; i < collections_.size(); ++i) {
        Ref collection = attribute_or_nothing(workbook.get(), layout_.collection_names[i].get());
        if (!collection || Py_TYPE(collection.get()) != as_type(layout_.indexed_list_type)) {
            return false;
        }
        collections_[i] = std::move(collection);
    }
    indices_.fill(-1);
    return true;
}

void DirectStyler::forget() noexcept
{
    state_ = State::unresolved;
    for (Ref& collection : collections_) {
        collection.reset();
    }
    indices_.fill(-1);
}

namespace {

// StyleArray(), as the call runs it, without the interpreted __new__: the
// class's call makes the object with StyleArray.__new__, which hands
// (cls, 'i', its default list) to array.__new__, which makes it with the
// array type's own constructor; then the object's __init__ runs with no
// arguments. The layout's checks keep each of these pieces as captured.
PyObject* new_style_array(const OpenpyxlLayout& layout)
{
    PyTypeObject* style_array = as_type(layout.style_array_type);
    PyObject* made = as_type(layout.array_type)->tp_new(style_array, layout.new_arguments.get(),
                                                        nullptr);
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

struct Assignment {
    int line;
    int role;       // DirectStyler role
    int attribute;  // 0 font, 1 fill, 2 border, 3 alignment
};

}  // namespace

bool DirectStyler::style(CallFrame& frame, PyObject* cell, bool header_row)
{
    if (Py_TYPE(cell) != as_type(layout_.cell_type)) {
        return false;
    }
    PyObject* value = *slot_at(cell, layout_.value_offset);
    if (value == nullptr) {
        return false;
    }
    frame.at(222);
    if (value == Py_None) {
        return true;
    }
    if (*slot_at(cell, layout_.parent_offset) != worksheet_) {
        return false;
    }
    if (state_ == State::unresolved) {
        state_ = resolve() ? State::ready : State::unusable;
    }
    if (state_ != State::ready) {
        return false;
    }
    PyObject** style_slot = slot_at(cell, layout_.style_offset);
    PyObject* style = *style_slot;
    if (style == nullptr || (style != Py_None && Py_TYPE(style) != as_type(layout_.style_array_type))) {
        return false;
    }
    Py_buffer view;
    if (style != Py_None && !style_ints(style, view)) {
        return false;
    }
    frame.at(224);
    static constexpr Assignment header_assignments[] = {
        {225, header_font, 0}, {226, header_fill, 1}, {230, center_aligned, 3}, {231, thin_border, 2}};
    static constexpr Assignment body_assignments[] = {
        {228, cell_font, 0}, {230, center_aligned, 3}, {231, thin_border, 2}};
    const Assignment* assignments = header_row ? header_assignments : body_assignments;
    const std::size_t count = header_row ? 4 : 3;
    if (style == Py_None) {
        // The first assignment gives the cell a fresh style array.
        frame.at(assignments[0].line);
        PyObject* fresh = new_style_array(layout_);
        if (fresh == nullptr) {
            throw_error_set();
        }
        *style_slot = fresh;
        Py_DECREF(style);
        style = fresh;
        if (!style_ints(style, view)) {
            // Not what StyleArray() makes: the assignments take it from here.
            return false;
        }
    }
    BufferRelease release{view};
    int* ints = static_cast<int*>(view.buf);
    PyObject* const objects[role_count] = {styles_.header_font.get(), styles_.header_fill.get(),
                                           styles_.cell_font.get(), styles_.center_aligned.get(),
                                           styles_.thin_border.get()};
    // Each assignment stores the integer of its style object; the first cell
    // that needs an object learns it from the collection's own `add`, so
    // the collections grow in the order the assignments would grow them. An
    // `add` result that is no plain int of C range goes in through the
    // array's own item store, as the assignment would put it there.
    for (std::size_t i = 0; i < count; ++i) {
        const Assignment& assignment = assignments[i];
        frame.at(assignment.line);
        const auto role = static_cast<Role>(assignment.role);
        const std::size_t attribute = static_cast<std::size_t>(assignment.attribute);
        const Py_ssize_t position = layout_.positions[attribute];
        if (indices_[role] >= 0) {
            ints[position] = indices_[role];
            continue;
        }
        Ref index = call_method(collections_[attribute].get(), layout_.add_name.get(),
                                {objects[role]});
        int overflow = 0;
        const long number =
            PyLong_CheckExact(index.get()) ? PyLong_AsLongAndOverflow(index.get(), &overflow) : -1;
        if (number >= 0 && number <= INT_MAX && overflow == 0) {
            indices_[role] = static_cast<int>(number);
            ints[position] = indices_[role];
        }
        else {
            if (PyErr_Occurred()) {
                throw_error_set();
            }
            check_status(PySequence_SetItem(style, position, index.get()));
        }
    }
    return true;
}

bool measure_cell_direct(const OpenpyxlLayout& layout, PyObject* cell,
                         Py_ssize_t& max_length) noexcept
{
    if (Py_TYPE(cell) != as_type(layout.cell_type) ||
        *slot_at(cell, layout.value_offset) == nullptr) {
        return false;
    }
    measure_value(
        [cell, &layout]() -> PyObject* {
            PyObject* value = *slot_at(cell, layout.value_offset);
            if (value == nullptr) {
                PyErr_SetString(PyExc_AttributeError, "_value");
                return nullptr;
            }
            Py_INCREF(value);
            return value;
        },
        max_length);
    return true;
}

namespace {

bool pin_unchanged(const OpenpyxlLayout& layout, std::size_t index)
{
    const Pin& entry = layout.pins[index];
    try {
        return class_attribute(entry.owner, entry.name.get()) == entry.value.get();
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

// A merged cell whose value is still its class's None: reading it through
// the public attribute runs no code, so nothing needs checking again.
bool quiet_merged_cell(const OpenpyxlLayout& layout, PyObject* cell)
{
    return Py_TYPE(cell) == as_type(layout.merged_cell_type) &&
           pin_unchanged(layout, layout.merged_cell_value_pin);
}

}  // namespace

bool cell_value_unchanged(const OpenpyxlLayout& layout)
{
    return pin_unchanged(layout, layout.cell_value_pin);
}

namespace {

// The cells worksheet.iter_rows() and iter_cols() yield when called without
// arguments, walked without their generators: the grid from A1 to the
// sheet's max_column and max_row, read at the start, each cell as cell()
// gives it: found in the sheet's cell dict, or made by the sheet's own cell()
// method when missing. The largest row cell() accepts is 1048576; a sheet
// whose cells claim more keeps its own iteration, which reports the error.
//
// When every key of the cell dict is a (row, column) pair of plain ints, one
// scan of the dict in its own order gives max_row and max_column (what the
// two properties compute from the same keys) and an index of the grid, so
// that no cell needs a hash lookup. Once other code has run the index is
// dropped and each cell is looked up in the dict again.
class CellGrid {
public:
    CellGrid(const OpenpyxlLayout& layout, PyObject* worksheet)
        : layout_(layout), worksheet_(worksheet)
    {
    }

    // Reads _current_row (a sheet that never held a cell yields nothing),
    // then the grid's extent. False, with nothing changed, when the sheet's
    // own iteration is to be used.
    bool open()
    {
        Ref current_row = attribute_or_nothing(worksheet_, layout_.current_row_name.get());
        if (!current_row || !PyLong_CheckExact(current_row.get())) {
            return false;
        }
        const int empty = PyObject_Not(current_row.get());
        if (empty < 0) {
            throw_error_set();
        }
        if (empty != 0) {
            return true;
        }
        if (!trust()) {
            return false;
        }
        long columns = 0;
        long rows = 0;
        if (!scan_keys(rows, columns)) {
            // max_column first, then max_row, as iter_rows() reads them.
            if (!bounded_count(layout_.max_column_name.get(), max_grid_columns, columns) ||
                !bounded_count(layout_.max_row_name.get(), max_grid_rows, rows)) {
                return false;
            }
        }
        else if (rows > max_grid_rows || columns > max_grid_columns) {
            return false;
        }
        column_numbers_.reserve(static_cast<std::size_t>(columns));
        for (long column = 1; column <= columns; ++column) {
            column_numbers_.push_back(Ref::checked(PyLong_FromLong(column)));
        }
        rows_ = rows;
        if (keys_plain_ && static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns) <=
                               max_index_size) {
            build_index();
        }
        return true;
    }

    long rows() const { return rows_; }
    long columns() const { return static_cast<long>(column_numbers_.size()); }

    // The cell at (row, column), 1-based, as cell(row=row, column=column).
    Ref cell(long row, PyObject* row_number, long column)
    {
        PyObject* column_number = column_numbers_[static_cast<std::size_t>(column - 1)].get();
        PyObject** indexed = nullptr;
        if (!index_.empty()) {
            indexed = &index_[static_cast<std::size_t>(row - 1) * column_numbers_.size() +
                              static_cast<std::size_t>(column - 1)];
            if (*indexed != nullptr) {
                return Ref::borrow(*indexed);
            }
        }
        else {
            if (!cells_) {
                trust();
            }
            if (cells_) {
                PyObject* found =
                    PyDict_GetItemWithError(cells_.get(), key(row_number, column_number));
                if (found != nullptr) {
                    return Ref::borrow(found);
                }
                if (PyErr_Occurred()) {
                    throw_error_set();
                }
            }
        }
        Ref make_cell = get_attr(worksheet_, layout_.cell_name.get());
        Ref made = call(make_cell.get(), {},
                        {{layout_.row_name.get(), row_number}, {names.column, column_number}});
        if (indexed != nullptr) {
            *indexed = made.dup().release();
        }
        return made;
    }

    // After other code ran: the sheet is checked again before its cell dict
    // is read directly, and the index (which that code may have outdated)
    // is not used any more.
    void distrust() noexcept
    {
        cells_.reset();
        drop_index();
    }

    CellGrid(const CellGrid&) = delete;
    CellGrid& operator=(const CellGrid&) = delete;
    ~CellGrid() { drop_index(); }

private:
    static constexpr long max_grid_rows = 1048576;
    static constexpr long max_grid_columns = 1L << 20;
    static constexpr std::size_t max_index_size = std::size_t{1} << 27;

    bool bounded_count(PyObject* name, long bound, long& count)
    {
        Ref value = attribute_or_nothing(worksheet_, name);
        if (!value || !PyLong_CheckExact(value.get())) {
            return false;
        }
        int overflow = 0;
        count = PyLong_AsLongAndOverflow(value.get(), &overflow);
        if (count == -1 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        return overflow == 0 && count >= 1 && count <= bound;
    }

    // A key (row, column) of two plain ints within C long, else false.
    static bool plain_key(PyObject* key, long& row, long& column)
    {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) {
            return false;
        }
        PyObject* row_item = PyTuple_GET_ITEM(key, 0);
        PyObject* column_item = PyTuple_GET_ITEM(key, 1);
        if (!PyLong_CheckExact(row_item) || !PyLong_CheckExact(column_item)) {
            return false;
        }
        int overflow = 0;
        row = PyLong_AsLongAndOverflow(row_item, &overflow);
        if (overflow != 0) {
            return false;
        }
        column = PyLong_AsLongAndOverflow(column_item, &overflow);
        return overflow == 0;
    }

    // max_row is max(keys)[0] and max_column max(key[1] for key in keys),
    // each 1 for an empty sheet; with plain pairs both come from one scan.
    bool scan_keys(long& rows, long& columns)
    {
        rows = 1;
        columns = 1;
        bool first = true;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(cells_.get(), &position, &key, &value)) {
            long row = 0;
            long column = 0;
            if (!plain_key(key, row, column)) {
                keys_plain_ = false;
                return false;
            }
            rows = first ? row : std::max(rows, row);
            columns = first ? column : std::max(columns, column);
            first = false;
        }
        keys_plain_ = true;
        return true;
    }

    void drop_index() noexcept
    {
        for (PyObject* indexed_cell : index_) {
            Py_XDECREF(indexed_cell);
        }
        index_.clear();
        index_.shrink_to_fit();
    }

    void build_index()
    {
        const std::size_t width = column_numbers_.size();
        index_.assign(static_cast<std::size_t>(rows_) * width, nullptr);
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(cells_.get(), &position, &key, &value)) {
            long row = 0;
            long column = 0;
            if (plain_key(key, row, column) && row >= 1 && row <= rows_ && column >= 1 &&
                column <= static_cast<long>(width)) {
                Py_INCREF(value);
                index_[static_cast<std::size_t>(row - 1) * width +
                       static_cast<std::size_t>(column - 1)] = value;
            }
        }
    }

    // The coordinate (row, column) as the cell dict's key. One tuple serves
    // every lookup: nobody else ever holds it (a lookup keeps no reference
    // to its key), so its two items can be replaced in place; it is made
    // anew should anything still hold it. Interpreters from 3.14 on keep a
    // tuple's hash inside it, so there every key is a new tuple.
    PyObject* key(PyObject* row_number, PyObject* column_number)
    {
        if (!key_ || Py_REFCNT(key_.get()) != 1 || PY_VERSION_HEX >= 0x030E0000) {
            key_ = Ref::checked(PyTuple_Pack(2, row_number, column_number));
            return key_.get();
        }
        PyObject* old_row = PyTuple_GET_ITEM(key_.get(), 0);
        PyObject* old_column = PyTuple_GET_ITEM(key_.get(), 1);
        Py_INCREF(row_number);
        Py_INCREF(column_number);
        PyTuple_SET_ITEM(key_.get(), 0, row_number);
        PyTuple_SET_ITEM(key_.get(), 1, column_number);
        Py_DECREF(old_row);
        Py_DECREF(old_column);
        return key_.get();
    }

    bool trust()
    {
        if (!layout_still_holds(layout_) || !methods_unshadowed(layout_, worksheet_)) {
            return false;
        }
        Ref cells = attribute_or_nothing(worksheet_, layout_.cells_name.get());
        if (!cells || !PyDict_CheckExact(cells.get())) {
            return false;
        }
        cells_ = std::move(cells);
        return true;
    }

    const OpenpyxlLayout& layout_;
    PyObject* worksheet_;
    Ref cells_;
    Ref key_;
    bool keys_plain_ = false;
    // The cell dict's cells, row by row, each with a reference of the
    // index's own (so no code run meanwhile can free one); empty when not
    // in use.
    std::vector<PyObject*> index_;
    std::vector<Ref> column_numbers_;
    long rows_ = 0;
};

}  // namespace

bool style_cells_direct(CallFrame& frame, PyObject* worksheet, const SheetStyles& styles,
                        const OpenpyxlLayout& layout)
{
    // for row_idx, row in enumerate(worksheet.iter_rows()):
    frame.at(220);
    CellGrid grid(layout, worksheet);
    if (!grid.open()) {
        return false;
    }
    DirectStyler styler(layout, worksheet, styles);
    std::vector<Ref> row_cells;
    row_cells.reserve(static_cast<std::size_t>(grid.columns()));
    for (long row = 1; row <= grid.rows(); ++row) {
        // Like the row tuple, the whole row is at hand before its first cell
        // is styled.
        frame.at(220);
        Ref row_number = Ref::checked(PyLong_FromLong(row));
        row_cells.clear();
        for (long column = 1; column <= grid.columns(); ++column) {
            row_cells.push_back(grid.cell(row, row_number.get(), column));
        }
        const bool header_row = row == 1;
        // for cell in row:
        for (const Ref& cell : row_cells) {
            frame.at(221);
            if (styler.style(frame, cell.get(), header_row)) {
                continue;
            }
            const bool quiet = quiet_merged_cell(layout, cell.get());
            style_cell_generic(frame, cell.get(), header_row, styles);
            if (!quiet) {
                styler.forget();
                grid.distrust();
            }
        }
    }
    return true;
}

bool set_column_widths_direct(CallFrame& frame, PyObject* worksheet, const OpenpyxlLayout& layout)
{
    // for col in worksheet.columns:
    frame.at(234);
    CellGrid grid(layout, worksheet);
    if (!grid.open()) {
        return false;
    }
    bool direct_values = true;
    std::vector<Ref> row_numbers;
    row_numbers.reserve(static_cast<std::size_t>(grid.rows()));
    for (long row = 1; row <= grid.rows(); ++row) {
        row_numbers.push_back(Ref::checked(PyLong_FromLong(row)));
    }
    std::vector<Ref> column_cells;
    column_cells.reserve(row_numbers.size());
    for (long column = 1; column <= grid.columns(); ++column) {
        frame.at(234);
        column_cells.clear();
        for (long row = 1; row <= grid.rows(); ++row) {
            column_cells.push_back(
                grid.cell(row, row_numbers[static_cast<std::size_t>(row - 1)].get(), column));
        }
        frame.at(235);
        Py_ssize_t max_length = 0;
        // col_letter = get_column_letter(col[0].column); the grid has at
        // least one row whenever it has a column.
        frame.at(236);
        Ref letter_function = lookup_global(names.get_column_letter);
        Ref column_number = get_attr(column_cells.front().get(), names.column);
        Ref col_letter = call(letter_function.get(), {column_number.get()});
        // for cell in col:
        for (const Ref& cell : column_cells) {
            frame.at(237);
            if (direct_values && measure_cell_direct(layout, cell.get(), max_length)) {
                continue;
            }
            const bool quiet = quiet_merged_cell(layout, cell.get());
            measure_cell_generic(cell.get(), max_length);
            if (!quiet) {
                // Reading another cell's value may have run any code.
                direct_values = cell_value_unchanged(layout);
                grid.distrust();
            }
        }
        set_column_width(frame, worksheet, col_letter.get(), max_length);
    }
    return true;
}

}  // namespace xt
