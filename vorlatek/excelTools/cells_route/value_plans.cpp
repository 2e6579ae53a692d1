// What a body value becomes in its cell (see value_plans.hpp).
#include "value_plans.hpp"

#include <datetime.h>

#include <cmath>
#include <utility>

#include "../core/datetime_fields.hpp"
#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"

namespace xt {

namespace {

bool is_type(PyObject* value, const Ref& type)
{
    return reinterpret_cast<PyObject*>(Py_TYPE(value)) == type.get();
}

}  // namespace

ValuePlanner::ValuePlanner(const PandasLayout& pandas) : pandas_(pandas)
{
    // PyDateTimeAPI is a static of each source file that includes
    // <datetime.h>: the checks below need this file's own import.
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw_error_set();
        }
    }
}

bool ValuePlanner::prepare_texts(PyObject* formatter, const CellLayout& cells)
{
    Ref na_rep = get_attr(formatter, names.na_rep);
    Ref inf_rep = get_attr(formatter, names.inf_rep);
    Ref float_format = get_attr(formatter, names.float_format);
    if (!PyUnicode_CheckExact(na_rep.get()) || !PyUnicode_CheckExact(inf_rep.get()) ||
        float_format.get() != Py_None) {
        // Other representations go through pandas' own formatting.
        return false;
    }
    na_rep_ = std::move(na_rep);
    na_type_ = text_data_type(cells, na_rep_.get());
    inf_rep_ = std::move(inf_rep);
    inf_type_ = text_data_type(cells, inf_rep_.get());
    neg_inf_rep_ = concat({names.minus, inf_rep_.get()});
    neg_inf_type_ = text_data_type(cells, neg_inf_rep_.get());
    return true;
}

ValuePlan ValuePlanner::text_plan(Ref text, PyObject* data_type) const
{
    ValuePlan plan;
    if (data_type == nullptr) {
        plan.kind = PlanKind::known;
        return plan;
    }
    plan.kind = PlanKind::native;
    plan.value = std::move(text);
    plan.data_type = data_type;
    return plan;
}

ValuePlan ValuePlanner::missing() const { return text_plan(na_rep_.dup(), na_type_); }

// A float after _format_value and _value_with_fmt: NaN is missing, the
// infinities become texts, any other number stays a float.
ValuePlan ValuePlanner::floating(PyObject* exact_float, double number) const
{
    if (std::isnan(number)) {
        return missing();
    }
    if (std::isinf(number)) {
        return number > 0 ? text_plan(inf_rep_.dup(), inf_type_)
                          : text_plan(neg_inf_rep_.dup(), neg_inf_type_);
    }
    ValuePlan plan;
    plan.kind = PlanKind::native;
    plan.value = exact_float != nullptr ? Ref::borrow(exact_float)
                                        : Ref::checked(PyFloat_FromDouble(number));
    plan.data_type = names.type_numeric;
    return plan;
}

ValuePlan ValuePlanner::native(Ref value, PyObject* data_type) const
{
    ValuePlan plan;
    plan.kind = PlanKind::native;
    plan.value = std::move(value);
    plan.data_type = data_type;
    return plan;
}

ValuePlan ValuePlanner::dated(PyObject* value, PyObject* data_type) const
{
    ValuePlan plan;
    plan.kind = PlanKind::dated;
    plan.value = Ref::borrow(value);
    plan.data_type = data_type;
    plan.format_key = Py_TYPE(value);
    return plan;
}

// A naive datetime64 column yields only time-zone-free Timestamps.
bool ValuePlanner::naive_datetime_column(PyObject* series)
{
    if (naive_datetimes_ < 0) {
        Ref dtype = get_attr(series, names.dtype);
        naive_datetimes_ = 0;
        if (PyObject_TypeCheck(dtype.get(), as_type(pandas_.numpy_dtype_type))) {
            Ref kind = get_attr(dtype.get(), names.kind);
            naive_datetimes_ = PyUnicode_CheckExact(kind.get()) &&
                               PyUnicode_Compare(kind.get(), names.datetime_kind) == 0;
        }
    }
    return naive_datetimes_ == 1;
}

ValuePlan ValuePlanner::classify(PyObject* series, PyObject* value, const CellLayout& cells)
{
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyFloat_Type) {
        return floating(value, PyFloat_AS_DOUBLE(value));
    }
    if (type == &PyLong_Type) {
        return native(Ref::borrow(value), names.type_numeric);
    }
    if (type == &PyUnicode_Type) {
        return text_plan(Ref::borrow(value), text_data_type(cells, value));
    }
    if (type == &PyBool_Type) {
        return native(Ref::borrow(value), names.type_bool);
    }
    if (value == Py_None || value == pandas_.na.get() || value == pandas_.nat.get()) {
        return missing();
    }
    for (const Ref& float_type : pandas_.numpy_float_types) {
        if (is_type(value, float_type)) {
            const double number = PyFloat_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred()) {
                throw_error_set();
            }
            return floating(nullptr, number);
        }
    }
    for (const Ref& integer_type : pandas_.numpy_integer_types) {
        if (is_type(value, integer_type)) {
            return native(Ref::checked(PyNumber_Long(value)), names.type_numeric);
        }
    }
    if (is_type(value, pandas_.numpy_bool_type)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            throw_error_set();
        }
        return native(Ref::borrow(truth ? Py_True : Py_False), names.type_bool);
    }
    if (is_type(value, pandas_.timestamp_type)) {
        if (naive_datetime_column(series) ||
            (pandas_.timestamp_tzinfo_is_datetimes && !has_time_zone(value))) {
            return dated(value, names.type_date);
        }
        return ValuePlan{PlanKind::known, Ref(), nullptr, nullptr};
    }
    if (PyDateTime_CheckExact(value)) {
        if (!has_time_zone(value)) {
            return dated(value, names.type_date);
        }
        return ValuePlan{PlanKind::known, Ref(), nullptr, nullptr};
    }
    if (PyDate_CheckExact(value)) {
        return dated(value, names.type_date);
    }
    if (PyDelta_CheckExact(value) || is_type(value, pandas_.timedelta_type)) {
        // val.total_seconds() / 86400, a number formatted "0".
        Ref seconds = call_method(value, names.total_seconds);
        if (!PyFloat_CheckExact(seconds.get())) {
            return ValuePlan{PlanKind::known, Ref(), nullptr, nullptr};
        }
        ValuePlan plan;
        plan.kind = PlanKind::dated;
        plan.value = Ref::checked(PyFloat_FromDouble(PyFloat_AS_DOUBLE(seconds.get()) / 86400.0));
        plan.data_type = names.type_numeric;
        plan.format_key = type;
        return plan;
    }
    return ValuePlan{};
}

}  // namespace xt
