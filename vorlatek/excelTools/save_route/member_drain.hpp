// The bytes of a sheet part handed to its archive member's writer
// (zipfile's member `write`: checksum, deflate, the archive file's write),
// gathered into chunks of a few megabytes. Past the first chunk a thread of
// our own makes those calls, so the deflate of one chunk (which zlib runs
// without the GIL) overlaps the serialising of the next; the chunks go in
// order, one at a time, and the writer sees the same bytes either way.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "../core/compat.hpp"
#include "../core/ref.hpp"
#include "../workbook/byte_sink.hpp"

namespace xt {

class MemberDrain final : public ByteDrain {
public:
    // `write` is the member writer's bound write method. GIL held.
    explicit MemberDrain(PyObject* write);
    MemberDrain(const MemberDrain&) = delete;
    MemberDrain& operator=(const MemberDrain&) = delete;
    // Waits for the thread (with the GIL released meanwhile); a chunk not
    // yet written is dropped. GIL held.
    ~MemberDrain();

    void take(std::unique_ptr<char[]>& buffer, std::size_t size) override;
    // Hands on what is gathered and waits until every chunk is written;
    // raises (PyErrorSet) what a write raised.
    void finish();

    static constexpr Py_ssize_t chunk_capacity = Py_ssize_t{1} << 22;

private:
    void hand_on(Ref chunk, bool more_to_come);
    void write_here(PyObject* chunk);
    bool start_thread();
    void wait_until_idle();
    void stop_thread();
    void raise_failure();
    void run(PyInterpreterState* interpreter);

    Ref write_;
    Ref gathering_;             // the chunk being filled (a bytes object)
    Py_ssize_t gathered_ = 0;   // bytes of it filled so far

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    PyObject* waiting_ = nullptr;  // a chunk for the thread (owned)
    bool started_ = false;         // the thread has its thread state
    bool thread_start_failed_ = false;
    bool busy_ = false;            // the thread has a chunk it has not written
    bool closing_ = false;
    bool abandon_ = false;         // chunks still waiting are dropped
    std::unique_ptr<PendingError> failure_;  // what a write raised
};

}  // namespace xt
