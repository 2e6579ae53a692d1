// How openpyxl writes one cell, planned from its slots.
#include "cell_plan.hpp"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../core/datetime_fields.hpp"
#include "../core/error.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "../libraries/style_array.hpp"

namespace xt {

namespace {

PyObject* slot(PyObject* obj, Py_ssize_t offset) { return *slot_at(obj, offset); }

// The nine ints of a StyleArray; false for anything else.
bool read_style(const SaveLayout& layout, PyObject* style, StyleInts& out)
{
    if (Py_TYPE(style) != as_type(layout.style_array_type)) {
        return false;
    }
    const StyleArrayView view(style, false);
    if (view.ints() == nullptr) {
        return false;
    }
    std::memcpy(out.data(), view.ints(), sizeof out);
    return true;
}

// The cell's data_type as the t attribute openpyxl gives it ("d" becomes
// "n" once the value is a day serial); false for a type not known here.
enum class CellType { numeric, string, formula, boolean, error, date, formula_string, inline_string };

// A str whose characters can be read in place (before 3.12 a str made by
// the old Py_UNICODE API is not, until it is made ready).
bool readable_text(PyObject* text)
{
    if (!PyUnicode_CheckExact(text)) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        swallow_ordinary_error();
        return false;
    }
#endif
    return true;
}

bool cell_type_of(PyObject* data_type, CellType& type, std::string_view& attribute)
{
    if (data_type == nullptr || !readable_text(data_type) || !PyUnicode_IS_ASCII(data_type)) {
        return false;
    }
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(data_type)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(data_type)));
    // Nearly every cell has a one-letter type: told apart by that letter.
    switch (text.size() == 1 ? text[0] : '\0') {
    case 'n':
        type = CellType::numeric;
        attribute = "n";
        return true;
    case 's':
        type = CellType::string;
        attribute = "inlineStr";
        return true;
    case 'f':
        type = CellType::formula;
        attribute = {};
        return true;
    case 'b':
        type = CellType::boolean;
        attribute = "b";
        return true;
    case 'e':
        type = CellType::error;
        attribute = "e";
        return true;
    case 'd':
        type = CellType::date;
        attribute = "n";
        return true;
    default:
        break;
    }
    if (text == "str") {
        type = CellType::formula_string;
        attribute = "str";
    }
    else if (text == "inlineStr") {
        type = CellType::inline_string;
        attribute = "inlineStr";
    }
    else {
        return false;
    }
    return true;
}

// The day serial of a date cell's value, as to_excel gives it; false for a
// value it does not take (or takes only with a timezone, which openpyxl
// refuses).
bool day_serial(const SaveLayout& layout, const DayEpoch& epoch, PyObject* value, double& out)
{
    if (PyTime_CheckExact(value)) {
        if (tzinfo_of_time(value) != Py_None) {
            return false;
        }
        out = time_serial(PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                          PyDateTime_TIME_GET_SECOND(value),
                          PyDateTime_TIME_GET_MICROSECOND(value));
        return true;
    }
    if (PyDelta_CheckExact(value)) {
        // total_seconds(): the whole microseconds divided by 10**6.
        const long long days = PyDateTime_DELTA_GET_DAYS(value);
        const long long total = (days * 86400 + PyDateTime_DELTA_GET_SECONDS(value)) * 1000000 +
                                PyDateTime_DELTA_GET_MICROSECONDS(value);
        constexpr long long exact_limit = 1LL << 53;
        if (total >= exact_limit || total <= -exact_limit) {
            return false;
        }
        out = duration_serial(total);
        return true;
    }
    // pandas' Timestamp keeps its fields (to the microsecond) in the
    // datetime it derives from; its nanoseconds change neither the day nor
    // to_excel's fraction.
    if (PyDateTime_CheckExact(value) ||
        Py_TYPE(value) == as_type(layout.timestamp_type)) {
        if (tzinfo_of_datetime(value) != Py_None) {
            return false;
        }
        out = datetime_serial(epoch, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                              PyDateTime_GET_DAY(value), PyDateTime_DATE_GET_HOUR(value),
                              PyDateTime_DATE_GET_MINUTE(value),
                              PyDateTime_DATE_GET_SECOND(value),
                              PyDateTime_DATE_GET_MICROSECOND(value));
        return true;
    }
    if (PyDate_CheckExact(value)) {
        out = datetime_serial(epoch, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                              PyDateTime_GET_DAY(value), 0, 0, 0, 0);
        return true;
    }
    return false;
}

