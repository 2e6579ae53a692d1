#include "plain_rows.hpp"

#include <array>
#include <cstring>

#include "cell_values.hpp"
#include "xml_characters.hpp"

namespace xt::sheet {

namespace {

using xml::is_space;

enum class Step { ok, aside, more };

// More attributes than this on one tag: left to the scanner.
constexpr std::size_t max_attributes = 16;

// What a byte is to the plain reading, looked up in one step per byte.
enum ByteClass : std::uint8_t {
    ordinary = 0,
    name_char = 1,     // continues a name
    name_start = 2,    // starts or continues a name
    needs_care = 4,    // in a value or text: a reference, a line end or "]]>" may begin
    value_care = 8,    // in an attribute value: markup or characters a value's reading normalises
};

constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (int c = 'A'; c <= 'Z'; ++c) {
        classes[c] = name_start | name_char;
        classes[c + 'a' - 'A'] = name_start | name_char;
    }
    classes['_'] = name_start | name_char;
    for (int c = '0'; c <= '9'; ++c) {
        classes[c] = name_char;
    }
    classes['.'] = name_char;
    classes['-'] = name_char;
    classes['&'] = needs_care | value_care;
    classes['\r'] = needs_care | value_care;
    classes[']'] = needs_care;
    classes['<'] = value_care;
    classes['\t'] = value_care;
    classes['\n'] = value_care;
    return classes;
}();

inline std::uint8_t class_of(char c) noexcept
{
    return byte_classes[static_cast<unsigned char>(c)];
}

// The end of the name at p as xml::read_name finds it, which decides
// whenever the name holds a colon or ends at a byte beyond ASCII (then
// `colon` tells whether it has one).
inline const char* name_end(const char* p, const char* end, bool& colon) noexcept
{
    if (p >= end || (class_of(*p) & name_start) == 0) {
        return nullptr;
    }
    const char* q = p + 1;
    while (q < end && (class_of(*q) & name_char) != 0) {
        ++q;
    }
    if (q < end && (*q == ':' || static_cast<unsigned char>(*q) >= 0x80)) {
        const char* read = xml::read_name(p, end);
        colon = read != nullptr && std::memchr(p, ':', static_cast<std::size_t>(read - p)) != nullptr;
        return read;
    }
    colon = false;
    return q;
}

// Names are a few bytes: compared in line, without a call.
inline bool is_name(std::string_view name, std::string_view expected) noexcept
{
    if (name.size() != expected.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != expected[i]) {
            return false;
        }
    }
    return true;
}

inline bool same_name(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && (a.size() == 1 ? a[0] == b[0] : std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Trivially made, so that a tag costs nothing until its attributes are read.
struct RawAttribute {
    const char* name;
    const char* value;
    std::uint32_t name_size;
    std::uint32_t value_size;

    std::string_view qname() const noexcept { return std::string_view(name, name_size); }
    std::string_view text() const noexcept { return std::string_view(value, value_size); }
};

struct Tag {
    std::string_view name;
    std::size_t count = 0;
    bool empty = false;
    bool prefixed = false;  // an attribute's name has a prefix
    RawAttribute attributes[max_attributes];

    // An unprefixed attribute's value; false when absent.
    bool find(char letter, std::string_view& value) const noexcept
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (attributes[i].name_size == 1 && attributes[i].name[0] == letter) {
                value = attributes[i].text();
                return true;
            }
        }
        return false;
    }
};

