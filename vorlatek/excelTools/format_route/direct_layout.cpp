// The direct route's entry test for one format_excel_sheet call.
#include "direct_layout.hpp"

#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"

namespace xt {

const OpenpyxlLayout* direct_layout_for(PyObject* worksheet, const SheetStyles& styles)
{
    const OpenpyxlLayout* layout = openpyxl_layout();
    if (layout == nullptr || Py_TYPE(worksheet) != as_type(layout->worksheet_type)) {
        return nullptr;
    }
    // The style classes and get_column_letter as the module namespace holds
    // them now, and the five objects made from them.
    PyObject* globals = module_globals();
    for (std::size_t i = 0; i < layout->module_bindings.size(); ++i) {
        PyObject* bound = PyDict_GetItemWithError(globals, layout->module_binding_names[i].get());
        if (bound == nullptr && PyErr_Occurred()) {
            swallow_ordinary_error();
        }
        if (bound != layout->module_bindings[i].get()) {
            return nullptr;
        }
    }
    auto made_by = [layout](const Ref& obj, std::size_t binding) {
        return reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) ==
               layout->module_bindings[binding].get();
    };
    if (!made_by(styles.header_font, 0) || !made_by(styles.header_fill, 1) ||
        !made_by(styles.cell_font, 0) || !made_by(styles.center_aligned, 2) ||
        !made_by(styles.thin_border, 3)) {
        return nullptr;
    }
    if (!layout_still_holds(*layout)) {
        return nullptr;
    }
    return methods_unshadowed(*layout, worksheet) ? layout : nullptr;
}

}  // namespace xt
