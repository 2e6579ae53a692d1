// A pyarrow-backed text column's values taken in bulk (see arrow_texts.hpp).
#include "arrow_texts.hpp"

#include "../core/error.hpp"
#include "../core/pyapi.hpp"

namespace xt {

ArrowTexts::ArrowTexts(const PandasLayout& pandas)
    : pandas_(pandas),
      arrow_module_name_(interned("pyarrow")),
      chunked_array_name_(interned("ChunkedArray")),
      string_name_(interned("string")),
      large_string_name_(interned("large_string"))
{
}

// pyarrow's ChunkedArray and the ids of its two text types, found in
// pyarrow as pandas imported it.
bool ArrowTexts::find_arrow_types()
{
    if (chunked_array_type_) {
        return true;
    }
    Ref pyarrow = Ref::steal(PyImport_GetModule(arrow_module_name_.get()));
    if (!pyarrow) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return false;
    }
    Ref chunked = get_attr(pyarrow.get(), chunked_array_name_.get());
    if (!PyType_Check(chunked.get())) {
        return false;
    }
    for (const Ref* maker : {&string_name_, &large_string_name_}) {
        Ref text_type = call_method(pyarrow.get(), maker->get());
        text_type_ids_.push_back(get_attr(text_type.get(), pandas_.id_name.get()));
    }
    chunked_array_type_ = std::move(chunked);
    return true;
}

// The values ArrowExtensionArray.__iter__ yields for a column of texts
// (pyarrow's string or large_string): `value.as_py()` of every scalar,
// na_value for None. pyarrow's to_pylist gives the same as_py() values
// in one call. An empty Ref for any other column (and when to_pylist
// fails, so that the iteration itself raises its error at its value).
Ref ArrowTexts::values_of(PyObject* series)
{
    Ref values = get_attr(series, pandas_.values_name.get());
    PyTypeObject* type = Py_TYPE(values.get());
    if (!PyType_IsSubtype(type, as_type(pandas_.arrow_array_type)) ||
        class_attribute(type, pandas_.iter_name.get()) != pandas_.arrow_iter.get() ||
        class_attribute(type, pandas_.arrow_array_name.get()) != pandas_.arrow_chunks.get() ||
        !find_arrow_types()) {
        return Ref();
    }
    Ref chunks = call(pandas_.arrow_chunks.get(), {values.get()});
    if (Py_TYPE(chunks.get()) != as_type(chunked_array_type_)) {
        return Ref();
    }
    Ref arrow_type = get_attr(chunks.get(), pandas_.type_name.get());
    Ref type_id = get_attr(arrow_type.get(), pandas_.id_name.get());
    bool text = false;
    for (const Ref& id : text_type_ids_) {
        const int same = PyObject_RichCompareBool(type_id.get(), id.get(), Py_EQ);
        if (same < 0) {
            throw_error_set();
        }
        text = text || same == 1;
    }
    if (!text) {
        return Ref();
    }
    Ref dtype = get_attr(values.get(), pandas_.dtype_name.get());
    Ref na_value = get_attr(dtype.get(), pandas_.na_value_name.get());
    Ref texts = Ref::steal(PyObject_CallMethodObjArgs(chunks.get(),
                                                      pandas_.to_pylist_name.get(), nullptr));
    if (!texts) {
        swallow_ordinary_error();
        return Ref();
    }
    if (!PyList_CheckExact(texts.get())) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
        if (PyList_GET_ITEM(texts.get(), i) == Py_None) {
            Py_INCREF(na_value.get());
            // The list owns its items; SET_ITEM does not drop the None.
            PyObject* none = PyList_GET_ITEM(texts.get(), i);
            PyList_SET_ITEM(texts.get(), i, na_value.get());
            Py_DECREF(none);
        }
    }
    return texts;
}


}  // namespace xt