// The markup of one row, read from the front. Whatever the scanner would
// refuse or read with more care is `aside`, so that it has the last word.
class RowBytes {
public:
    RowBytes(std::string_view bytes, const xml::Scanner& scanner) noexcept
        : begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()), scanner_(scanner)
    {
    }

    std::size_t used() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    // Where a text read lies in the bytes.
    std::size_t offset_of(std::string_view text) const noexcept
    {
        return text.empty() ? 0 : static_cast<std::size_t>(text.data() - begin_);
    }

    Step space() noexcept
    {
        while (p_ < end_ && is_space(*p_)) {
            ++p_;
        }
        return p_ < end_ ? Step::ok : Step::more;
    }

    // After space(): whether an end tag comes next, or a start tag.
    Step at_markup(bool& end_tag) const noexcept
    {
        if (end_ - p_ < 2) {
            return Step::more;
        }
        if (*p_ != '<') {
            return Step::aside;  // text that is not white space
        }
        end_tag = p_[1] == '/';
        return Step::ok;
    }

    Step start_tag(Tag& tag) noexcept;
    Step names_distinct(const Tag& tag) const noexcept;

    // "</name>", white space allowed before the '>'.
    Step end_tag(std::string_view name) noexcept
    {
        const std::size_t need = 2 + name.size();
        if (static_cast<std::size_t>(end_ - p_) < need + 1) {
            return Step::more;
        }
        if (p_[0] != '<' || p_[1] != '/' || !is_name(std::string_view(p_ + 2, name.size()), name)) {
            return Step::aside;
        }
        p_ += need;
        if (space() != Step::ok) {
            return Step::more;
        }
        if (*p_ != '>') {
            return Step::aside;
        }
        ++p_;
        return Step::ok;
    }

    // Character data up to the next '<', which needs no decoding.
    Step text(std::string_view& out) noexcept
    {
        const char* q = p_;
        while (q < end_ && *q != '<') {
            if ((class_of(*q) & needs_care) != 0) {
                return Step::aside;  // references, line ends and "]]>" are the scanner's
            }
            ++q;
        }
        if (q >= end_) {
            return Step::more;
        }
        out = std::string_view(p_, static_cast<std::size_t>(q - p_));
        p_ = q;
        return Step::ok;
    }

    // The content of an element of text only, and its end tag.
    Step text_of(std::string_view& out, std::string_view name) noexcept
    {
        const Step step = text(out);
        return step == Step::ok ? end_tag(name) : step;
    }

private:
    const char* begin_;
    const char* p_;
    const char* end_;
    const xml::Scanner& scanner_;
};

Step RowBytes::start_tag(Tag& tag) noexcept
{
    bool colon = false;
    const char* tag_name_end = name_end(p_ + 1, end_, colon);
    if (tag_name_end == nullptr) {
        return Step::aside;
    }
    if (tag_name_end == end_) {
        return Step::more;
    }
    tag.name = std::string_view(p_ + 1, static_cast<std::size_t>(tag_name_end - (p_ + 1)));
    tag.count = 0;
    tag.prefixed = false;
    p_ = tag_name_end;
    for (;;) {
        const char* before = p_;
        if (space() != Step::ok) {
            return Step::more;
        }
        if (*p_ == '>') {
            ++p_;
            tag.empty = false;
            break;
        }
        if (*p_ == '/') {
            if (end_ - p_ < 2) {
                return Step::more;
            }
            if (p_[1] != '>') {
                return Step::aside;
            }
            p_ += 2;
            tag.empty = true;
            break;
        }
        if (p_ == before || tag.count == max_attributes) {
            return Step::aside;
        }
        const char* attribute_end = name_end(p_, end_, colon);
        if (attribute_end == nullptr) {
            return Step::aside;
        }
        if (attribute_end == end_) {
            return Step::more;
        }
        RawAttribute& attribute = tag.attributes[tag.count];
        attribute.name = p_;
        attribute.name_size = static_cast<std::uint32_t>(attribute_end - p_);
        if (attribute.name_size >= 5 && std::memcmp(p_, "xmlns", 5) == 0 &&
            (attribute.name_size == 5 || p_[5] == ':')) {
            return Step::aside;  // a namespace declaration
        }
        p_ = attribute_end;
        if (*p_ != '=') {
            if (space() != Step::ok) {
                return Step::more;
            }
            if (*p_ != '=') {
                return Step::aside;
            }
        }
        ++p_;
        if (p_ < end_ && *p_ != '"' && *p_ != '\'' && space() != Step::ok) {
            return Step::more;
        }
        if (p_ >= end_) {
            return Step::more;
        }
        if (*p_ != '"' && *p_ != '\'') {
            return Step::aside;
        }
        const char quote = *p_++;
        const char* value = p_;
        while (p_ < end_ && *p_ != quote) {
            if ((class_of(*p_) & value_care) != 0) {
                return Step::aside;  // references, and characters a value's reading normalises
            }
            ++p_;
        }
        if (p_ >= end_) {
            return Step::more;
        }
        attribute.value = value;
        attribute.value_size = static_cast<std::uint32_t>(p_ - value);
        ++p_;
        tag.prefixed = tag.prefixed || colon;
        ++tag.count;
    }
    return tag.count > 1 || tag.prefixed ? names_distinct(tag) : Step::ok;
}

