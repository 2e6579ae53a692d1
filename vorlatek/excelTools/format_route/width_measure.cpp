// The width pass's measure of one cell, as the generic measure
// (cell_measure.hpp) would find it, without its calls where the value is
// plain.
#include "width_measure.hpp"

#include <datetime.h>

#include <climits>

#include "../core/compat.hpp"
#include "../core/datetime_fields.hpp"
#include "../core/error.hpp"
#include "../core/pyapi.hpp"
#include "../workbook/number_text.hpp"
#include "cell_measure.hpp"

namespace xt {

namespace {

// A plain datetime, date or time without a time zone: str() is the
// interpreter's isoformat, which asks no time zone object for its offset.
bool naive_date_value(PyObject* value)
{
    if (PyDateTimeAPI == nullptr) {
        return false;
    }
    if (PyDateTime_CheckExact(value)) {
        return tzinfo_of_datetime(value) == Py_None;
    }
    if (PyTime_CheckExact(value)) {
        return tzinfo_of_time(value) == Py_None;
    }
    return PyDate_CheckExact(value);
}

// Values whose truth test and text conversion are the interpreter's own and
// run no other code; None (every cell the grid made) is never converted.
bool measured_quietly(PyObject* value)
{
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || naive_date_value(value);
}

// len(str(value)) when the value is truthy, for a plain str, bool, float,
// naive date value or an int within C long long, counted without making the
// text; false for any other value (and for an int beyond that range).
bool measured_length_at_once(PyObject* value, Py_ssize_t& max_length)
{
    Py_ssize_t length = 0;
    if (value == Py_None || value == Py_False) {
        return true;
    }
    if (value == Py_True) {
        length = 4;
    }
    else if (PyUnicode_CheckExact(value)) {
        length = PyUnicode_GetLength(value);
        if (length < 0) {
            PyErr_Clear();
            return false;
        }
    }
    else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0 || (number == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        // Digits of |number| (computed on the unsigned magnitude, so the
        // smallest long long is counted too) plus the sign.
        unsigned long long magnitude =
            number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                       : static_cast<unsigned long long>(number);
        length = number < 0 ? 1 : 0;
        do {
            ++length;
            magnitude /= 10;
        } while (magnitude != 0);
        if (number == 0) {
            return true;  // 0 is falsy
        }
    }
    else if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (number == 0.0) {
            return true;  // 0.0 and -0.0 are falsy
        }
        std::size_t counted = 0;
        if (!repr_length(number, counted)) {
            return false;
        }
        length = static_cast<Py_ssize_t>(counted);
    }
    else if (naive_date_value(value)) {
        // Dates and times are always true. isoformat(" "): YYYY-MM-DD, then
        // HH:MM:SS for a datetime or time, then .ffffff when the
        // microseconds are not 0.
        if (PyDateTime_CheckExact(value)) {
            length = PyDateTime_DATE_GET_MICROSECOND(value) != 0 ? 26 : 19;
        }
        else if (PyTime_CheckExact(value)) {
            length = PyDateTime_TIME_GET_MICROSECOND(value) != 0 ? 15 : 8;
        }
        else {
            length = 10;
        }
    }
    else {
        return false;
    }
    if (length > max_length) {
        max_length = length;
    }
    return true;
}

}  // namespace

bool measured_without_code(const OpenpyxlLayout& layout, PyObject* cell) noexcept
{
    if (Py_TYPE(cell) != as_type(layout.cell_type)) {
        return false;
    }
    PyObject* value = *slot_at(cell, layout.value_offset);
    return value != nullptr && measured_quietly(value);
}

void prepare_date_measures()
{
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            swallow_ordinary_error();
        }
    }
}

bool measure_cell_direct(const OpenpyxlLayout& layout, PyObject* cell, Py_ssize_t& max_length,
                         bool& other_code_ran) noexcept
{
    if (Py_TYPE(cell) != as_type(layout.cell_type) ||
        *slot_at(cell, layout.value_offset) == nullptr) {
        return false;
    }
    PyObject* held = *slot_at(cell, layout.value_offset);
    other_code_ran = !measured_quietly(held);
    if (measured_length_at_once(held, max_length)) {
        return true;
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

}  // namespace xt
