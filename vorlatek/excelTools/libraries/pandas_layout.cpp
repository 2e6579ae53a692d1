// pandas' pieces for the native placement of a frame's body.
#include "pandas_layout.hpp"

#include <memory>
#include <utility>

#include "../core/error.hpp"
#include "layout_slot.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/route_guard.hpp"

namespace xt {

namespace {

// A class that `module` holds under `name` (the route guard vouches for it).
Ref pandas_class(PyObject* module, const char* name)
{
    Ref found = Ref::checked(PyObject_GetAttrString(module, name));
    if (!PyType_Check(found.get())) {
        PyErr_SetString(PyExc_TypeError, "not a class");
        throw_error_set();
    }
    return found;
}

Ref module_attribute(const char* module, const char* name)
{
    Ref imported = Ref::checked(PyImport_ImportModule(module));
    return Ref::checked(PyObject_GetAttrString(imported.get(), name));
}

PyObject* pin(PandasLayout& layout, PyTypeObject* owner, const char* name)
{
    return xt::pin(layout.pins, as_object(owner), name);
}

// A piece of pandas' code the placement relies on: it must exist; what it
// is, the route guard proves.
bool pandas_code(PandasLayout& layout, PyTypeObject* owner, const char* name)
{
    return pin(layout, owner, name) != nullptr;
}

// What iterating a Series of a pyarrow-backed column runs, as pandas 2.0 to
// 3.1 define it: Series.__iter__ (IndexOpsMixin's) gives iter(self._values)
// for an array that is no ndarray; ArrowExtensionArray.__iter__ yields
// `value.as_py()` of each scalar of the ChunkedArray __arrow_array__ gives
// (`_data`, later `_pa_array`), the dtype's na_value for None (times and
// durations are boxed from 2.1 on; texts never are). The route guard proves
// the three pieces pandas' own (they are pieces of the placement).
void capture_arrow_text_columns(PandasLayout& l)
{
    try {
        l.series_type = pandas_class(l.pandas_module.get(), "Series");
        Ref arrow = Ref::checked(PyImport_ImportModule("pandas.core.arrays.arrow.array"));
        l.arrow_array_type = pandas_class(arrow.get(), "ArrowExtensionArray");
        l.iter_name = interned("__iter__");
        l.arrow_array_name = interned("__arrow_array__");
        l.values_name = interned("_values");
        l.dtype_name = interned("_dtype");
        l.na_value_name = interned("na_value");
        l.to_pylist_name = interned("to_pylist");
        l.type_name = interned("type");
        l.id_name = interned("id");
        PyTypeObject* arrays = as_type(l.arrow_array_type);
        bool fits = pandas_code(l, as_type(l.series_type), "__iter__");
        fits = pandas_code(l, arrays, "__iter__") && fits;
        fits = pandas_code(l, arrays, "__arrow_array__") && fits;
        if (fits) {
            l.arrow_iter = Ref::borrow(class_attribute(arrays, l.iter_name.get()));
            l.arrow_chunks = Ref::borrow(class_attribute(arrays, l.arrow_array_name.get()));
            // What their code reads, the route guard pins with them.
            l.arrow_texts_in_bulk = true;
        }
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        l.arrow_texts_in_bulk = false;
    }
}

std::unique_ptr<PandasLayout> make_pandas_layout()
{
    auto made = std::make_unique<PandasLayout>();
    PandasLayout& l = *made;
    l.pandas_module = Ref::checked(PyImport_ImportModule("pandas"));
    bool fits = true;
    l.frame_type = pandas_class(l.pandas_module.get(), "DataFrame");
    {
        Ref excel = Ref::checked(PyImport_ImportModule("pandas.io.excel._openpyxl"));
        l.writer_type = pandas_class(excel.get(), "OpenpyxlWriter");
        Ref formats = Ref::checked(PyImport_ImportModule("pandas.io.formats.excel"));
        l.formatter_type = pandas_class(formats.get(), "ExcelFormatter");
        PyTypeObject* css_cell = as_type(pandas_class(formats.get(), "CssExcelCell"));
        fits = pandas_code(l, css_cell, "__init__") && fits;
        fits = css_cell->tp_base != nullptr && pandas_code(l, css_cell->tp_base, "__init__") && fits;
    }
    l.timestamp_type = pandas_class(l.pandas_module.get(), "Timestamp");
    l.timedelta_type = pandas_class(l.pandas_module.get(), "Timedelta");
    l.na = Ref::checked(PyObject_GetAttrString(l.pandas_module.get(), "NA"));
    l.nat = Ref::checked(PyObject_GetAttrString(l.pandas_module.get(), "NaT"));

    PyTypeObject* writer = as_type(l.writer_type);
    PyTypeObject* formatter = as_type(l.formatter_type);
    // What the body of a frame goes through: the formatter's body generator
    // and value formatting, the writer's cell loop and value conversion.
    for (const char* name : {"_write_cells", "_value_with_fmt", "book", "sheets"}) {
        fits = pandas_code(l, writer, name) && fits;
    }
    // pandas 2.2 and later split the cell loop out of _write_cells.
    pin(l, writer, "_write_cells_normal");
    for (const char* name :
         {"get_formatted_cells", "_format_value", "_format_body", "_format_regular_rows",
          "_format_hierarchical_rows", "_generate_body", "write", "__init__"}) {
        fits = pandas_code(l, formatter, name) && fits;
    }
    PyTypeObject* object = &PyBaseObject_Type;
    for (PyTypeObject* owner : {writer, formatter}) {
        for (const char* name : {"__getattribute__", "__setattr__"}) {
            fits = pin(l, owner, name) == class_attribute(object, interned(name).get()) && fits;
        }
        fits = pin(l, owner, "__getattr__") == nullptr && owner->tp_dictoffset != 0 && fits;
    }
    l.write_cells = Ref::borrow(class_attribute(writer, interned("_write_cells").get()));
    l.generate_body = Ref::borrow(class_attribute(formatter, interned("_generate_body").get()));
    if (fits) {
        Ref function = Ref::borrow(class_attribute(formatter, interned("get_formatted_cells").get()));
        l.formatted_cells_code = Ref::borrow(PyFunction_GetCode(function.get()));
        fits = PyFunction_Check(l.write_cells.get()) && PyFunction_Check(l.generate_body.get());
    }

    // numpy's scalar types; float64 and float32 come first.
    for (const char* name : {"float64", "float32", "float16"}) {
        l.numpy_float_types.push_back(module_attribute("numpy", name));
    }
    for (const char* name : {"int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8"}) {
        l.numpy_integer_types.push_back(module_attribute("numpy", name));
    }
    l.numpy_bool_type = module_attribute("numpy", "bool_");
    l.numpy_dtype_type = module_attribute("numpy", "dtype");
    for (const Ref& type : l.numpy_float_types) {
        fits = PyType_Check(type.get()) && fits;
    }
    for (const Ref& type : l.numpy_integer_types) {
        fits = PyType_Check(type.get()) && fits;
    }
    fits = PyType_Check(l.numpy_bool_type.get()) && PyType_Check(l.numpy_dtype_type.get()) && fits;
    {
        Ref tzinfo = interned("tzinfo");
        Ref datetime_type = module_attribute("datetime", "datetime");
        l.timestamp_tzinfo_is_datetimes =
            class_attribute(as_type(l.timestamp_type), tzinfo.get()) ==
            class_attribute(as_type(datetime_type), tzinfo.get());
    }

    if (!fits) {
        PyErr_SetString(PyExc_TypeError, "pandas is not laid out as the cell placement expects");
        throw_error_set();
    }
    capture_arrow_text_columns(l);
    return made;
}

LayoutSlot<PandasLayout> pandas_layout_slot(AfterFailure::settled);

}  // namespace

bool pandas_pins_hold(const PandasLayout& layout)
{
    try {
        if (!library_check::may_run(library_check::Route::cells) || !pins_hold(layout.pins)) {
            return false;
        }
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
    return true;
}

const PandasLayout* pandas_layout_if_genuine(PyObject* pd)
{
    // Only pandas itself, never a stand-in (nor anything before pandas was
    // first used through it).
    if (!PyModule_CheckExact(pd)) {
        return nullptr;
    }
    if (!pandas_layout_slot.settled()) {
        Ref imported = Ref::steal(PyImport_GetModule(names.pandas));
        if (!imported) {
            if (PyErr_Occurred()) {
                swallow_ordinary_error();
            }
            return nullptr;
        }
        // Made from pandas' own pieces only (the question stays open while
        // any is replaced).
        if (imported.get() != pd || !library_check::may_run(library_check::Route::cells)) {
            return nullptr;
        }
        pandas_layout_slot.build(make_pandas_layout);
    }
    const PandasLayout* process_pandas_layout = pandas_layout_slot.get();
    if (process_pandas_layout == nullptr || process_pandas_layout->pandas_module.get() != pd ||
        !pandas_pins_hold(*process_pandas_layout)) {
        return nullptr;
    }
    return process_pandas_layout;
}

}  // namespace xt