// No name twice; a prefix must be bound, and two prefixed names with one
// local name might be one name (two prefixes of one namespace).
Step RowBytes::names_distinct(const Tag& tag) const noexcept
{
    for (std::size_t i = 0; i < tag.count; ++i) {
        const std::string_view qname = tag.attributes[i].qname();
        const std::size_t colon = tag.prefixed ? qname.find(':') : std::string_view::npos;
        if (colon != std::string_view::npos) {
            xml::Ns ns = xml::Ns::none;
            std::string_view local;
            if (!scanner_.resolve_name(qname, true, ns, local)) {
                return Step::aside;
            }
        }
        for (std::size_t j = i + 1; j < tag.count; ++j) {
            const std::string_view other = tag.attributes[j].qname();
            if (same_name(other, qname)) {
                return Step::aside;
            }
            if (colon != std::string_view::npos) {
                const std::size_t other_colon = other.find(':');
                if (other_colon != std::string_view::npos && qname.substr(colon) == other.substr(other_colon)) {
                    return Step::aside;
                }
            }
        }
    }
    return Step::ok;
}

// What the cell at hand holds besides its attributes.
struct CellContent {
    bool value_seen = false;
    std::string_view value;
    bool inline_seen = false;
    std::string_view inline_text;
};

// An inline string of at most one `t` (of no attributes but xml:space), its
// `is` just started.
Step read_inline(RowBytes& in, const Tag& is, CellContent& content)
{
    content.inline_seen = true;
    if (is.count != 0) {
        return Step::aside;
    }
    if (is.empty) {
        return Step::ok;
    }
    bool end_tag = false;
    Step step = in.space();
    if (step == Step::ok) {
        step = in.at_markup(end_tag);
    }
    if (step != Step::ok || end_tag) {
        return step == Step::ok ? in.end_tag("is") : step;
    }
    Tag t;
    step = in.start_tag(t);
    if (step != Step::ok) {
        return step;
    }
    if (!is_name(t.name, "t") || t.count > 1 || (t.count == 1 && t.attributes[0].qname() != "xml:space")) {
        return Step::aside;
    }
    if (!t.empty) {
        step = in.text_of(content.inline_text, "t");
        if (step != Step::ok) {
            return step;
        }
    }
    step = in.space();
    return step == Step::ok ? in.end_tag("is") : step;
}

// The children of a cell just started: `v`, `f` and (for an inline string)
// `is`, each at most once.
Step read_cell_content(RowBytes& in, bool inline_string, CellContent& content)
{
    bool formula_seen = false;
    for (;;) {
        bool end_tag = false;
        Step step = in.space();
        if (step == Step::ok) {
            step = in.at_markup(end_tag);
        }
        if (step != Step::ok) {
            return step;
        }
        if (end_tag) {
            return in.end_tag("c");
        }
        Tag child;
        step = in.start_tag(child);
        if (step != Step::ok) {
            return step;
        }
        if (is_name(child.name, "v") && !content.value_seen && child.count == 0) {
            content.value_seen = true;
            if (!child.empty) {
                step = in.text_of(content.value, "v");
                if (step != Step::ok) {
                    return step;
                }
            }
        }
        else if (is_name(child.name, "is") && inline_string && !content.inline_seen) {
            step = read_inline(in, child, content);
            if (step != Step::ok) {
                return step;
            }
        }
        else if (is_name(child.name, "f") && !formula_seen) {
            formula_seen = true;
            if (!child.empty) {
                std::string_view formula;
                step = in.text_of(formula, "f");
                if (step != Step::ok) {
                    return step;
                }
            }
        }
        else {
            return Step::aside;
        }
    }
}

