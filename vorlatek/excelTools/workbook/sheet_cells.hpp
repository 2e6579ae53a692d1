// The cells of a worksheet part, read the way the library's read-only,
// data-only reading sees them: each row element with its row number (its
// `r`, or one more than the previous row), each cell with its column (its
// `r`, or one more than the previous cell of the row), its kind, its style
// index and the text of its value. Values are only checked here, not made
// into objects; readers/ shapes them into the rows a reader hands on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xml_scanner.hpp"

namespace xt::sheet {

enum class Kind : std::uint8_t {
    empty,      // no value (None)
    number,     // t="n" (or no t): an int or float text, checked
    shared,     // t="s": an index into the shared strings, checked
    boolean,    // t="b": `text` is "0" or "1" after checking (true when not 0)
    error,      // t="e"
    text,       // t="str", or an inline string's content
    iso_date,   // t="d": the text, for the library's ISO 8601 reading
};

struct Cell {
    std::uint32_t column;      // 1-based
    Kind kind;
    bool number_is_float;      // number: the text holds '.', 'e' or 'E'
    std::uint32_t style;       // the `s` index, 0 when absent
    std::size_t text_offset;   // the value's text, in the row's texts (`arena`)
    std::size_t text_size;
    std::int64_t shared_index;  // shared: the index; boolean: 1 for true
};

// Receives the rows as they are read, each with its cells in the order of
// the part and the texts they refer to (the row's own copies, or the
// document's bytes where no text needed decoding). False stops the reading.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual bool row(std::int64_t number, std::span<const Cell> cells, std::string_view arena) = 0;
    // Around a stretch of the reading that touches its bytes only (rows
    // scanned before any of them is handed on): the sink may let other
    // threads run meanwhile. No row is handed on in between.
    virtual void begin_bytes_only() {}
    virtual void end_bytes_only() {}
};

// What the reading leaves besides the rows: the root's start tag and every
// child of the root other than sheetData, as written, for the library's
// reading of them.
struct SheetOutline {
    std::string root_start_tag;
    std::string root_name;
    std::vector<std::string> other_parts;
};

// Reads the whole part from `source`; false when anything in it is unusual
// (then the library reads it) or the sink stopped. `shared_count` bounds the
// shared string indices, `max_row` the row numbers (larger ones are left to
// the library).
bool read_sheet(xml::Source& source, std::size_t shared_count, std::int64_t max_row, RowSink& sink,
                SheetOutline& outline);

// The library's size of a worksheet: the `ref` of its `dimension` element
// when that element ends before `sheetData` does, else nothing. False when
// the document up to there is unusual.
struct Dimension {
    bool found = false;
    std::string ref;
};
bool read_dimension(xml::Source& source, Dimension& dimension);

// The column of a cell reference as the library reads it (1-based), or 0
// when the reference is not a plain one of one to three letters and digits.
std::uint32_t reference_column(std::string_view reference) noexcept;

}  // namespace xt::sheet