bool other_number(const SaveLayout& layout, PyTypeObject* type)
{
    for (const Ref& numeric : layout.other_numeric_types) {
        if (type == as_type(numeric)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool ready_cell_plans()
{
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            swallow_ordinary_error();
            return false;
        }
    }
    return true;
}

bool plan_cell(const SheetFacts& facts, PyObject* cell, CellPlan& plan)
{
    // The previous cell's references go first: letting them go may run a
    // finaliser, which must not find borrowed pointers of this cell held.
    plan.style.reset();
    plan.text.reset();
    const SaveLayout& layout = facts.layout;
    PyTypeObject* type = Py_TYPE(cell);
    const bool merged = type == as_type(layout.merged_cell_type);
    if (!merged && type != as_type(layout.cell_type)) {
        return false;
    }
    if (slot(cell, merged ? layout.merged_parent : layout.cell_parent) != facts.worksheet) {
        return false;
    }
    if (!exact_long_long(slot(cell, merged ? layout.merged_row : layout.cell_row), plan.row) ||
        !exact_long_long(slot(cell, merged ? layout.merged_column : layout.cell_column), plan.column) ||
        plan.column < 1 || plan.column > last_column) {
        return false;
    }
    PyObject* style = slot(cell, layout.styleable_style);
    if (style == nullptr) {
        return false;
    }
    if (style != Py_None) {
        if (!read_style(layout, style, plan.style_ints)) {
            return false;
        }
        if (std::any_of(plan.style_ints.begin(), plan.style_ints.end(),
                        [](int i) { return i != 0; })) {
            plan.style = Ref::borrow(style);
        }
    }
    if (merged) {
        // _value None, data_type "n", no comment: written only when styled.
        plan.type = "n";
        plan.content = plan.style ? Content::empty_cell : Content::skip;
        return true;
    }
    if (slot(cell, layout.cell_comment) != Py_None || slot(cell, layout.cell_hyperlink) != Py_None) {
        return false;
    }
    PyObject* value = slot(cell, layout.cell_value);
    CellType cell_type;
    if (value == nullptr || !cell_type_of(slot(cell, layout.cell_data_type), cell_type, plan.type)) {
        return false;
    }
    if (value == Py_None && !plan.style) {
        plan.content = Content::skip;
        return true;
    }
    if (cell_type == CellType::date) {
        // None or any other value makes to_excel raise; ISO dates are text.
        if (facts.iso_dates || !day_serial(layout, facts.epoch, value, plan.number)) {
            return false;
        }
        plan.content = Content::number;
        return true;
    }
    // value is None or value == ""
    if (PyUnicode_CheckExact(value) && !readable_text(value)) {
        return false;
    }
    if (value == Py_None || (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0)) {
        plan.content = Content::empty_cell;
        return true;
    }
    if (cell_type == CellType::formula || cell_type == CellType::string) {
        if (!PyUnicode_CheckExact(value) || !writable_text(value, layout.dialect)) {
            return false;
        }
        plan.text = Ref::borrow(value);
        plan.content = cell_type == CellType::formula ? Content::formula : Content::inline_string;
        return true;
    }
    // <v>safe_string(value)</v>
    PyTypeObject* value_type = Py_TYPE(value);
    if (value_type == &PyBool_Type) {
        plan.number = value == Py_True ? 1.0 : 0.0;
        plan.content = Content::number;
        return true;
    }
    if (value_type == &PyLong_Type) {
        // "%.16g" % value converts the int to a float first.
        plan.number = PyLong_AsDouble(value);
        if (plan.number == -1.0 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        plan.content = Content::number;
        return true;
    }
    if (value_type == &PyFloat_Type) {
        plan.number = PyFloat_AS_DOUBLE(value);
        plan.content = std::isfinite(plan.number) ? Content::number : Content::empty_value;
        return true;
    }
    if (other_number(layout, value_type)) {
        // isnan(value), isinf(value) and "%.16g" % value all take float(value).
        plan.number = PyFloat_AsDouble(value);
        if (plan.number == -1.0 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        plan.content = std::isfinite(plan.number) ? Content::number : Content::empty_value;
        return true;
    }
    if (value_type == &PyUnicode_Type) {
        if (!writable_text(value, layout.dialect)) {
            return false;
        }
        plan.text = Ref::borrow(value);
        plan.content = Content::text_value;
        return true;
    }
    return false;
}

}  // namespace xt
