#include "code_objects.hpp"

#include <array>

#include "../core/names.hpp"
#include "../core/ref.hpp"
#include "function_table.hpp"

namespace xt {

namespace {

std::array<PyObject*, function_count> code_objects{};

Ref make_code_object(const FunctionSpec& spec)
{
    Ref varnames = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(spec.local_count)));
    for (std::size_t i = 0; i < spec.local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(spec.locals[i]);
        if (local == nullptr) {
            throw_error_set();
        }
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), local);
    }
    Ref empty_bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::checked(PyTuple_New(0));
    Ref file = Ref::checked(PyUnicode_FromString("vorlatek/excelTools"));
    Ref name = Ref::checked(PyUnicode_InternFromString(spec.name));
    const int argcount = static_cast<int>(spec.param_count);
    const int nlocals = static_cast<int>(spec.local_count);
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes.get(), empty_tuple.get(), empty_tuple.get(),
        varnames.get(), empty_tuple.get(), empty_tuple.get(), file.get(), name.get(), name.get(),
        spec.first_line, empty_bytes.get(), empty_bytes.get());
#elif PY_VERSION_HEX >= 0x030B0000
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes.get(), empty_tuple.get(), empty_tuple.get(),
        varnames.get(), empty_tuple.get(), empty_tuple.get(), file.get(), name.get(), name.get(),
        spec.first_line, empty_bytes.get(), empty_bytes.get());
#else
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes.get(), empty_tuple.get(), empty_tuple.get(),
        varnames.get(), empty_tuple.get(), empty_tuple.get(), file.get(), name.get(),
        spec.first_line, empty_bytes.get());
#endif
    return Ref::checked(reinterpret_cast<PyObject*>(code));
}

}  // namespace

PyObject* const* make_code_objects() noexcept
{
    if (code_objects[0] != nullptr) {
        return code_objects.data();
    }
    std::array<PyObject*, function_count> made{};
    try {
        for (std::size_t i = 0; i < function_count; ++i) {
            made[i] = make_code_object(function_table[i]).release();
        }
    }
    catch (const PyErrorSet&) {
        for (PyObject* code : made) {
            Py_XDECREF(code);
        }
        return nullptr;
    }
    code_objects = made;
    return code_objects.data();
}

}  // namespace xt
