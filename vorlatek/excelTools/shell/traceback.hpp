// Traceback entries that name the module's own source positions.
#pragma once

namespace xt {

// Adds one entry "File "vorlatek/excelTools", line <line>, in <function>" to
// the pending exception. Never fails: if the entry cannot be made, the
// exception is left as it was.
void add_traceback_entry(const char* function, int line) noexcept;

}  // namespace xt
