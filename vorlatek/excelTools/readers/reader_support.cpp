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

// The handled exception lives in the thread's topmost exception-state item,
// which is where an `except` block of Python code puts it too.
HandlingScope::HandlingScope(const PendingError& caught) noexcept
{
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    PyObject* value = caught.value();
    Py_XINCREF(value);
#if PY_VERSION_HEX < 0x030B0000
    PyObject* type = caught.type();
    Py_XINCREF(type);
    saved_type_ = item->exc_type;
    saved_value_ = item->exc_value;
    saved_traceback_ = item->exc_traceback;
    item->exc_type = type;
    item->exc_value = value;
    item->exc_traceback = value != nullptr ? PyException_GetTraceback(value) : nullptr;
#else
    saved_value_ = item->exc_value;
    item->exc_value = value;
#endif
}

HandlingScope::~HandlingScope()
{
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX < 0x030B0000
    PyObject* type = item->exc_type;
    PyObject* value = item->exc_value;
    PyObject* traceback = item->exc_traceback;
    item->exc_type = saved_type_;
    item->exc_value = saved_value_;
    item->exc_traceback = saved_traceback_;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
#else
    PyObject* value = item->exc_value;
    item->exc_value = saved_value_;
    Py_XDECREF(value);
#endif
}

}  // namespace xt
