// A worksheet part written straight into its archive member.
//
// Under the routed save with the large-piece archive, a sheet whose rows the
// route writes does not go through two temporary files (rows spooled, then
// spliced into openpyxl's part, which zipfile then reads back): its rows are
// kept until zipfile copies openpyxl's part (holding a marker where the rows
// belong) into the archive, and the copy then hands the member's writer the
// part's bytes before the marker, the rows as they are serialised, and the
// bytes after it. The member's writer sees the same bytes as from the file
// the plain save would have written, only cut into other pieces, which its
// checksum and deflate do not see.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "../core/ref.hpp"

namespace xt {

class SheetRows;
struct SaveLayout;

// The rows of one sheet waiting for their member, with what they refer to.
struct PendingSheet {
    Ref worksheet;  // kept alive for the rows, which borrow it
    Ref out_path;   // the str path of openpyxl's part for the sheet
    std::unique_ptr<SheetRows> rows;

    PendingSheet();
    PendingSheet(PendingSheet&&) noexcept;
    PendingSheet& operator=(PendingSheet&&) noexcept;
    ~PendingSheet();
};

// The sheets of one routed save waiting for their members, for as long as
// the save runs on this thread. Saves nest (a save from code the save runs
// keeps its own); whatever is left when a save ends is dropped with it.
class DirectMembers {
public:
    DirectMembers() noexcept;
    DirectMembers(const DirectMembers&) = delete;
    DirectMembers& operator=(const DirectMembers&) = delete;
    ~DirectMembers();

    // The innermost save on this thread, or nullptr.
    static DirectMembers* current() noexcept;

    void add(PendingSheet sheet);
    // The sheet whose part is at `path` (a str), taken out; empty when none.
    std::unique_ptr<PendingSheet> take(PyObject* path);
    bool holds(PyObject* path) const;

private:
    DirectMembers* outer_;
    std::vector<PendingSheet> sheets_;
};

// shutil.copyfileobj(src, dest) for the part of a sheet waiting in the
// current save: its bytes with the rows in place of the marker. False (and
// nothing read) when src is no such part. Throws PyErrorSet on failure.
bool copy_sheet_member(const SaveLayout& layout, PyObject* src, PyObject* dest);

}  // namespace xt
