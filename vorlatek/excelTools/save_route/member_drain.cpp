#include "member_drain.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "../core/error.hpp"
#include "../core/pyapi.hpp"

namespace xt {

namespace {

bool interpreter_finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

MemberDrain::MemberDrain(PyObject* write) : write_(Ref::borrow(write)) {}

MemberDrain::~MemberDrain()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            abandon_ = true;
        }
        stop_thread();
    }
}

void MemberDrain::take(std::unique_ptr<char[]>& buffer, std::size_t size)
{
    const char* bytes = buffer.get();
    while (size > 0) {
        if (!gathering_) {
            gathering_ = Ref::checked(PyBytes_FromStringAndSize(nullptr, chunk_capacity));
            gathered_ = 0;
        }
        const std::size_t room = static_cast<std::size_t>(chunk_capacity - gathered_);
        const std::size_t n = std::min(room, size);
        std::memcpy(PyBytes_AS_STRING(gathering_.get()) + gathered_, bytes, n);
        gathered_ += static_cast<Py_ssize_t>(n);
        bytes += n;
        size -= n;
        if (gathered_ == chunk_capacity) {
            // A full chunk: more is likely to follow, so it goes to the thread.
            hand_on(std::move(gathering_), true);
        }
    }
}

void MemberDrain::finish()
{
    if (gathering_) {
        PyObject* chunk = gathering_.release();
        if (_PyBytes_Resize(&chunk, gathered_) < 0) {
            throw_error_set();
        }
        Ref last = Ref::steal(chunk);
        if (gathered_ > 0) {
            hand_on(std::move(last), false);
        }
    }
    if (thread_.joinable()) {
        wait_until_idle();
        stop_thread();
    }
    raise_failure();
}

void MemberDrain::hand_on(Ref chunk, bool more_to_come)
{
    if (!thread_.joinable() && (!more_to_come || !start_thread())) {
        raise_failure();
        write_here(chunk.get());
        return;
    }
    wait_until_idle();
    // A failed write ends the copy before the next chunk, as in a plain loop.
    raise_failure();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_ = chunk.release();
        busy_ = true;
    }
    changed_.notify_all();
}

void MemberDrain::write_here(PyObject* chunk) { call(write_.get(), {chunk}); }

bool MemberDrain::start_thread()
{
    if (thread_start_failed_ || interpreter_finalizing()) {
        return false;
    }
    PyInterpreterState* interpreter = current_interpreter();
    try {
        thread_ = std::thread([this, interpreter] { run(interpreter); });
    }
    catch (const std::system_error&) {
        thread_start_failed_ = true;
        return false;
    }
    // The thread makes its own thread state (which needs no GIL) and says
    // whether it could.
    bool ready = false;
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return started_ || thread_start_failed_; });
        ready = started_;
    }
    Py_END_ALLOW_THREADS
    if (!ready) {
        Py_BEGIN_ALLOW_THREADS
        thread_.join();
        Py_END_ALLOW_THREADS
    }
    return ready;
}

void MemberDrain::wait_until_idle()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!busy_) {
            return;
        }
    }
    // The thread needs the GIL to finish its chunk.
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }
    Py_END_ALLOW_THREADS
}

void MemberDrain::stop_thread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    Py_BEGIN_ALLOW_THREADS
    thread_.join();
    Py_END_ALLOW_THREADS
    // The thread takes every chunk it was given before it ends.
}

void MemberDrain::raise_failure()
{
    if (failure_) {
        std::unique_ptr<PendingError> failure = std::move(failure_);
        failure->restore();
        throw_error_set();
    }
}

void MemberDrain::run(PyInterpreterState* interpreter)
{
    PyThreadState* state = PyThreadState_New(interpreter);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = state != nullptr;
        thread_start_failed_ = state == nullptr;
    }
    changed_.notify_all();
    if (state == nullptr) {
        return;
    }
    PyEval_RestoreThread(state);
    for (;;) {
        PyObject* chunk = nullptr;
        bool abandon = false;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return waiting_ != nullptr || closing_; });
            chunk = waiting_;
            waiting_ = nullptr;
            abandon = abandon_;
        }
        Py_END_ALLOW_THREADS
        if (chunk == nullptr) {
            break;
        }
        if (!abandon && !failure_) {
            PyObject* result = PyObject_CallFunctionObjArgs(write_.get(), chunk, nullptr);
            if (result == nullptr) {
                failure_ = std::make_unique<PendingError>();
            }
            Py_XDECREF(result);
        }
        Py_DECREF(chunk);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ = false;
        }
        changed_.notify_all();
    }
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
}

}  // namespace xt
