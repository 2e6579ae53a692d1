#include "replacement_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../core/compat.hpp"

namespace xt {

namespace {

// Longest file name most file systems accept.
constexpr std::size_t name_max = 255;
constexpr const char random_part[] = "-XXXXXX";
constexpr std::size_t random_length = sizeof(random_part) - 1;

[[noreturn]] void raise_os_error(int error_number, PyObject* file_path)
{
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_path);
    throw_error_set();
}

// The suffix os.path.splitext gives for a file name: from the last dot on,
// unless that dot belongs to the leading run of dots (".profile" has none).
std::size_t suffix_start(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return name.size();
    }
    for (std::size_t i = 0; i < dot; ++i) {
        if (name[i] != '.') {
            return dot;
        }
    }
    return name.size();
}

// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
std::string utf8_prefix(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// open(), retried when a signal interrupts it (a slow or network file
// system may let one through).
int open_retrying(const char* path, int flags) noexcept
{
    int fd = -1;
    do {
        fd = open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Errors by which a file system says it has no flush to offer (some FUSE and
// special file systems): nothing was lost, the data is as safe as that file
// system can make it, so they do not fail a write.
bool flush_unsupported(int error_number) noexcept
{
    return error_number == EINVAL || error_number == ENOTSUP || error_number == ENOSYS;
}

// fsync(fd), retried when interrupted by a signal; 0 or the errno. The
// interpreter lock is let go meanwhile, as for any blocking I/O: flushing a
// large file to a slow disk takes long, and nothing here touches a Python
// object.
int flush_to_disk(int fd) noexcept
{
    int error_number = 0;
    Py_BEGIN_ALLOW_THREADS
    while (fsync(fd) != 0) {
        if (errno != EINTR) {
            error_number = flush_unsupported(errno) ? 0 : errno;
            break;
        }
    }
    Py_END_ALLOW_THREADS
    return error_number;
}

// Opens `path` read-only (enough for fsync) and flushes it; 0 or the errno.
int flush_path(const std::string& path, int flags) noexcept
{
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_NOCTTY | flags);
    if (fd < 0) {
        return errno;
    }
    const int error_number = flush_to_disk(fd);
    close(fd);  // read-only: closing cannot lose data
    return error_number;
}

// The directory holding `path`, as a path that can be opened.
std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The OSError for `error_number` naming `file_path`, as an object.
Ref os_error(int error_number, PyObject* file_path)
{
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_path);
    PendingError created;
    Ref error = Ref::borrow(created.value());
    if (!error) {
        throw_error_set();
    }
    return error;
}

// A symbolic link is written through, as open() would: the file it names is
// the one to replace. A dangling link is replaced itself.
std::string resolve_destination(const std::string& path)
{
    struct stat link_status {};
    if (lstat(path.c_str(), &link_status) != 0 || !S_ISLNK(link_status.st_mode)) {
        return path;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

unsigned current_umask() noexcept
{
    // Linux reports it in /proc/self/status; setting it to read it back would
    // briefly change it for every thread of the process.
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        long found = -1;
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                char* end = nullptr;
                const long value = std::strtol(line + 6, &end, 8);
                if (end != line + 6 && value >= 0 && value <= 0777) {
                    found = value;
                }
                break;
            }
        }
        std::fclose(status);
        if (found >= 0) {
            return static_cast<unsigned>(found);
        }
    }
    const mode_t previous = umask(0);
    umask(previous);
    return static_cast<unsigned>(previous);
}

ReplacementFile::~ReplacementFile()
{
    if (!temp_.empty() && !committed_) {
        const int saved_errno = errno;
        unlink(temp_.c_str());
        errno = saved_errno;
    }
}

void ReplacementFile::create(PyObject* file_path)
{
    file_path_ = Ref::borrow(file_path);
    Ref encoded = Ref::checked(PyUnicode_EncodeFSDefault(file_path));
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (std::strlen(bytes) != size) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw_error_set();
    }
    destination_ = resolve_destination(std::string(bytes, size));

    // An existing destination must be writable, as it is for a plain write;
    // the rename alone would replace even a read-only file.
    const int probe = open(destination_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe >= 0) {
        close(probe);
    }
    else if (errno != ENOENT) {
        raise_os_error(errno, file_path);
    }

    const std::size_t slash = destination_.rfind('/');
    const std::size_t name_begin = slash == std::string::npos ? 0 : slash + 1;
    const std::string directory = destination_.substr(0, name_begin);
    const std::string name = destination_.substr(name_begin);
    const std::size_t dot = suffix_start(name);
    const std::string suffix = name.substr(dot);
    // "." + stem + "-XXXXXX" + suffix, the stem shortened to keep the name
    // within the file-name limit.
    const std::size_t fixed = 1 + random_length + suffix.size();
    const std::size_t stem_room = fixed < name_max ? name_max - fixed : 0;
    const std::string stem = utf8_prefix(name.substr(0, dot), stem_room);

    std::string pattern = directory + "." + stem + random_part + suffix;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkostemps(buffer.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        raise_os_error(errno, file_path);
    }
    close(fd);
    temp_.assign(buffer.data(), pattern.size());
    temp_path_ = Ref::checked(
        PyUnicode_DecodeFSDefaultAndSize(temp_.data(), static_cast<Py_ssize_t>(temp_.size())));
}

Ref ReplacementFile::commit()
{
    mode_t mode = 0;
    struct stat existing {};
    if (stat(destination_.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    }
    else {
        mode = static_cast<mode_t>(0666 & ~current_umask());
    }
    if (chmod(temp_.c_str(), mode) != 0) {
        raise_os_error(errno, file_path_.get());
    }
    // The content (and the mode just set) must be on disk before the new
    // name points at it; otherwise a crash soon after the rename can leave
    // the destination empty or partly written, with the old file gone.
    if (const int error_number = flush_path(temp_, O_NOFOLLOW)) {
        raise_os_error(error_number, file_path_.get());
    }
    if (rename(temp_.c_str(), destination_.c_str()) != 0) {
        raise_os_error(errno, file_path_.get());
    }
    committed_ = true;
    // The rename lives in the directory; flushing it makes the new name
    // (and the old file's removal) durable. See the header for why a failure
    // here is returned, not raised.
    if (const int error_number = flush_path(directory_of(destination_), O_DIRECTORY)) {
        return os_error(error_number, file_path_.get());
    }
    return Ref();
}

}  // namespace xt
