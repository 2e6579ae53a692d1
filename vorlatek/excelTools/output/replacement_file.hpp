// Writing a file by replacement: the new content goes to a temporary file
// beside the destination, which is renamed over the destination only once it
// is complete and flushed to disk. Until then, and on every failure, whatever
// was at the destination stays exactly as it was; after a crash or power
// loss the destination holds either the complete old or the complete new
// file.
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
    // existing file's mode, or 0666 less the umask for a new file), flushes
    // its data and mode to disk, renames it over the destination in one step
    // and then flushes the directory so the new name survives a crash.
    // Call it only once whoever wrote the temporary file has closed it.
    // OSError naming `file_path` when anything up to the rename fails; the
    // temporary file is then removed and the destination untouched.
    //
    // A failing directory flush comes after the rename: the new file is in
    // place, visible to everyone and its content already on disk, and the
    // old one cannot be brought back. Reporting the write as failed would
    // tell the caller the old file is still there, which is false. So the
    // commit stands, and the OSError (naming `file_path`) is returned
    // instead of raised, for the caller to report; an empty Ref when the
    // directory was flushed.
    [[nodiscard]] Ref commit();

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
