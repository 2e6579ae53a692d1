#include "byte_sink.hpp"

#include <Python.h>

#include <cerrno>
#include <unistd.h>

#include "../core/error.hpp"

namespace xt {

ByteSink::ByteSink(int fd) : fd_(fd), buffer_(new char[capacity]) {}

ByteSink::ByteSink(ByteDrain& drain) : drain_(&drain), buffer_(new char[capacity]) {}

void ByteSink::flush()
{
    if (used_ == 0) {
        return;
    }
    const std::size_t size = used_;
    used_ = 0;
    if (drain_ != nullptr) {
        drain_->take(buffer_, size);
        return;
    }
    write_all(fd_, buffer_.get(), size);
}

void ByteSink::put_slow(std::string_view bytes)
{
    flush();
    if (bytes.size() >= capacity && drain_ == nullptr) {
        write_all(fd_, bytes.data(), bytes.size());
        return;
    }
    // A drain takes whole buffers: the bytes go through them a buffer at a
    // time.
    while (bytes.size() >= capacity) {
        std::char_traits<char>::copy(buffer_.get(), bytes.data(), capacity);
        used_ = capacity;
        bytes.remove_prefix(capacity);
        flush();
    }
    std::char_traits<char>::copy(buffer_.get(), bytes.data(), bytes.size());
    used_ = bytes.size();
}

void write_all(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        // Bytes of our own to a descriptor of our own: other threads run
        // meanwhile.
        ssize_t written = 0;
        Py_BEGIN_ALLOW_THREADS
        written = ::write(fd, bytes, size);
        Py_END_ALLOW_THREADS
        if (written < 0) {
            if (errno == EINTR) {
                // As the interpreter's own writes do: a signal handler
                // runs, and its exception (an interrupt) ends the write.
                if (PyErr_CheckSignals() < 0) {
                    throw_error_set();
                }
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error_set();
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace xt
