// What a body value becomes in its cell: the value and data type the cell
// gets after pandas' _format_value and _value_with_fmt and openpyxl's value
// setter, decided without running them, or which of their calls the value
// needs instead.
#pragma once

#include <Python.h>

#include "../core/ref.hpp"
#include "../libraries/cell_layout.hpp"
#include "../libraries/pandas_layout.hpp"

namespace xt {

enum class PlanKind {
    native,    // the cell is made here
    dated,     // made here once the number format of its type is known
    known,     // through the per-cell calls; they run pandas' and openpyxl's code only
    any,       // through the per-cell calls, which may run any code
};

// What a value becomes in its cell.
struct ValuePlan {
    PlanKind kind = PlanKind::any;
    Ref value;                          // the cell's value
    PyObject* data_type = nullptr;      // borrowed, interned
    PyTypeObject* format_key = nullptr; // the type whose number format the cell gets
};

class ValuePlanner {
public:
    // Makes datetime's C API usable by this planner's checks (it is held
    // per source file); PyErrorSet when it cannot be imported.
    explicit ValuePlanner(const PandasLayout& pandas);
    ValuePlanner(const ValuePlanner&) = delete;
    ValuePlanner& operator=(const ValuePlanner&) = delete;

    // The texts missing and infinite values become, and their data types,
    // read from the formatter. False when the formatter represents them
    // otherwise (pandas' own formatting is then left to do it); classify()
    // is only for a planner whose texts were prepared.
    bool prepare_texts(PyObject* formatter, const CellLayout& cells);

    // A new column begins: whether it holds only naive datetimes is asked
    // of its dtype again, once, when a Timestamp needs it.
    void start_column() noexcept { naive_datetimes_ = -1; }

    // What `value`, yielded by `series`, becomes. `cells` is the cell
    // layout as just checked.
    ValuePlan classify(PyObject* series, PyObject* value, const CellLayout& cells);

private:
    ValuePlan text_plan(Ref text, PyObject* data_type) const;
    ValuePlan missing() const;
    ValuePlan floating(PyObject* exact_float, double number) const;
    ValuePlan native(Ref value, PyObject* data_type) const;
    ValuePlan dated(PyObject* value, PyObject* data_type) const;
    bool naive_datetime_column(PyObject* series);

    const PandasLayout& pandas_;
    // Whether the current column is a naive datetime64 one: -1 not yet
    // asked, else 0 or 1.
    int naive_datetimes_ = -1;
    Ref na_rep_;
    Ref inf_rep_;
    Ref neg_inf_rep_;
    PyObject* na_type_ = nullptr;
    PyObject* inf_type_ = nullptr;
    PyObject* neg_inf_type_ = nullptr;
};

}  // namespace xt
