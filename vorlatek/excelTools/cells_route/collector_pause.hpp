// Objects kept out of the cyclic garbage collector while a placement makes
// them, and handed back to it when the placement ends.
//
// A body of a million cells makes a million tracked objects, and the
// collector answers their growth with full collections, each walking every
// object of the process again: about a third of a large placement's time.
// The cells made here are all reachable (the sheet's cell dict holds them),
// so those walks can find nothing to free. An untracked object is never
// freed by the collector and only counts as a reference from outside, so
// untracking is safe whatever runs meanwhile; tracking them again when the
// placement ends (normally or by an error) leaves the collector as it would
// have been, the cells and the sheet collectable like any others.
#pragma once

#include <Python.h>

#include <vector>

#include "../core/ref.hpp"

namespace xt {

class CollectorPause {
public:
    CollectorPause() = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() { resume(); }

    // Takes `obj` (a new object of ours, tracked) out of the collector's
    // view until resume(); keeps a reference so that it stays alive.
    void hold(PyObject* obj)
    {
        if (!PyObject_IS_GC(obj) || !is_tracked(obj)) {
            return;
        }
        held_.push_back(Ref::borrow(obj));
        PyObject_GC_UnTrack(obj);
    }

    // Every held object tracked again (unless something tracked it since).
    void resume() noexcept
    {
        for (Ref& obj : held_) {
            if (!is_tracked(obj.get())) {
                PyObject_GC_Track(obj.get());
            }
        }
        held_.clear();
    }

private:
    static bool is_tracked(PyObject* obj) noexcept
    {
#if PY_VERSION_HEX >= 0x03090000
        return PyObject_GC_IsTracked(obj) != 0;
#else
        return _PyObject_GC_IS_TRACKED(obj);
#endif
    }

    std::vector<Ref> held_;
};

}  // namespace xt
