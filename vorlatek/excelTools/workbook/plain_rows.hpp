// The rows of a worksheet as most programs write them, read in one pass
// over the document's bytes instead of through the scanner's events: a row
// of cells, each with `r`, `s` and `t` in any order beside other attributes,
// holding a `v`, an inline string of one `t`, or a formula without
// references. The first row written any other way (references, comments,
// namespace declarations, runs of rich text, text between cells) is left to
// the reading over events, which gives the same cells for every row this
// reading takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sheet_cells.hpp"
#include "xml_scanner.hpp"

namespace xt::sheet {

enum class PlainRow {
    read,   // the row was read: `used` bytes, white space before it included
    aside,  // the row is for the reading over events
    more,   // the bytes end within the row
};

struct PlainRowReading {
    std::size_t shared_count = 0;  // bounds the shared string indices
    std::int64_t max_row = 0;      // larger row numbers are the library's
    std::int64_t row_number = 0;   // before: the previous row's; after a read: this one's
    std::vector<Cell> cells;       // a read appends the row's cells, in the order written,
                                   // their texts in the bytes read (none needs decoding)
    std::size_t used = 0;
};

// Reads the row at the start of `bytes` (after white space), touching
// nothing but them, the scanner's namespaces and `reading`. Its names
// the scanner resolves: it is open in its sheetData, and only the default
// namespace being the main one lets its elements be read unprefixed.
PlainRow read_plain_row(std::string_view bytes, const xml::Scanner& scanner, PlainRowReading& reading);

}  // namespace xt::sheet
