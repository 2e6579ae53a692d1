// The building of a process-wide value (a layout of the libraries) at its
// first use, once, whichever threads make their first calls together.
//
// A build runs Python code (imports, lookups), during which the interpreter
// may switch to another thread that makes its own first call. That thread
// waits, without the interpreter's lock, until the build has finished and
// then finds its result; it never builds a second one beside it.
#pragma once

#include <Python.h>
#include <pythread.h>

namespace xt {

// One per process-wide value; zero-initialised, never destroyed.
struct FirstUseLock {
    PyThread_type_lock lock = nullptr;
    unsigned long builder = 0;  // the thread building now
    bool building = false;
};

// The right to build, held for the guard's lifetime. held() is false when
// the calling thread is the one building already (the build's Python code
// called back into the module): that call goes without the value, as it
// would if the libraries were not what the route knows.
class FirstUseGuard {
public:
    explicit FirstUseGuard(FirstUseLock& state) noexcept;
    FirstUseGuard(const FirstUseGuard&) = delete;
    FirstUseGuard& operator=(const FirstUseGuard&) = delete;
    ~FirstUseGuard();

    bool held() const noexcept { return held_; }

private:
    FirstUseLock& state_;
    bool held_ = false;
};

}  // namespace xt
