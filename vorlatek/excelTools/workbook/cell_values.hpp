// The checks a cell's attributes and value text pass before the cell is
// handed on, shared by the two readings of a worksheet's cells (the one
// over the scanner's events and the one over plainly written rows), so
// that both take a cell for exactly the same thing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sheet_cells.hpp"

namespace xt::sheet {

inline bool all_digits(std::string_view text) noexcept
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// A row number (`r` of a row) or style index (`s` of a cell): at most nine
// digits; false otherwise.
inline bool small_number(std::string_view text, std::uint32_t& value) noexcept
{
    if (!all_digits(text) || text.size() > 9) {
        return false;
    }
    std::uint32_t number = 0;
    for (const char c : text) {
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    value = number;
    return true;
}

// The `t` of a cell, as far as the library tells types apart.
enum class CellType { n, s, b, e, str, d, inline_string, other };

// `absent`: the cell has no `t`.
CellType cell_type(std::string_view t, bool absent) noexcept;

// Completes `cell` (its column and style set) from its type and the text of
// its first `v`, which lies at `offset` in the row's arena: its kind and
// what the value says. False when the value is one the library may read
// differently. Not for inline strings.
bool classify_value(CellType type, std::string_view text, std::size_t offset, std::size_t shared_count,
                    Cell& cell) noexcept;

}  // namespace xt::sheet
