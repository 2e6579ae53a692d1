#include "sheet_cells.hpp"

#include <limits>

#include "cell_values.hpp"
#include "plain_rows.hpp"
#include "rich_text.hpp"
#include "xml_scanner.hpp"

namespace xt::sheet {

namespace {

using xml::Attribute;
using xml::Ns;
using xml::Scanner;
using Event = Scanner::Event;

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
    bool read_plain_rows();
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
    PlainRowReading plain_;
    // The rows of one scan of the bytes at hand: each one's cells in plain_
    // and where it starts in the bytes.
    struct ScannedRow {
        std::int64_t number;
        std::size_t first_cell;
        std::size_t cell_count;
        std::size_t offset;
    };
    std::vector<ScannedRow> scanned_;
    bool long_scans_ = true;  // the last scan was a long one (or none was made yet)
};

// Bytes fewer than this are scanned without telling the sink: letting
// other threads run costs more than such a scan.
constexpr std::size_t bytes_only_threshold = 64 * 1024;
// Nor after a scan of fewer rows than this that stopped at a row for the
// events: rows taking turns between the two readings would let other
// threads in at every row.
constexpr std::size_t rows_of_a_long_scan = 64;

// The sink told of a scan of bytes only, for as long as it lasts.
class BytesOnly {
public:
    BytesOnly(RowSink& sink, bool tell) : sink_(tell ? &sink : nullptr)
    {
        if (sink_ != nullptr) {
            sink_->begin_bytes_only();
        }
    }
    BytesOnly(const BytesOnly&) = delete;
    BytesOnly& operator=(const BytesOnly&) = delete;
    ~BytesOnly()
    {
        if (sink_ != nullptr) {
            sink_->end_bytes_only();
        }
    }

private:
    RowSink* sink_;
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
    // Rows read unprefixed are in the main namespace only when it is the
    // default one here; the plain reading declares none of its own.
    Ns row_ns = Ns::none;
    std::string_view local;
    const bool plain_rows = scanner_.resolve_name("row", false, row_ns, local) && row_ns == Ns::main;
    plain_.shared_count = shared_count_;
    plain_.max_row = max_row_;
    for (;;) {
        if (plain_rows && !read_plain_rows()) {
            return false;
        }
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

// Reads the rows that come next as long as they are written plainly, in
// one pass over the bytes; the first that is not is left to the events.
// The rows the bytes at hand hold are scanned first, touching nothing but
// the bytes (the sink may let other threads run meanwhile), then handed on.
// False when the sink stopped.
bool SheetReader::read_plain_rows()
{
    if (!scanner_.between_events()) {
        return true;
    }
    for (;;) {
        const std::string_view bytes = scanner_.unread();
        plain_.row_number = row_counter_;
        plain_.cells.clear();
        scanned_.clear();
        PlainRow result = PlainRow::aside;
        std::size_t used = 0;
        {
            BytesOnly bytes_only(sink_, long_scans_ && bytes.size() >= bytes_only_threshold);
            for (;;) {
                const std::size_t first_cell = plain_.cells.size();
                result = read_plain_row(bytes.substr(used), scanner_, plain_);
                if (result != PlainRow::read) {
                    break;
                }
                scanned_.push_back({plain_.row_number, first_cell, plain_.cells.size() - first_cell, used});
                used += plain_.used;
            }
        }
        const std::span<const Cell> cells(plain_.cells);
        for (const ScannedRow& row : scanned_) {
            row_counter_ = row.number;
            if (!sink_.row(row.number, cells.subspan(row.first_cell, row.cell_count), bytes.substr(row.offset))) {
                return false;
            }
        }
        scanner_.skip_unread(used);
        long_scans_ = result == PlainRow::more || scanned_.size() >= rows_of_a_long_scan;
        if (result == PlainRow::aside) {
            return true;
        }
        // A row beyond the scanner's token size is read token by token.
        if (bytes.size() - used > xml::max_token_bytes || !scanner_.read_more()) {
            return true;
        }
    }
}

bool SheetReader::read_row()
{
    const Attribute* r = cell_attributes(scanner_.attributes()).r;
    if (r != nullptr) {
        std::uint32_t number = 0;
        if (!r->plain || !small_number(r->raw, number)) {
            return false;
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
    return sink_.row(row_counter_, std::span<const Cell>(cells_), arena_);
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
    // An empty `s` stays the text "" for the library, not style 0.
    if (s != nullptr && !small_number(s->raw, cell.style)) {
        return false;
    }
    const CellType type = cell_type(t != nullptr ? t->raw : std::string_view(), t == nullptr);
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
    const std::string_view text(arena_.data() + value_offset, value_size);
    if (!classify_value(type, text, value_offset, shared_count_, cell)) {
        return false;
    }
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
