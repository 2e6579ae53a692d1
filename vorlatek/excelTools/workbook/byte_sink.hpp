// Buffered output of bytes to an open file descriptor, for sheet parts that
// may run to hundreds of megabytes: the bytes go to the file in large
// chunks and never pile up in memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace xt {

// Where a sink's full buffers go when they do not go to a file descriptor.
// take() is called with the GIL held; it sends `size` bytes of `buffer` on
// and may swap another buffer of ByteSink::capacity bytes into `buffer`
// (one it still needs is kept until it is done with it). Throws
// PyErrorSet when sending fails.
class ByteDrain {
public:
    virtual void take(std::unique_ptr<char[]>& buffer, std::size_t size) = 0;

protected:
    ~ByteDrain() = default;
};

class ByteSink {
public:
    // Writes to `fd`, which the caller keeps open (and closes) itself.
    explicit ByteSink(int fd);
    // Hands its buffers to `drain`, which the caller keeps alive.
    explicit ByteSink(ByteDrain& drain);
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;

    void put(std::string_view bytes)
    {
        if (bytes.size() > capacity - used_) {
            put_slow(bytes);
            return;
        }
        std::char_traits<char>::copy(buffer_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }
    void put(char byte)
    {
        if (used_ == capacity) {
            flush();
        }
        buffer_[used_++] = byte;
    }
    // Room for `size` more bytes without a flush in between; the caller
    // writes them at reserve(size) and then calls commit(written).
    char* reserve(std::size_t size)
    {
        if (size > capacity - used_) {
            flush();
        }
        return buffer_.get() + used_;
    }
    void commit(std::size_t written) noexcept { used_ += written; }

    // Sends what is buffered to the file. Throws PyErrorSet with OSError
    // set when the write fails.
    void flush();

    static constexpr std::size_t capacity = std::size_t{1} << 22;

private:
    void put_slow(std::string_view bytes);

    int fd_ = -1;
    ByteDrain* drain_ = nullptr;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

// Writes all of `bytes` to `fd`, retrying after signals and short writes;
// throws PyErrorSet with OSError set on failure.
void write_all(int fd, const char* bytes, std::size_t size);

}  // namespace xt
