// The cells of a worksheet part, read the way the library's read-only,
// data-only reading sees them: each row element with its row number (its
// `r`, or one more than the previous row), each cell with its column (its
// `r`, or one more than the previous cell of the row), its kind, its style
// index and the text of its value. Values are only checked here, not made
// into objects; readers/ shapes them into the rows a reader hands on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
    bool in_arena;             // text lives in Cells::arena, not in the part
    std::uint32_t style;       // the `s` index, 0 when absent
    std::uint32_t text_offset;
    std::uint32_t text_size;
    std::int64_t shared_index;  // shared
};

struct Row {
    std::int64_t number;       // as the library counts it
    std::size_t first_cell;    // into Cells::cells
    std::size_t cell_count;
};

struct TopLevelPart {
    std::size_t begin;  // byte offsets of a child of the root other than sheetData
    std::size_t end;
};

struct Cells {
    std::vector<Row> rows;
    std::vector<Cell> cells;
    std::string arena;
    std::string_view root_start_tag;  // the root's start tag, as written
    std::string_view root_name;       // its qualified name
    std::vector<TopLevelPart> other_parts;
    bool uses_shared_strings = false;
};

// Reads the whole part; false when anything in it is unusual (then the
// library reads it). `shared_count` bounds the shared string indices.
// `max_row` bounds row numbers (larger ones are left to the library).
bool read_sheet(const char* data, std::size_t size, std::size_t shared_count, std::int64_t max_row,
                Cells& out);

// The library's size of a worksheet: the `ref` of its `dimension` element
// when that element ends before `sheetData` does, else nothing. `status` is
// false when the document up to there is unusual.
struct Dimension {
    bool found = false;
    std::string ref;
};
bool read_dimension(const char* data, std::size_t size, Dimension& dimension);

// The column of a cell reference as the library reads it (1-based), or 0
// when the reference is not a plain one of one to three letters and digits.
std::uint32_t reference_column(std::string_view reference) noexcept;

}  // namespace xt::sheet
