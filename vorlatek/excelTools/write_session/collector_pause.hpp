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
// the writer is closed. The cells are then freed at once when nothing else
// reaches the workbook (output/workbook_release.hpp); otherwise the
// collector meets them once, as garbage. A placement outside such
// a call (a frame's own to_excel) pauses only for itself.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "../core/compat.hpp"
#include "../core/ref.hpp"
#include "owed_cells.hpp"

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
        if (!PyObject_IS_GC(obj) || !gc_is_tracked(obj)) {
            return;
        }
        held_.push_back(Ref::borrow(obj));
        PyObject_GC_UnTrack(obj);
    }

    // Keeps the container the held objects go into (a sheet's cell dict,
    // which grows to a million entries, each visited by every full
    // collection) out of the collector's view as well. Putting a tracked
    // kind of object into an untracked dict tracks the dict again, so the
    // caller calls this after its insertions; the container is tracked
    // again when the pause ends, whether or not it was tracked before (a
    // dict that holds only atomic values may start untracked, and the
    // cells make it one the collector must see).
    void keep_out(PyObject* container)
    {
        if (!gc_is_tracked(container)) {
            return;
        }
        bool known = false;
        for (const Ref& held : containers_) {
            known = known || held.get() == container;
        }
        if (!known) {
            containers_.push_back(Ref::borrow(container));
        }
        PyObject_GC_UnTrack(container);
    }

    std::size_t held_count() const noexcept { return held_.size(); }

    // Every held object tracked again (unless something tracked it since).
    void resume() noexcept
    {
        for (std::vector<Ref>* objects : {&held_, &containers_}) {
            for (Ref& obj : *objects) {
                if (!gc_is_tracked(obj.get())) {
                    PyObject_GC_Track(obj.get());
                }
            }
            objects->clear();
        }
    }

private:
    std::vector<Ref> held_;
    std::vector<Ref> containers_;
};

// The pause of the write_formatted_excel call running on this thread, if
// any. A nested call (from code the write ran) opens its own and restores
// the outer one when it ends.
class WritePause {
public:
    WritePause() noexcept : outer_(current_), outer_owed_(current_owed_)
    {
        current_ = &pause_;
        current_owed_ = &owed_;
    }
    WritePause(const WritePause&) = delete;
    WritePause& operator=(const WritePause&) = delete;
    ~WritePause()
    {
        current_ = outer_;
        current_owed_ = outer_owed_;
    }

    // The running write's pause, else nullptr.
    static CollectorPause* current() noexcept { return current_; }
    // The running write's unmade grid cells, else nullptr.
    static OwedCells* owed() noexcept { return current_owed_; }

private:
    CollectorPause pause_;
    OwedCells owed_;
    CollectorPause* outer_;
    OwedCells* outer_owed_;
    static inline thread_local CollectorPause* current_ = nullptr;
    static inline thread_local OwedCells* current_owed_ = nullptr;
};

}  // namespace xt
