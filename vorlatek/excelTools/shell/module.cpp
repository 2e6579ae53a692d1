// Module shell: the entry point, the create and exec steps, and the module
// body that imports the libraries and binds the seven functions.
#include <Python.h>

#include <cstdio>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/lookup.hpp"
#include "../addressing/cell_address.hpp"
#include "code_objects.hpp"
#include "function_type.hpp"
#include "traceback.hpp"

namespace xt {

namespace {

// Process-wide: the interpreter that first loaded the module, and the module
// object once its exec step has started (forgotten again if that step fails).
int64_t owning_interpreter = -1;
PyObject* the_module = nullptr;
// Held for the Excel reader, which calls the interpreter's own min().
PyObject* builtin_min = nullptr;

constexpr const char* init_function_name = "init vorlatek.excelTools";

// Copies one attribute of the import spec to the module. A missing attribute
// is skipped; `only_if_not_none` also skips a None value.
void copy_spec_attr(PyObject* spec, PyObject* module, const char* from, PyObject* to,
                    bool only_if_not_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_error_set();
        }
        PyErr_Clear();
        return;
    }
    if (only_if_not_none && value.get() == Py_None) {
        return;
    }
    set_attr(module, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        const int64_t interpreter = PyInterpreterState_GetID(current_interpreter());
        if (interpreter == -1 && PyErr_Occurred()) {
            throw_error_set();
        }
        if (owning_interpreter == -1) {
            owning_interpreter = interpreter;
        }
        else if (owning_interpreter != interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into "
                            "one interpreter per process.");
            throw_error_set();
        }
        if (the_module != nullptr) {
            Py_INCREF(the_module);
            return the_module;
        }
        if (!intern_names()) {
            throw_error_set();
        }
        Ref name = get_attr(spec, names.name);
        Ref module = Ref::checked(PyModule_NewObject(name.get()));
        copy_spec_attr(spec, module.get(), "loader", names.dunder_loader, false);
        copy_spec_attr(spec, module.get(), "origin", names.dunder_file, false);
        copy_spec_attr(spec, module.get(), "parent", names.dunder_package, false);
        copy_spec_attr(spec, module.get(), "submodule_search_locations", names.dunder_path, true);
        return module.release();
    });
}

// The running interpreter must be the version the module was compiled for
// (major and minor); otherwise warn, and fail if warnings are errors.
bool check_runtime_version() noexcept
{
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) {
        return true;
    }
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "vorlatek.excelTools",
                            "does not match", major, minor) == 0;
}

// A module already in sys.modules under `name`, or null.
PyObject* registered_module(PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (found == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    return found == Py_None ? nullptr : found;
}

Ref import_module(PyObject* name, PyObject* globals)
{
    if (PyObject* found = registered_module(name)) {
        return Ref::borrow(found);
    }
    return Ref::checked(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

// Whether the module already holds every name. A lookup that fails with an
// ordinary exception counts as "no" (the import then has its say); an
// interrupt or exit request raised by one goes on.
bool has_all_attrs(PyObject* module, PyObject* const* attrs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (!attribute_or_nothing(module, attrs[i])) {
            return false;
        }
    }
    return true;
}

// `from <module_name> import <attrs...>`, binding each name in order.
void import_from(PyObject* module_name, PyObject* const* attrs, std::size_t count,
                 PyObject* globals)
{
    // Held: looking at the attributes may run the module's own code.
    Ref module = Ref::borrow(registered_module(module_name));
    if (!module || !has_all_attrs(module.get(), attrs, count)) {
        Ref from_list = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; i < count; ++i) {
            Py_INCREF(attrs[i]);
            PyTuple_SET_ITEM(from_list.get(), static_cast<Py_ssize_t>(i), attrs[i]);
        }
        module = Ref::checked(
            PyImport_ImportModuleLevelObject(module_name, globals, nullptr, from_list.get(), 0));
    }
    for (std::size_t i = 0; i < count; ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), attrs[i]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw_error_set();
            }
            PyErr_Clear();
            Ref full_name = concat({module_name, names.dot, attrs[i]});
            if (PyObject* submodule = registered_module(full_name.get())) {
                value = Ref::borrow(submodule);
            }
            else {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", attrs[i]);
                throw_error_set();
            }
        }
        set_item(globals, attrs[i], value.get());
    }
}

Ref lookup_builtin(PyObject* builtins_module, PyObject* name)
{
    Ref value = attribute_or_nothing(builtins_module, name);
    if (!value) {
        // An ordinary failure of the lookup reads as a missing name.
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error_set();
    }
    return value;
}

