// The direct route's styling of one cell: the five style objects' integers
// found once per call, then written into each cell's style array.
#include "direct_styler.hpp"

#include <climits>
#include <optional>

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/style_array.hpp"

namespace xt {

bool DirectStyler::resolve()
{
    if (!layout_still_holds(layout_)) {
        return false;
    }
    Ref workbook = attribute_or_nothing(worksheet_, layout_.parent_name.get());
    if (!workbook || Py_TYPE(workbook.get()) != as_type(layout_.workbook_type)) {
        return false;
    }
    for (std::size_t i = 0; i < collections_.size(); ++i) {
        Ref collection = attribute_or_nothing(workbook.get(), layout_.collection_names[i].get());
        if (!collection || Py_TYPE(collection.get()) != as_type(layout_.indexed_list_type)) {
            return false;
        }
        collections_[i] = std::move(collection);
    }
    indices_.fill(-1);
    return true;
}

void DirectStyler::forget() noexcept
{
    state_ = State::unresolved;
    for (Ref& collection : collections_) {
        collection.reset();
    }
    indices_.fill(-1);
}

namespace {

struct Assignment {
    int line;
    int role;       // DirectStyler role
    int attribute;  // 0 font, 1 fill, 2 border, 3 alignment
};

}  // namespace

bool DirectStyler::style(CallFrame& frame, PyObject* cell, bool header_row)
{
    if (Py_TYPE(cell) != as_type(layout_.cell_type)) {
        return false;
    }
    PyObject* value = *slot_at(cell, layout_.value_offset);
    if (value == nullptr) {
        return false;
    }
    frame.at(222);
    if (value == Py_None) {
        return true;
    }
    if (*slot_at(cell, layout_.parent_offset) != worksheet_) {
        return false;
    }
    if (state_ == State::unresolved) {
        state_ = resolve() ? State::ready : State::unusable;
    }
    if (state_ != State::ready) {
        return false;
    }
    PyObject** style_slot = slot_at(cell, layout_.style_offset);
    PyObject* style = *style_slot;
    if (style == nullptr || (style != Py_None && Py_TYPE(style) != as_type(layout_.style_array_type))) {
        return false;
    }
    // The style array's ints, written in place (an array whose buffer is
    // not nine C ints is left to the assignments).
    std::optional<StyleArrayView> view;
    if (style != Py_None) {
        view.emplace(style, true);
        if (view->ints() == nullptr) {
            return false;
        }
    }
    frame.at(224);
    static constexpr Assignment header_assignments[] = {
        {225, header_font, 0}, {226, header_fill, 1}, {230, center_aligned, 3}, {231, thin_border, 2}};
    static constexpr Assignment body_assignments[] = {
        {228, cell_font, 0}, {230, center_aligned, 3}, {231, thin_border, 2}};
    const Assignment* assignments = header_row ? header_assignments : body_assignments;
    const std::size_t count = header_row ? 4 : 3;
    if (style == Py_None) {
        // The first assignment gives the cell a fresh style array.
        frame.at(assignments[0].line);
        PyObject* fresh = new_style_array(layout_);
        if (fresh == nullptr) {
            throw_error_set();
        }
        *style_slot = fresh;
        Py_DECREF(style);
        style = fresh;
        hold_for_write(write_pause_, fresh);
        view.emplace(style, true);
        if (view->ints() == nullptr) {
            // Not what StyleArray() makes: the assignments take it from here.
            return false;
        }
    }
    int* ints = view->ints();
    PyObject* const objects[role_count] = {styles_.header_font.get(), styles_.header_fill.get(),
                                           styles_.cell_font.get(), styles_.center_aligned.get(),
                                           styles_.thin_border.get()};
    // Each assignment stores the integer of its style object; the first cell
    // that needs an object learns it from the collection's own `add`, so
    // the collections grow in the order the assignments would grow them. An
    // `add` result that is no plain int of C range goes in through the
    // array's own item store, as the assignment would put it there.
    for (std::size_t i = 0; i < count; ++i) {
        const Assignment& assignment = assignments[i];
        frame.at(assignment.line);
        const auto role = static_cast<Role>(assignment.role);
        const std::size_t attribute = static_cast<std::size_t>(assignment.attribute);
        const Py_ssize_t position = layout_.positions[attribute];
        if (indices_[role] >= 0) {
            ints[position] = indices_[role];
            continue;
        }
        Ref index = call_method(collections_[attribute].get(), layout_.add_name.get(),
                                {objects[role]});
        int overflow = 0;
        const long number =
            PyLong_CheckExact(index.get()) ? PyLong_AsLongAndOverflow(index.get(), &overflow) : -1;
        if (number >= 0 && number <= INT_MAX && overflow == 0) {
            indices_[role] = static_cast<int>(number);
            ints[position] = indices_[role];
        }
        else {
            if (PyErr_Occurred()) {
                throw_error_set();
            }
            check_status(PySequence_SetItem(style, position, index.get()));
        }
    }
    return true;
}

}  // namespace xt
