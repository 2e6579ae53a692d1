// The shared string table of a workbook, read as the library reads it: one
// text per `si` element, the plain text followed by its runs' text, with
// every "x005F_" removed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "xml_scanner.hpp"

namespace xt::sheet {

// The text with every "x005F_" removed, left to right, as str.replace does.
void remove_escape_marks(std::string& text);

// Reads the part from `source` as it comes (the part is never held whole),
// hands each string in order (UTF-8) to `add` (false from it stops the
// reading), and appends each distinct run properties element as written to
// `run_properties` (the library checks them). False when the part is
// unusual.
bool read_shared_strings(xml::Source& source, const std::function<bool(std::string_view)>& add,
                         std::vector<std::string>& run_properties);

}  // namespace xt::sheet
