// Fields of the datetime module's objects read from their structures, as
// their own attributes read them (no attribute lookup, no code run).
#pragma once

#include <Python.h>

#include <datetime.h>

namespace xt {

// A datetime's tzinfo (None when it holds none).
inline PyObject* tzinfo_of_datetime(PyObject* value)
{
    auto* fields = reinterpret_cast<PyDateTime_DateTime*>(value);
    return fields->hastzinfo ? fields->tzinfo : Py_None;
}

// Whether a datetime holds a time zone, as its tzinfo attribute tells.
inline bool has_time_zone(PyObject* datetime)
{
    return reinterpret_cast<PyDateTime_DateTime*>(datetime)->hastzinfo != 0;
}

// A time's tzinfo (None when it holds none).
inline PyObject* tzinfo_of_time(PyObject* value)
{
    auto* fields = reinterpret_cast<PyDateTime_Time*>(value);
    return fields->hastzinfo ? fields->tzinfo : Py_None;
}

}  // namespace xt
