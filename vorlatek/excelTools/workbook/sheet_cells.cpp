#include "sheet_cells.hpp"

#include <limits>

#include "rich_text.hpp"
#include "xml_scanner.hpp"

namespace xt::sheet {

namespace {

using xml::Attribute;
using xml::Ns;
using xml::Scanner;
using Event = Scanner::Event;

bool all_digits(std::string_view text) noexcept
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

enum class CellType { n, s, b, e, str, d, inline_string, other };

// The unqualified attributes `r`, `s` and `t` of a cell (null when absent),
// found in one pass: a cell has few attributes, and this runs for each.
struct CellAttributes {
    const Attribute* r = nullptr;
    const Attribute* s = nullptr;
    const Attribute* t = nullptr;
};

CellAttributes cell_attributes(const std::vector<Attribute>& attrs) noexcept
{
    CellAttributes found;
    for (const Attribute& attribute : attrs) {
        if (attribute.ns != Ns::none || attribute.local.size() != 1) {
            continue;
        }
        // The scanner refuses a repeated name, so each is met at most once.
        switch (attribute.local[0]) {
        case 'r':
            found.r = &attribute;
            break;
        case 's':
            found.s = &attribute;
            break;
        case 't':
            found.t = &attribute;
            break;
        default:
            break;
        }
    }
    return found;
}

CellType cell_type(const Attribute* t) noexcept
{
    if (t == nullptr) {
        return CellType::n;
    }
    const std::string_view v = t->raw;
    if (v == "n") {
        return CellType::n;
    }
    if (v == "s") {
        return CellType::s;
    }
    if (v == "b") {
        return CellType::b;
    }
    if (v == "e") {
        return CellType::e;
    }
    if (v == "str") {
        return CellType::str;
    }
    if (v == "d") {
        return CellType::d;
    }
    if (v == "inlineStr") {
        return CellType::inline_string;
    }
    return CellType::other;
}

class SheetReader {
public:
    SheetReader(xml::Source& source, std::size_t shared_count, std::int64_t max_row, RowSink& sink,
                SheetOutline& outline)
        : scanner_(source), shared_count_(shared_count), max_row_(max_row), sink_(sink), outline_(outline)
    {
    }

    bool read();

private:
    bool read_sheet_data();
    bool read_row();
    bool read_cell();
    bool read_value(bool& found, std::size_t& offset, std::size_t& size);
    bool skip_checked();

