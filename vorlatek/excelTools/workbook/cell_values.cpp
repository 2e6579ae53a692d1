#include "cell_values.hpp"

namespace xt::sheet {

namespace {

// An optional sign and decimal digits: what int() reads the same way.
bool integer_text(std::string_view text) noexcept
{
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        text.remove_prefix(1);
    }
    return all_digits(text);
}

// A decimal number text that float() reads exactly as the C conversion does
// and whose value is finite beyond doubt.
bool float_text(std::string_view text) noexcept
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    long significant = 0;  // integer digits after leading zeros
    bool digits = false;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        if (significant > 0 || text[i] != '0') {
            ++significant;
        }
        digits = true;
        ++i;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            digits = true;
            ++i;
        }
    }
    if (!digits) {
        return false;
    }
    long exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            ++i;
        }
        const std::size_t start = i;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            if (exponent < 100000) {
                exponent = exponent * 10 + (text[i] - '0');
            }
            ++i;
        }
        if (i == start) {
            return false;
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    // Far from the double range's ends: finite, and no conversion can fail.
    return i == n && significant + exponent < 300;
}

}  // namespace

CellType cell_type(std::string_view t, bool absent) noexcept
{
    if (absent) {
        return CellType::n;
    }
    // By size and first letter: this runs for every cell.
    if (t.size() == 1) {
        switch (t[0]) {
        case 'n':
            return CellType::n;
        case 's':
            return CellType::s;
        case 'b':
            return CellType::b;
        case 'e':
            return CellType::e;
        case 'd':
            return CellType::d;
        default:
            return CellType::other;
        }
    }
    if (t == "str") {
        return CellType::str;
    }
    if (t == "inlineStr") {
        return CellType::inline_string;
    }
    return CellType::other;
}

bool classify_value(CellType type, std::string_view text, std::size_t offset, std::size_t shared_count,
                    Cell& cell) noexcept
{
    if (text.empty()) {
        cell.kind = Kind::empty;  // no value, whatever the type says
        return true;
    }
    switch (type) {
    case CellType::n:
        cell.number_is_float = false;
        for (const char c : text) {
            cell.number_is_float = cell.number_is_float || c == '.' || c == 'e' || c == 'E';
        }
        if (cell.number_is_float ? !float_text(text) : (!integer_text(text) || text.size() > 300)) {
            return false;
        }
        cell.kind = Kind::number;
        break;
    case CellType::s: {
        if (!all_digits(text) || text.size() > 12) {
            return false;
        }
        std::int64_t index = 0;
        for (const char c : text) {
            index = index * 10 + (c - '0');
        }
        if (index >= static_cast<std::int64_t>(shared_count)) {
            return false;
        }
        cell.kind = Kind::shared;
        cell.shared_index = index;
        break;
    }
    case CellType::b: {
        if (!integer_text(text)) {
            return false;
        }
        bool nonzero = false;
        for (const char c : text) {
            nonzero = nonzero || (c >= '1' && c <= '9');
        }
        cell.kind = Kind::boolean;
        cell.shared_index = nonzero ? 1 : 0;
        break;
    }
    case CellType::e:
        cell.kind = Kind::error;
        break;
    case CellType::str:
        cell.kind = Kind::text;
        break;
    case CellType::d:
        cell.kind = Kind::iso_date;
        break;
    default:
        return false;
    }
    cell.text_offset = offset;
    cell.text_size = text.size();
    return true;
}

}  // namespace xt::sheet
