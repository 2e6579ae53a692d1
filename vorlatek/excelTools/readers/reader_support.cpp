#include "reader_support.hpp"

#include "../core/names.hpp"
#include "../core/pyapi.hpp"

namespace xt {

bool path_exists(PyObject* file_path)
{
    Ref os_module = lookup_global(names.os);
    Ref path_module = get_attr(os_module.get(), names.path);
    Ref exists = get_attr(path_module.get(), names.exists);
    Ref found = call(exists.get(), {file_path});
    return is_true(found.get());
}

Ref empty_frame()
{
    Ref pandas = lookup_global(names.pd);
    Ref data_frame = get_attr(pandas.get(), names.DataFrame);
    return call(data_frame.get(), {});
}

Ref mapping_items(PyObject* mapping)
{
    Ref items = call_method(mapping, names.items);
    return get_iter(items.get());
}

Ref row_offset(PyObject* row)
{
    Ref one = Ref::checked(PyLong_FromLong(1));
    Ref zero = Ref::checked(PyLong_FromLong(0));
    Ref offset = Ref::checked(PyNumber_Subtract(row, one.get()));
    if (check_status(PyObject_RichCompareBool(offset.get(), zero.get(), Py_GT)) == 1) {
        return offset;
    }
    return zero;
}

// PyErr_GetExcInfo/PyErr_SetExcInfo are what an `except` block uses for the
// exception being handled; SetExcInfo steals the references it is given.
HandlingScope::HandlingScope(const PendingError& caught) noexcept
{
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
    PyObject* type = caught.type();
    PyObject* value = caught.value();
    PyObject* traceback = value != nullptr ? PyException_GetTraceback(value) : nullptr;
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_SetExcInfo(type, value, traceback);
}

HandlingScope::~HandlingScope()
{
    PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_);
}

}  // namespace xt
