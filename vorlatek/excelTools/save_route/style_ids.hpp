// cell.style_id for the rows being written: each distinct style array
// registered once in the workbook's style list, in the order cells bring them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <unordered_map>
#include <utility>

#include "../core/error.hpp"
#include "../core/pyapi.hpp"
#include "../core/ref.hpp"
#include "cell_plan.hpp"

namespace xt {

struct StyleIntsHash {
    std::size_t operator()(const StyleInts& ints) const noexcept
    {
        std::size_t hash = 0;
        for (int i : ints) {
            hash = hash * 1000003u ^ static_cast<std::size_t>(static_cast<unsigned int>(i));
        }
        return hash;
    }
};

// cell.style_id: the index of the cell's style array in the workbook's
// IndexedList, added there when new. Equal arrays share one index, so each
// distinct array goes through the list's own `add` once, in the order the
// cells bring them.
class StyleIds {
public:
    StyleIds(PyObject* cell_styles, PyObject* add_name) : cell_styles_(cell_styles), add_(add_name) {}

    long long id_of(const StyleInts& ints, PyObject* style)
    {
        if (last_ && last_->first == ints) {
            return last_->second;
        }
        auto found = known_.find(ints);
        if (found == known_.end()) {
            Ref index = call_method(cell_styles_, add_, {style});
            long long id = 0;
            if (!exact_long_long(index.get(), id) || id < 0) {
                PyErr_SetString(PyExc_RuntimeError, "style list gave no index");
                throw_error_set();
            }
            found = known_.emplace(ints, id).first;
        }
        last_ = &*found;
        return found->second;
    }

private:
    PyObject* cell_styles_;
    PyObject* add_;
    std::unordered_map<StyleInts, long long, StyleIntsHash> known_;
    const std::pair<const StyleInts, long long>* last_ = nullptr;
};

}  // namespace xt
