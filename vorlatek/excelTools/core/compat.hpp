// Spellings that differ between the supported interpreter versions.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03090000
#define XT_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define XT_Vectorcall _PyObject_Vectorcall
#else
#define XT_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define XT_Vectorcall PyObject_Vectorcall
#endif

namespace xt {

inline PyInterpreterState* current_interpreter()
{
#if PY_VERSION_HEX < 0x03090000
    return PyThreadState_Get()->interp;
#else
    return PyInterpreterState_Get();
#endif
}

// A dict's version tag: the interpreters up to 3.13 give a dict a new one at
// every change of its entries (an insertion, a deletion, a value replaced),
// and never reuse one. False where the interpreter keeps none.
inline bool dict_version(PyObject* dict, std::uint64_t& version) noexcept
{
#if PY_VERSION_HEX < 0x030E0000
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return true;
#else
    (void)dict;
    version = 0;
    return false;
#endif
}

// A class's own attribute dict; borrowed. From 3.12 a static builtin type
// (object, and the types of the interpreter's own modules) keeps it in the
// interpreter state, not in tp_dict, which stays null; PyType_GetDict finds it
// there. The interpreter holds that dict for as long as the type lives, so
// the reference it hands out can be let go at once. Null only when the type
// has no dict yet.
inline PyObject* type_dict(PyTypeObject* type) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_dict == nullptr) {
        PyObject* dict = PyType_GetDict(type);
        Py_XDECREF(dict);
        return dict;
    }
#endif
    return type->tp_dict;
}

inline bool gc_is_tracked(PyObject* obj) noexcept
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(obj) != 0;
#else
    return _PyObject_GC_IS_TRACKED(obj);
#endif
}

}  // namespace xt

namespace xt {

// Holds the pending exception while other C-API work runs, then puts it back.
// Before 3.12 an exception is a (type, value, traceback) triple; from 3.12 on
// it is the single exception object.
class PendingError {
public:
    PendingError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ != nullptr && value_ != nullptr) {
            PyException_SetTraceback(value_, traceback_);
        }
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError()
    {
#if PY_VERSION_HEX >= 0x030C0000
        Py_XDECREF(exc_);
#else
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
#endif
    }

    // Makes it the interpreter's pending exception again (replacing any other).
    void restore() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
#endif
    }

    // Borrowed views, for __exit__(type, value, traceback) and for tests.
    PyObject* type() const noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_ ? reinterpret_cast<PyObject*>(Py_TYPE(exc_)) : nullptr;
#else
        return type_;
#endif
    }
    PyObject* value() const noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_;
#else
        return value_;
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace xt
