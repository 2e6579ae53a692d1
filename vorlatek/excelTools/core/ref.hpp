// Owned references: the one RAII type for Python objects in this module.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace xt {

// A move-only owner of one strong reference. Borrowed references stay raw
// PyObject* and are never wrapped; every change of ownership is spelled out
// (steal, borrow, release), so a missing DECREF shows as a missing word.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes over the new reference a C-API call returned; null means the call
    // failed with the error set, which is passed on as PyErrorSet.
    static Ref checked(PyObject* p)
    {
        if (p == nullptr) {
            throw PyErrorSet{};
        }
        return Ref(p);
    }
    // Adds a reference of our own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref dup() const noexcept { return borrow(p_); }
    // Hands the reference to the caller (usually CPython).
    PyObject* release() noexcept
    {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept
    {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace xt
