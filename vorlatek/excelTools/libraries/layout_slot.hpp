// Where a process-wide layout of the libraries is kept: built once, at the
// first use that may build it (whichever threads make their first calls
// together, see core/first_use.hpp), and kept for the process, never
// destroyed (its references must not be released after the interpreter
// finalized).
//
// Every layout is made from the libraries' own pieces only, so callers ask
// the route guard before build(); while a piece is replaced the question
// stays open for a later call.
#pragma once

#include <Python.h>

#include <memory>

#include "../core/error.hpp"
#include "../core/first_use.hpp"
#include "../library_check/lookup.hpp"

namespace xt {

// What an ordinary error while making a layout means for the calls after.
enum class AfterFailure {
    settled,    // no layout for the process: the libraries are not as known
    ask_again,  // no layout now; the next call tries again
};

template <class Layout>
class LayoutSlot {
public:
    explicit constexpr LayoutSlot(AfterFailure after_failure) noexcept : after_failure_(after_failure) {}
    LayoutSlot(const LayoutSlot&) = delete;
    LayoutSlot& operator=(const LayoutSlot&) = delete;

    // Whether asking again can change the answer of get().
    bool settled() const noexcept { return settled_; }
    Layout* get() const noexcept { return layout_; }

    // The layout, made by `make()` (a std::unique_ptr<Layout>; PyErrorSet on
    // failure) unless it is settled already. A call made from inside the
    // build (its Python code called back into the module) gets none. An
    // ordinary error while making is cleared (see AfterFailure); an interrupt
    // leaves the question open and is passed on as PyErrorSet.
    template <class Make>
    Layout* build(Make make)
    {
        FirstUseGuard guard(lock_);
        if (!guard.held() || settled_) {
            return layout_;
        }
        try {
            layout_ = make().release();
            settled_ = true;
        }
        catch (const PyErrorSet&) {
            swallow_ordinary_error();
            settled_ = after_failure_ == AfterFailure::settled;
        }
        return layout_;
    }

    // The layout once settled; otherwise built, when `may_build()` (the
    // route guard's answer) says the pieces are the libraries' own now.
    template <class MayBuild, class Make>
    Layout* settled_or_built(MayBuild may_build, Make make)
    {
        if (settled_) {
            return layout_;
        }
        return may_build() ? build(make) : nullptr;
    }

    // For work on the kept layout that must not overlap a build.
    FirstUseLock& lock() noexcept { return lock_; }

private:
    AfterFailure after_failure_;
    Layout* layout_ = nullptr;
    bool settled_ = false;
    FirstUseLock lock_;
};

}  // namespace xt
