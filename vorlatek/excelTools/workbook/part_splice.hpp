// A worksheet part assembled from two files: the part as openpyxl wrote it,
// with a marker where the sheet's cell data belongs, and a spool file that
// holds those cell data. Both live in the directory of openpyxl's own
// temporary files.
#pragma once

#include <string>
#include <string_view>

namespace xt {

// An unnamed temporary file: made in a directory and unlinked at once, so
// it disappears with its descriptor whatever happens.
class SpoolFile {
public:
    SpoolFile() = default;
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;
    ~SpoolFile();

    // Throws PyErrorSet with OSError set when it cannot be made.
    void create(const std::string& directory);
    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

// Rewrites the file at `path` with the spool's content in place of the
// marker of the first occurrence of `before`, `marker`, `after`. The file is read whole: it holds only the
// parts of the sheet around its cell data. Throws PyErrorSet with OSError
// set when a file operation fails, and RuntimeError when the marker is
// missing.
void splice_spool(const std::string& path, std::string_view before, std::string_view marker,
                  std::string_view after, const SpoolFile& spool);

}  // namespace xt
