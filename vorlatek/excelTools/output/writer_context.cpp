#include "writer_context.hpp"

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"

namespace xt {

namespace {

// A special method as the `with` statement finds it: on the type, bound to
// the object; AttributeError naming the method when the type has none.
Ref special_method(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    Ref attribute = Ref::borrow(_PyType_Lookup(type, name));
    if (!attribute) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_AttributeError, name);
        }
        throw_error_set();
    }
    if (descrgetfunc bind = Py_TYPE(attribute.get())->tp_descr_get) {
        return Ref::checked(bind(attribute.get(), obj, reinterpret_cast<PyObject*>(type)));
    }
    return attribute;
}

// exception.__context__ = context, cutting a cycle the way the interpreter
// does when context already leads back to exception.
void attach_context(PyObject* exception, PyObject* context)
{
    if (exception == nullptr || context == nullptr || exception == context) {
        return;
    }
    PyObject* link = context;
    for (int steps = 0; steps < 10000; ++steps) {
        PyObject* next = PyException_GetContext(link);
        if (next == nullptr) {
            break;
        }
        Py_DECREF(next);  // still held by `link`
        if (next == exception) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = next;
    }
    Py_INCREF(context);
    PyException_SetContext(exception, context);
}

// A function frame's snapshot of its local variables, when one was made: a
// trace or profile function (a debugger, coverage, a profiler) or locals()
// makes it before 3.13, and frame.clear() leaves it holding the values.
// Module and class frames are left alone: their locals are a namespace.
Ref locals_snapshot(PyObject* frame)
{
#if PY_VERSION_HEX >= 0x030D0000
    (void)frame;
    return Ref();  // f_locals is a view of the frame itself
#else
    Ref code = Ref::steal(PyObject_GetAttrString(frame, "f_code"));
    if (!code || !PyCode_Check(code.get()) ||
        (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_OPTIMIZED) == 0) {
        PyErr_Clear();
        return Ref();
    }
    Ref locals = Ref::steal(PyObject_GetAttrString(frame, "f_locals"));
    if (!locals || !PyDict_CheckExact(locals.get())) {
        PyErr_Clear();
        return Ref();
    }
    return locals;
#endif
}

// Drops the local variables of the frames an exception passed through, as
// traceback.clear_frames() does, and the snapshots of them; the traceback
// itself stays printable.
void clear_frames(PyObject* exception) noexcept
{
    PyObject* traceback = PyException_GetTraceback(exception);
    for (PyObject* entry = traceback; entry != nullptr && PyTraceBack_Check(entry);
         entry = reinterpret_cast<PyObject*>(
             reinterpret_cast<PyTracebackObject*>(entry)->tb_next)) {
        PyObject* frame = reinterpret_cast<PyObject*>(
            reinterpret_cast<PyTracebackObject*>(entry)->tb_frame);
        Ref locals = locals_snapshot(frame);
        PyObject* result = PyObject_CallMethod(frame, "clear", nullptr);
        if (result == nullptr) {
            PyErr_Clear();  // a frame still running keeps its locals
        }
        else if (locals) {
            PyDict_Clear(locals.get());
        }
        Py_XDECREF(result);
    }
    Py_XDECREF(traceback);
}

bool is_interrupt(PyObject* type) { return !PyErr_GivenExceptionMatches(type, PyExc_Exception); }

}  // namespace

WriterContext::~WriterContext()
{
    if (!exited_ && manager_) {
        close_handles();
    }
}

Ref WriterContext::enter()
{
    exit_ = special_method(manager_.get(), names.dunder_exit);
    Ref enter_method = special_method(manager_.get(), names.dunder_enter);
    return call(enter_method.get(), {});
}

void WriterContext::exit_normally()
{
    Ref result = Ref::steal(
        PyObject_CallFunctionObjArgs(exit_.get(), Py_None, Py_None, Py_None, nullptr));
    if (!result) {
        keep_exit_error();
        throw_error_set();
    }
    exited_ = true;
}

void WriterContext::keep_exit_error() noexcept
{
    PendingError pending;
    exit_error_ = Ref::borrow(pending.value());
    pending.restore();
}

bool WriterContext::exit_with_pending_error()
{
    PendingError raised;
    PyObject* value = raised.value();
    Ref traceback = Ref::steal(PyException_GetTraceback(value));
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(
        exit_.get(), raised.type(), value, traceback ? traceback.get() : Py_None, nullptr));
    int suppress = -1;
    if (result) {
        exited_ = true;
        suppress = PyObject_IsTrue(result.get());
    }
    if (suppress < 0) {
        keep_exit_error();
        PendingError exit_error;
        if (is_interrupt(raised.type())) {
            // Ctrl-C and its kind reach the caller whatever the exit did.
            attach_context(value, exit_error.value());
            raised.restore();
            return false;
        }
        attach_context(exit_error.value(), value);
        exit_error.restore();
        throw_error_set();
    }
    if (suppress == 1) {
        return true;
    }
    raised.restore();
    return false;
}

void WriterContext::close_handles() noexcept
{
    // pandas' ExcelWriter keeps the files it opened in `_handles`, whose
    // close() closes each of them once; the writer closes them only after a
    // successful save. The failed save's frames still hold the zip archive
    // that wraps the file; it is let go first, so that its finaliser finds
    // the file open rather than complaining about a closed one.
    PendingError pending;
    if (exit_error_) {
        clear_frames(exit_error_.get());
        exit_error_.reset();
    }
    PyObject* handles = PyObject_GetAttr(manager_.get(), names.handles_attr);
    if (handles != nullptr) {
        PyObject* result = PyObject_CallMethodObjArgs(handles, names.close_method, nullptr);
        Py_XDECREF(result);
        Py_DECREF(handles);
    }
    if (PyErr_Occurred() && pending.value() != nullptr &&
        !PyErr_ExceptionMatches(PyExc_Exception)) {
        // An interrupt during the clean-up goes on, after the failure it met.
        PendingError interrupt;
        attach_context(interrupt.value(), pending.value());
        interrupt.restore();
        return;
    }
    PyErr_Clear();
    pending.restore();
}

}  // namespace xt
