// The workbook writer used as a context manager, as a `with` statement uses
// one, plus the clean-up the writer itself forgets: when its exit fails
// (saving raised), it leaves its output file open.
#pragma once

#include <Python.h>

#include <utility>

#include "../core/ref.hpp"

namespace xt {

class WriterContext {
public:
    explicit WriterContext(Ref manager) noexcept : manager_(std::move(manager)) {}
    WriterContext(const WriterContext&) = delete;
    WriterContext& operator=(const WriterContext&) = delete;
    // When the exit never completed (entering failed, or the exit raised),
    // closes the file handles the writer holds. Keeps a pending error.
    ~WriterContext();

    // Fetches the exit operation from the writer's type, then the enter
    // operation, calls the latter and returns its result.
    Ref enter();

    // exit(None, None, None); its error propagates.
    void exit_normally();

    // exit(type, value, traceback) with the pending exception. Returns true
    // when the exit suppressed it (nothing pending then) and false when it
    // is pending again. Throws PyErrorSet when the exit itself failed with
    // an ordinary error, which then replaces an ordinary exception. An
    // interrupt (anything not derived from Exception) is never replaced: it
    // stays pending with the exit's error as its __context__, and false is
    // returned.
    bool exit_with_pending_error();

private:
    void close_handles() noexcept;
    void keep_exit_error() noexcept;

    Ref manager_;
    Ref exit_;
    Ref exit_error_;  // what the exit raised, when it failed
    bool exited_ = false;
};

}  // namespace xt
