// Objects kept out of the cyclic garbage collector while a write makes
// them, and handed back to it when the write ends.
//
// A body of a million cells makes a million tracked objects (and as many
// style arrays when the sheet is formatted), and the collector answers
// their growth with collections that walk them again and again: young ones
// each time they are checked, then all of them in a full collection. The
// objects made here are all reachable (the sheet's cell dict holds them),
// so those walks can find nothing to free. An untracked object is never
// freed by the collector and only counts as a reference from outside, so
// untracking is safe whatever runs meanwhile; tracking them again when the
// pause ends (normally or by an error) leaves the collector as it would
// have been, the cells and the sheet collectable like any others.
//
// write_formatted_excel opens a WritePause for its whole call: the body
// placements and the formatter hold what they make in it, and it ends after
// the writer is closed, when the workbook is no longer referenced, so the
// collector meets those objects once, as garbage. A placement outside such
// a call (a frame's own to_excel) pauses only for itself.
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

// The pause of the write_formatted_excel call running on this thread, if
// any. A nested call (from code the write ran) opens its own and restores
// the outer one when it ends.
class WritePause {
public:
    WritePause() noexcept : outer_(current_) { current_ = &pause_; }
    WritePause(const WritePause&) = delete;
    WritePause& operator=(const WritePause&) = delete;
    ~WritePause() { current_ = outer_; }

    // The running write's pause, else nullptr.
    static CollectorPause* current() noexcept { return current_; }

private:
    CollectorPause pause_;
    CollectorPause* outer_;
    static inline thread_local CollectorPause* current_ = nullptr;
};

}  // namespace xt
