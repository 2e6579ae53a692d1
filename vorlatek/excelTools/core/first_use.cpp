#include "first_use.hpp"

namespace xt {

FirstUseGuard::FirstUseGuard(FirstUseLock& state) noexcept : state_(state)
{
    // With the interpreter's lock held, nothing else runs between the test
    // and the assignment.
    if (state.lock == nullptr) {
        state.lock = PyThread_allocate_lock();
        if (state.lock == nullptr) {
            return;
        }
    }
    const unsigned long self = PyThread_get_thread_ident();
    if (state.building && state.builder == self) {
        return;
    }
    if (PyThread_acquire_lock(state.lock, NOWAIT_LOCK) == 0) {
        // The builder needs the interpreter's lock to finish.
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(state.lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    state.building = true;
    state.builder = self;
    held_ = true;
}

FirstUseGuard::~FirstUseGuard()
{
    if (held_) {
        state_.building = false;
        PyThread_release_lock(state_.lock);
    }
}

}  // namespace xt