Ref annotations_of(const FunctionSpec& spec)
{
    Ref annotations = new_dict();
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        if (const char* annotation = spec.params[i].annotation) {
            Ref key = text(spec.params[i].name);
            set_item(annotations.get(), key.get(), text(annotation).get());
        }
    }
    if (spec.return_annotation != nullptr) {
        set_item(annotations.get(), text("return").get(), text(spec.return_annotation).get());
    }
    return annotations;
}

// The introspected __defaults__: the call interface's fixed defaults.
Ref defaults_of(const FunctionSpec& spec)
{
    const std::size_t count = spec.param_count - spec.required_count;
    Ref defaults = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* value = *spec.params[spec.required_count + i].default_value;
        Py_INCREF(value);
        PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), value);
    }
    return defaults;
}

// The statements of the module body, each reporting its own source line.
void run_module_body(PyObject* globals, PyObject* const* code_objects, int& line)
{
    line = 1;
    set_item(globals, names.os, import_module(names.os, globals).get());
    line = 2;
    Ref re_module = import_module(names.re, globals);
    remember_genuine_regex(re_module.get());
    set_item(globals, names.re, re_module.get());
    line = 3;
    set_item(globals, names.pd, import_module(names.pandas, globals).get());
    line = 4;
    set_item(globals, names.logging, import_module(names.logging, globals).get());
    line = 6;
    PyObject* const style_names[] = {names.Font, names.PatternFill, names.Alignment, names.Border,
                                     names.Side};
    import_from(names.openpyxl_styles, style_names, 5, globals);
    line = 7;
    PyObject* const util_names[] = {names.get_column_letter};
    import_from(names.openpyxl_utils, util_names, 1, globals);

    line = 9;
    Ref logging = lookup_global(names.logging);
    Ref module_name = lookup_global(names.dunder_name);
    Ref get_logger = get_attr(logging.get(), names.getLogger);
    set_item(globals, names.log, call(get_logger.get(), {module_name.get()}).get());

    for (std::size_t i = 0; i < function_count; ++i) {
        const FunctionSpec& spec = function_table[i];
        line = spec.first_line;
        Ref function = new_function(spec, code_objects[i], globals);
        if (spec.required_count < spec.param_count) {
            set_function_defaults(function.get(), defaults_of(spec).get());
        }
        if (spec.return_annotation != nullptr) {
            set_function_annotations(function.get(), annotations_of(spec).get());
        }
        Ref name = text(spec.name);
        set_item(globals, name.get(), function.get());
    }
    line = 1;
    set_item(globals, names.dunder_test, new_dict().get());
}

int exec_module(PyObject* module) noexcept
{
    if (the_module != nullptr) {
        if (the_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'excelTools' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    Py_INCREF(module);
    the_module = module;
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    set_module_globals(globals);

    // Failures from here on until the constants exist carry no entry.
    bool constants_ready = false;
    int line = 1;
    const int status = translate_exceptions<int>(-1, [&]() -> int {
        Ref builtins = Ref::checked(PyImport_ImportModule("builtins"));
        set_item(globals, names.dunder_builtins, builtins.get());
        if (!check_runtime_version()) {
            throw_error_set();
        }
        if (!intern_names() || !make_default_constants() || !ready_function_type()) {
            throw_error_set();
        }
        constants_ready = true;

        PyObject* sys_modules = PyImport_GetModuleDict();
        if (PyDict_GetItemWithError(sys_modules, names.module_name) == nullptr) {
            if (PyErr_Occurred()) {
                throw_error_set();
            }
            set_item(sys_modules, names.module_name, module);
        }
        Ref min = lookup_builtin(builtins.get(), names.min);
        lookup_builtin(builtins.get(), names.enumerate);
        if (builtin_min == nullptr) {
            builtin_min = min.release();
        }
        PyObject* const* code_objects = make_code_objects();
        if (code_objects == nullptr) {
            throw_error_set();
        }
        run_module_body(globals, code_objects, line);
        return 0;
    });
    if (status == 0) {
        return 0;
    }
    if (constants_ready) {
        add_traceback_entry(init_function_name, line);
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, init_function_name);
    }
    Py_CLEAR(the_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The module's state is process-wide: an interpreter that shares the GIL
    // may try to load it and create_module refuses every interpreter but the
    // first, with its own message; one with a GIL of its own is refused by
    // the interpreter before that.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The module relies on the GIL throughout: a free-threaded interpreter
    // switches it back on when the module is imported.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "excelTools",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyObject* builtin_min_function() noexcept { return builtin_min; }

}  // namespace xt

// Exported explicitly: the build hides every other symbol, and 3.8's
// PyMODINIT_FUNC does not mark the entry point visible.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_excelTools(void)
{
    return PyModuleDef_Init(&xt::module_def);
}
