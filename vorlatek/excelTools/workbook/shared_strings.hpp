// The shared string table of a workbook, read as the library reads it: one
// text per `si` element, the plain text followed by its runs' text, with
// every "x005F_" removed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace xt::sheet {

// The text with every "x005F_" removed, left to right, as str.replace does.
void remove_escape_marks(std::string& text);

// Appends each string in order (UTF-8), and each distinct run properties
// element as written to `run_properties` (the library checks them). False
// when the part is unusual.
bool read_shared_strings_into(const char* data, std::size_t size, std::vector<std::string>& out,
                              std::vector<std::string>& run_properties);

}  // namespace xt::sheet