Step read_cell(RowBytes& in, const Tag& tag, std::uint32_t& column_counter, PlainRowReading& reading)
{
    Cell cell{};
    std::string_view r;
    if (tag.find('r', r)) {
        cell.column = reference_column(r);
        if (cell.column == 0) {
            return Step::aside;
        }
        column_counter = cell.column;
    }
    else {
        cell.column = ++column_counter;
        if (column_counter > 18278 * 64) {
            return Step::aside;
        }
    }
    std::string_view s;
    if (tag.find('s', s) && !small_number(s, cell.style)) {
        return Step::aside;
    }
    std::string_view t;
    const bool typed = tag.find('t', t);
    const CellType type = cell_type(t, !typed);
    if (type == CellType::other) {
        return Step::aside;
    }
    CellContent content;
    if (!tag.empty) {
        const Step step = read_cell_content(in, type == CellType::inline_string, content);
        if (step != Step::ok) {
            return step;
        }
    }
    if (type == CellType::inline_string) {
        if (content.inline_seen) {
            cell.kind = Kind::text;
            cell.text_offset = in.offset_of(content.inline_text);
            cell.text_size = content.inline_text.size();
        }
        else {
            cell.kind = Kind::empty;
        }
    }
    else {
        if (!classify_value(type, content.value, in.offset_of(content.value), reading.shared_count, cell)) {
            return Step::aside;
        }
    }
    reading.cells.push_back(cell);
    return Step::ok;
}

Step read_row(RowBytes& in, PlainRowReading& reading)
{
    Step step = in.space();
    bool end_tag = false;
    if (step == Step::ok) {
        step = in.at_markup(end_tag);
    }
    if (step != Step::ok || end_tag) {
        return step == Step::ok ? Step::aside : step;
    }
    Tag row;
    step = in.start_tag(row);
    if (step != Step::ok) {
        return step;
    }
    if (!is_name(row.name, "row")) {
        return Step::aside;
    }
    std::int64_t number = reading.row_number + 1;
    std::string_view r;
    if (row.find('r', r)) {
        std::uint32_t written = 0;
        if (!small_number(r, written)) {
            return Step::aside;
        }
        number = written;
    }
    if (number > reading.max_row) {
        return Step::aside;
    }
    std::uint32_t column_counter = 0;
    if (!row.empty) {
        for (;;) {
            step = in.space();
            if (step == Step::ok) {
                step = in.at_markup(end_tag);
            }
            if (step != Step::ok) {
                return step;
            }
            if (end_tag) {
                step = in.end_tag("row");
                if (step != Step::ok) {
                    return step;
                }
                break;
            }
            Tag cell;
            step = in.start_tag(cell);
            if (step != Step::ok) {
                return step;
            }
            if (!is_name(cell.name, "c")) {
                return Step::aside;  // every child of a row is a cell for the library
            }
            step = read_cell(in, cell, column_counter, reading);
            if (step != Step::ok) {
                return step;
            }
        }
    }
    reading.row_number = number;
    return Step::ok;
}

}  // namespace

PlainRow read_plain_row(std::string_view bytes, const xml::Scanner& scanner, PlainRowReading& reading)
{
    RowBytes in(bytes, scanner);
    const std::size_t cells_before = reading.cells.size();
    const Step step = read_row(in, reading);
    if (step == Step::ok) {
        reading.used = in.used();
        return PlainRow::read;
    }
    reading.cells.resize(cells_before);
    return step == Step::more ? PlainRow::more : PlainRow::aside;
}

}  // namespace xt::sheet
