// openpyxl's pieces for the native placement of a frame's body.
#include "cell_layout.hpp"

#include <memory>

#include "../core/error.hpp"
#include "layout_slot.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/route_guard.hpp"

namespace xt {

namespace {

// Pins `name` as `owner`'s method resolution order finds it.
PyObject* pin(CellLayout& layout, PyTypeObject* owner, const char* name)
{
    return xt::pin(layout.pins, as_object(owner), name);
}

bool slot(CellLayout& layout, PyTypeObject* owner, const char* name, Py_ssize_t& offset)
{
    return object_slot_offset(pin(layout, owner, name), owner, offset);
}

// The ILLEGAL_CHARACTERS_RE openpyxl refuses: code points 0-8, 11, 12, 14-31.
constexpr const char* illegal_characters = "[\\000-\\010]|[\\013-\\014]|[\\016-\\037]";
constexpr const char* const error_texts[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                             "#NAME?", "#NUM!",   "#N/A"};

bool error_codes_as_known(PyObject* codes)
{
    constexpr Py_ssize_t count = sizeof(error_texts) / sizeof(error_texts[0]);
    if (!PyTuple_CheckExact(codes) || PyTuple_GET_SIZE(codes) != count) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* code = PyTuple_GET_ITEM(codes, i);
        if (!PyUnicode_CheckExact(code) || !text_equals(code, error_texts[i])) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<CellLayout> make_cell_layout(const OpenpyxlLayout& base)
{
    auto made = std::make_unique<CellLayout>();
    CellLayout& l = *made;
    l.openpyxl = &base;
    PyTypeObject* cell = as_type(base.cell_type);
    PyTypeObject* styleable = cell->tp_base;

    // Cell(worksheet, row=..., column=...) is object.__new__ and then
    // Cell.__init__ with StyleableObject.__init__; the value setter is
    // _bind_value with check_string; _add_cell reads col_idx. What their code
    // is, the route guard proves.
    bool fits = pin(l, cell, "__new__") ==
                    class_attribute(&PyBaseObject_Type, interned("__new__").get()) &&
                cell->tp_new == PyBaseObject_Type.tp_new;
    for (const char* name : {"__init__", "value", "_bind_value", "check_string", "col_idx"}) {
        fits = pin(l, cell, name) != nullptr && fits;
    }
    fits = styleable != nullptr && pin(l, styleable, "__init__") != nullptr && fits;
    fits = slot(l, cell, "row", l.row_offset) && fits;
    fits = slot(l, cell, "column", l.column_offset) && fits;
    fits = slot(l, cell, "data_type", l.data_type_offset) && fits;
    fits = slot(l, cell, "_hyperlink", l.hyperlink_offset) && fits;
    fits = slot(l, cell, "_comment", l.comment_offset) && fits;
    // Cells keep no dict or weak references of their own.
    fits = cell->tp_dictoffset == 0 && cell->tp_weaklistoffset == 0 && fits;
    // number_format: the descriptor and the style array field it sets.
    PyObject* number_format = pin(l, cell, "number_format");
    if (number_format != nullptr) {
        PyTypeObject* descriptor = Py_TYPE(number_format);
        fits = pin(l, descriptor, "__set__") != nullptr && pin(l, descriptor, "__get__") != nullptr && fits;
    }
    else {
        fits = false;
    }
    PyObject* field = pin(l, as_type(base.style_array_type), "numFmtId");
    fits = field != nullptr && Py_TYPE(field) == as_type(base.array_descriptor_type) && fits;
    if (fits) {
        Ref key = Ref::checked(PyObject_GetAttrString(field, "key"));
        fits = PyLong_CheckExact(key.get()) && PyLong_AsSsize_t(key.get()) == 3;
        if (PyErr_Occurred()) {
            throw_error_set();
        }
    }

    l.types_name = interned("_TYPES");
    l.error_codes_name = interned("ERROR_CODES");
    l.illegal_name = interned("ILLEGAL_CHARACTERS_RE");

    Ref cell_module = Ref::checked(PyImport_ImportModule("openpyxl.cell.cell"));
    l.cell_module_globals = Ref::checked(PyObject_GetAttrString(cell_module.get(), "__dict__"));
    l.error_codes = Ref::checked(PyObject_GetItem(l.cell_module_globals.get(), l.error_codes_name.get()));
    l.illegal_pattern = Ref::checked(PyObject_GetItem(l.cell_module_globals.get(), l.illegal_name.get()));
    l.illegal_text = Ref::checked(PyObject_GetAttrString(l.illegal_pattern.get(), "pattern"));
    fits = error_codes_as_known(l.error_codes.get()) && text_equals(l.illegal_text.get(), illegal_characters) &&
           PyDict_CheckExact(l.cell_module_globals.get()) && fits;
    if (!fits) {
        PyErr_SetString(PyExc_TypeError, "openpyxl is not laid out as the cell placement expects");
        throw_error_set();
    }
    return made;
}

LayoutSlot<CellLayout> cell_layout_slot(AfterFailure::settled);

// The globals the value setter reads still hold what it was captured with:
// _TYPES maps int, float, str and bool as openpyxl ships it.
bool cell_globals_unchanged(const CellLayout& l)
{
    PyObject* globals = l.cell_module_globals.get();
    if (PyDict_GetItemWithError(globals, l.error_codes_name.get()) != l.error_codes.get() ||
        PyDict_GetItemWithError(globals, l.illegal_name.get()) != l.illegal_pattern.get()) {
        return false;
    }
    PyObject* types = PyDict_GetItemWithError(globals, l.types_name.get());
    if (types == nullptr || !PyDict_CheckExact(types)) {
        return false;
    }
    const std::pair<PyTypeObject*, PyObject*> expected[] = {
        {&PyLong_Type, names.type_numeric},
        {&PyFloat_Type, names.type_numeric},
        {&PyUnicode_Type, names.type_string},
        {&PyBool_Type, names.type_bool},
    };
    for (const auto& [type, data_type] : expected) {
        PyObject* found = PyDict_GetItemWithError(types, reinterpret_cast<PyObject*>(type));
        if (found == nullptr || !PyUnicode_CheckExact(found) ||
            PyUnicode_Compare(found, data_type) != 0) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace

const CellLayout* cell_layout_if_unchanged()
{
    const OpenpyxlLayout* base = openpyxl_layout();
    if (base == nullptr) {
        return nullptr;
    }
    if (!cell_layout_slot.settled()) {
        // Made from openpyxl's own pieces only (the question stays open
        // while any is replaced).
        if (!library_check::may_run(library_check::Route::cells)) {
            return nullptr;
        }
        cell_layout_slot.build([base] { return make_cell_layout(*base); });
    }
    const CellLayout* process_cell_layout = cell_layout_slot.get();
    if (process_cell_layout == nullptr || !layout_still_holds(*base) ||
        !library_check::may_run(library_check::Route::cells)) {
        return nullptr;
    }
    try {
        if (!pins_hold(process_cell_layout->pins) || !cell_globals_unchanged(*process_cell_layout)) {
            if (PyErr_Occurred()) {
                swallow_ordinary_error();
            }
            return nullptr;
        }
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return nullptr;
    }
    return process_cell_layout;
}

namespace {

// A code point openpyxl refuses in a worksheet (see ILLEGAL_CHARACTERS_RE).
constexpr bool illegal_character(Py_UCS4 c)
{
    return c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
}

template <class Unit>
bool holds_illegal(const Unit* data, Py_ssize_t length)
{
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (illegal_character(data[i])) {
            return true;
        }
    }
    return false;
}

bool is_error_code(const CellLayout& layout, PyObject* text, Py_ssize_t length)
{
    if (length < 4 || length > 7 || PyUnicode_READ_CHAR(text, 0) != '#') {
        return false;
    }
    PyObject* codes = layout.error_codes.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(codes); ++i) {
        if (PyUnicode_Compare(text, PyTuple_GET_ITEM(codes, i)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

PyObject* text_data_type(const CellLayout& layout, PyObject* text)
{
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        throw_error_set();
    }
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > max_cell_text) {
        return nullptr;
    }
    const void* data = PyUnicode_DATA(text);
    bool illegal = false;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        illegal = holds_illegal(static_cast<const Py_UCS1*>(data), length);
        break;
    case PyUnicode_2BYTE_KIND:
        illegal = holds_illegal(static_cast<const Py_UCS2*>(data), length);
        break;
    default:
        illegal = holds_illegal(static_cast<const Py_UCS4*>(data), length);
        break;
    }
    if (illegal) {
        return nullptr;
    }
    if (length > 1 && PyUnicode_READ_CHAR(text, 0) == '=') {
        return names.type_formula;
    }
    if (is_error_code(layout, text, length)) {
        return names.type_error;
    }
    return names.type_string;
}

PyObject* new_cell(const CellLayout& layout, PyObject* worksheet, PyObject* row,
                   PyObject* column, PyObject* value, PyObject* data_type, PyObject* style)
{
    PyTypeObject* type = as_type(layout.openpyxl->cell_type);
    PyObject* cell = type->tp_alloc(type, 0);
    if (cell == nullptr) {
        return nullptr;
    }
    auto store = [cell](Py_ssize_t offset, PyObject* item) {
        Py_INCREF(item);
        *slot_at(cell, offset) = item;
    };
    store(layout.openpyxl->parent_offset, worksheet);
    store(layout.openpyxl->style_offset, style);
    store(layout.row_offset, row);
    store(layout.column_offset, column);
    store(layout.openpyxl->value_offset, value);
    store(layout.hyperlink_offset, Py_None);
    store(layout.data_type_offset, data_type);
    store(layout.comment_offset, Py_None);
    return cell;
}

}  // namespace xt