    Scanner scanner_;
    std::size_t shared_count_;
    std::int64_t max_row_;
    RowSink& sink_;
    SheetOutline& outline_;
    std::int64_t row_counter_ = 0;
    std::uint32_t column_counter_ = 0;
    std::vector<Cell> cells_;
    std::string arena_;
    std::string decoded_;
    std::string inline_text_;
};

// Skips an element outside the cell data, refusing what the library would
// treat as cell data there (a row) or warn about (an extension list).
bool SheetReader::skip_checked()
{
    if (scanner_.empty_element()) {
        return scanner_.next() == Event::end;
    }
    std::size_t open = 1;
    while (open > 0) {
        const Event event = scanner_.next();
        if (event == Event::start) {
            if (scanner_.ns() == Ns::main &&
                (scanner_.local() == "row" || scanner_.local() == "extLst" || scanner_.local() == "c")) {
                return false;
            }
            ++open;
        }
        else if (event == Event::end) {
            --open;
        }
        else if (event != Event::text) {
            return false;
        }
    }
    return true;
}

bool SheetReader::read()
{
    if (!scanner_.open() || scanner_.next() != Event::start) {
        return false;
    }
    if (scanner_.ns() != Ns::main || scanner_.local() != "worksheet") {
        return false;
    }
    {
        const std::string_view tag = scanner_.token();
        outline_.root_start_tag.assign(tag);
        std::size_t name_end = 1;
        while (name_end < tag.size() && tag[name_end] != ' ' && tag[name_end] != '>' &&
               tag[name_end] != '/' && tag[name_end] != '\t' && tag[name_end] != '\n' &&
               tag[name_end] != '\r') {
            ++name_end;
        }
        outline_.root_name.assign(tag.substr(1, name_end - 1));
    }
    if (scanner_.empty_element()) {
        return scanner_.next() == Event::end && scanner_.next() == Event::done;
    }
    bool sheet_data_seen = false;
    for (;;) {
        const Event event = scanner_.next();
        if (event == Event::end) {
            break;
        }
        if (event == Event::text) {
            continue;
        }
        if (event != Event::start) {
            return false;
        }
        if (scanner_.ns() == Ns::main && scanner_.local() == "sheetData") {
            if (sheet_data_seen || !read_sheet_data()) {
                return false;
            }
            sheet_data_seen = true;
            continue;
        }
        if (scanner_.ns() == Ns::main && (scanner_.local() == "row" || scanner_.local() == "extLst")) {
            return false;
        }
        scanner_.begin_capture();
        if (!skip_checked()) {
            return false;
        }
        outline_.other_parts.push_back(scanner_.end_capture());
    }
    return scanner_.next() == Event::done;
}

bool SheetReader::read_sheet_data()
{
    if (scanner_.empty_element()) {
        return scanner_.next() == Event::end;
    }
    for (;;) {
        const Event event = scanner_.next();
        if (event == Event::end) {
            return true;
        }
        if (event == Event::text) {
            continue;
        }
        if (event != Event::start || scanner_.ns() != Ns::main || scanner_.local() != "row") {
            return false;
        }
        if (!read_row()) {
            return false;
        }
    }
}

bool SheetReader::read_row()
{
    const Attribute* r = cell_attributes(scanner_.attributes()).r;
    if (r != nullptr) {
        if (!r->plain || !all_digits(r->raw) || r->raw.size() > 9) {
            return false;
        }
        std::int64_t number = 0;
        for (const char c : r->raw) {
            number = number * 10 + (c - '0');
        }
        row_counter_ = number;
    }
    else {
        ++row_counter_;
    }
    if (row_counter_ > max_row_) {
        return false;
    }
    column_counter_ = 0;
    cells_.clear();
    arena_.clear();
    if (!scanner_.empty_element()) {
        for (;;) {
            const Event event = scanner_.next();
            if (event == Event::end) {
                break;
            }
            if (event == Event::text) {
                continue;
            }
            // Every child of a row counts as a cell for the library.
            if (event != Event::start || scanner_.ns() != Ns::main || scanner_.local() != "c") {
                return false;
            }
            if (!read_cell()) {
                return false;
            }
        }
    }
    else if (scanner_.next() != Event::end) {
        return false;
    }
    return sink_.row(row_counter_, cells_, arena_);
}

// The character data of a `v` element just started (text only), as the
// library's findtext gives it, copied into the arena; size 0 when the
// element holds none.
bool SheetReader::read_value(bool& found, std::size_t& offset, std::size_t& size)
{
    found = true;
    offset = arena_.size();
    size = 0;
    if (scanner_.empty_element()) {
        return scanner_.next() == Event::end;
    }
    bool first = true;
    for (;;) {
        const Event event = scanner_.next();
        if (event == Event::end) {
            return true;
        }
        // One run of text: anything else inside is left to the library.
        if (event != Event::text || !first) {
            return false;
        }
        first = false;
        if (scanner_.text_plain()) {
            arena_.append(scanner_.text_raw());
        }
        else {
            if (!Scanner::decode(scanner_.text_raw(), false, decoded_)) {
                return false;
            }
            arena_.append(decoded_);
        }
        size = arena_.size() - offset;
    }
}

bool SheetReader::read_cell()
{
    const CellAttributes named = cell_attributes(scanner_.attributes());
    const Attribute* r = named.r;
    const Attribute* s = named.s;
    const Attribute* t = named.t;
    for (const Attribute* a : {r, s, t}) {
        if (a != nullptr && !a->plain) {
            return false;
        }
    }
    Cell cell{};
    if (r != nullptr) {
        cell.column = reference_column(r->raw);
        if (cell.column == 0) {
            return false;
        }
        column_counter_ = cell.column;
    }
    else {
        cell.column = ++column_counter_;
        if (column_counter_ > 18278 * 64) {
            return false;
        }
    }
    if (s != nullptr) {
        // An empty `s` stays the text "" for the library, not style 0.
        if (!all_digits(s->raw) || s->raw.size() > 9) {
            return false;
        }
        std::uint32_t style = 0;
        for (const char c : s->raw) {
            style = style * 10 + static_cast<std::uint32_t>(c - '0');
        }
        cell.style = style;
    }
    const CellType type = cell_type(t);
    if (type == CellType::other) {
        return false;
    }
    const bool inline_string = type == CellType::inline_string;

    std::size_t value_offset = 0;
    std::size_t value_size = 0;
    bool value_seen = false;
    bool inline_seen = false;
    if (!scanner_.empty_element()) {
        for (;;) {
            const Event event = scanner_.next();
            if (event == Event::end) {
                break;
            }
            if (event == Event::text) {
                continue;
            }
            if (event != Event::start || scanner_.ns() != Ns::main) {
                return false;
            }
            const std::string_view name = scanner_.local();
            if (name == "v") {
                bool found = false;
                std::size_t offset = 0;
                std::size_t size = 0;
                if (!read_value(found, offset, size)) {
                    return false;
                }
                if (!value_seen) {
                    value_offset = offset;
                    value_size = size;
                    value_seen = true;
                }
                else {
                    arena_.resize(offset);  // only the first value counts
                }
            }
            else if (name == "is" && inline_string && !inline_seen) {
                inline_seen = true;
                inline_text_.clear();
                if (xml::read_text_element(scanner_, inline_text_) != xml::TextResult::ok) {
                    return false;
                }
            }
            else if (name == "f" || name == "is") {
                if (!skip_checked()) {
                    return false;
                }
            }
            else {
                return false;
            }
        }
    }
    else if (scanner_.next() != Event::end) {
        return false;
    }

    if (inline_string) {
        if (inline_seen) {
            cell.kind = Kind::text;
            cell.text_offset = arena_.size();
            cell.text_size = inline_text_.size();
            arena_.append(inline_text_);
        }
        else {
            cell.kind = Kind::empty;
        }
        cells_.push_back(cell);
        return true;
    }
    if (value_size == 0) {
        cell.kind = Kind::empty;  // no value, whatever the type says
        cells_.push_back(cell);
        return true;
    }
    const std::string_view text(arena_.data() + value_offset, value_size);
    switch (type) {
    case CellType::n:
        cell.number_is_float = text.find_first_of(".eE") != std::string_view::npos;
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
        if (index >= static_cast<std::int64_t>(shared_count_)) {
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
    cell.text_offset = value_offset;
    cell.text_size = value_size;
    cells_.push_back(cell);
    return true;
}

}  // namespace

std::uint32_t reference_column(std::string_view reference) noexcept
{
    std::size_t letters = 0;
    std::uint32_t column = 0;
    while (letters < reference.size()) {
        char c = reference[letters];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c < 'A' || c > 'Z') {
            break;
        }
        column = column * 26 + static_cast<std::uint32_t>(c - 'A' + 1);
        ++letters;
    }
    if (letters == 0 || letters > 3 || !all_digits(reference.substr(letters)) ||
        reference.size() - letters > 9) {
        return 0;
    }
    return column;
}

bool read_sheet(xml::Source& source, std::size_t shared_count, std::int64_t max_row, RowSink& sink,
                SheetOutline& outline)
{
    SheetReader reader(source, shared_count, max_row, sink, outline);
    return reader.read();
}

bool read_dimension(xml::Source& source, Dimension& dimension)
{
    Scanner scanner(source);
    if (!scanner.open()) {
        return false;
    }
    for (;;) {
        const Event event = scanner.next();
        if (event == Event::unusual) {
            return false;
        }
        if (event == Event::done) {
            dimension.found = false;
            return true;
        }
        if (event != Event::start || scanner.ns() != Ns::main) {
            continue;
        }
        if (scanner.local() == "dimension") {
            // Only `ref` (and namespaced attributes, which the library drops)
            // fit the library's dimension record; the library reads the
            // first dimension element to end, so it must be empty.
            const Attribute* r = xml::find_attribute(scanner.attributes(), "ref");
            for (const Attribute& a : scanner.attributes()) {
                if (a.ns == Ns::none && a.local != "ref") {
                    return false;
                }
            }
            if (r == nullptr || !r->plain || !scanner.empty_element() || scanner.next() != Event::end) {
                return false;
            }
            dimension.found = true;
            dimension.ref.assign(r->raw);
            return true;
        }
        if (scanner.local() == "sheetData") {
            // The library stops where the cell data ends.
            if (!scanner.skip_element()) {
                return false;
            }
            dimension.found = false;
            return true;
        }
    }
}

}  // namespace xt::sheet
