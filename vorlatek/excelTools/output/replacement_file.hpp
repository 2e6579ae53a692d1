// Writing a file by replacement: the new content goes to a temporary file
// beside the destination, which is renamed over the destination only once it
// is complete. Until then, and on every failure, whatever was at the
// destination stays exactly as it was.
#pragma once

#include <Python.h>

#include <string>

#include "../core/ref.hpp"

namespace xt {

class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Removes the temporary file unless it was committed. Uses no Python API,
    // so it is safe while an exception is pending.
    ~ReplacementFile();

    // Creates an empty temporary file in the destination's directory whose
    // name ends in the destination's suffix (so a writer that checks the
    // extension sees the same one). A symbolic link as destination is
    // followed, as opening the path would. Fails with the OSError that
    // opening `file_path` for writing would have raised (a missing
    // directory, a destination that may not be written), naming `file_path`.
    void create(PyObject* file_path);

    // The temporary file's path as str; borrowed, valid after create().
    PyObject* temp_path() const noexcept { return temp_path_.get(); }

    // Gives the temporary file the mode a plain write would have left (the
    // existing file's mode, or 0666 less the umask for a new file) and
    // renames it over the destination in one step. OSError naming
    // `file_path` on failure; the temporary file is then still removed.
    void commit();

private:
    Ref file_path_;            // the caller's path, for error messages
    std::string destination_;  // file-system encoded, symbolic link resolved
    std::string temp_;         // file-system encoded; empty when there is none
    Ref temp_path_;
    bool committed_ = false;
};

// The process umask, read without changing it where the system allows.
unsigned current_umask() noexcept;

}  // namespace xt
