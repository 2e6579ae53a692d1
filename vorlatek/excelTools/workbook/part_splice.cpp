#include "part_splice.hpp"

#include <Python.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "../core/error.hpp"
#include "byte_sink.hpp"

namespace xt {

namespace {

[[noreturn]] void raise_os_error(const std::string& path)
{
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw_error_set();
}

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    // Closes it, reporting a failed close (a delayed write error).
    bool close() noexcept
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// read(2) that retries after signals, as the interpreter's reads do, and
// lets other threads run while it waits.
ssize_t read_some(int fd, char* buffer, std::size_t size, const std::string& path)
{
    for (;;) {
        ssize_t got = 0;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(fd, buffer, size);
        Py_END_ALLOW_THREADS
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            raise_os_error(path);
        }
        if (PyErr_CheckSignals() < 0) {
            throw_error_set();
        }
    }
}

std::string read_whole(const std::string& path)
{
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        raise_os_error(path);
    }
    std::string content;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const ssize_t got = read_some(file.get(), chunk.data(), chunk.size(), path);
        if (got == 0) {
            break;
        }
        content.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return content;
}

}  // namespace

SpoolFile::~SpoolFile()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void SpoolFile::create(const std::string& directory)
{
    std::string name = directory + "/vorlatek.sheetdata.XXXXXX";
    std::vector<char> writable(name.begin(), name.end());
    writable.push_back('\0');
    const int fd = ::mkstemp(writable.data());
    if (fd < 0) {
        raise_os_error(name);
    }
    fd_ = fd;
    if (::unlink(writable.data()) != 0) {
        raise_os_error(std::string(writable.data()));
    }
}

void splice_spool(const std::string& path, std::string_view before, std::string_view marker,
                  std::string_view after, const SpoolFile& spool)
{
    const std::string around = read_whole(path);
    std::string context(before);
    context.append(marker);
    context.append(after);
    std::size_t at = around.find(context);
    if (at == std::string::npos) {
        PyErr_SetString(PyExc_RuntimeError, "worksheet part without its cell data marker");
        throw_error_set();
    }
    at += before.size();
    // Truncating keeps the file itself (its mode, which the archive
    // records), as writing it anew would.
    Descriptor out(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out.get() < 0) {
        raise_os_error(path);
    }
    write_all(out.get(), around.data(), at);
    if (::lseek(spool.fd(), 0, SEEK_SET) < 0) {
        raise_os_error(path);
    }
    std::unique_ptr<char[]> chunk(new char[ByteSink::capacity]);
    for (;;) {
        const ssize_t got = read_some(spool.fd(), chunk.get(), ByteSink::capacity, path);
        if (got == 0) {
            break;
        }
        write_all(out.get(), chunk.get(), static_cast<std::size_t>(got));
    }
    const std::size_t rest = at + marker.size();
    write_all(out.get(), around.data() + rest, around.size() - rest);
    if (!out.close()) {
        raise_os_error(path);
    }
}

}  // namespace xt
