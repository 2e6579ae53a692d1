#include "sheet_xml.hpp"

#include <algorithm>

#include "number_text.hpp"

namespace xt {

namespace {

bool xml_character(Py_UCS4 c) noexcept
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// "&#N;" with N in decimal, as both writers spell character references.
std::size_t character_reference(Py_UCS4 c, char* out) noexcept
{
    out[0] = '&';
    out[1] = '#';
    std::size_t length = 2 + format_integer(static_cast<long long>(c), out + 2);
    out[length++] = ';';
    return length;
}

std::size_t utf8_bytes(Py_UCS4 c, char* out) noexcept
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// The longest spelling of one character: "&#1114111;".
constexpr std::size_t max_character_bytes = 12;

}  // namespace

TextUnits text_units(PyObject* text) noexcept
{
    return TextUnits{PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text)};
}

bool writable_text(PyObject* text, XmlDialect dialect) noexcept
{
    if (dialect == XmlDialect::etree) {
        return true;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!xml_character(PyUnicode_READ(kind, data, i))) {
            return false;
        }
    }
    return true;
}

std::size_t column_letters(long long column, char* out) noexcept
{
    char reversed[8];
    std::size_t count = 0;
    while (column > 0 && count < sizeof reversed) {
        const long long digit = (column - 1) % 26;
        reversed[count++] = static_cast<char>('A' + digit);
        column = (column - 1) / 26;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = reversed[count - 1 - i];
    }
    return count;
}

void SheetXmlWriter::open_row(long long row)
{
    char* out = sink_.reserve(64);
    std::size_t n = 0;
    static constexpr std::string_view start = "<row r=\"";
    std::char_traits<char>::copy(out, start.data(), start.size());
    n += start.size();
    n += format_integer(row, out + n);
    out[n++] = '"';
    out[n++] = '>';
    sink_.commit(n);
}

void SheetXmlWriter::open_cell(long long column, long long row, long long style,
                               std::string_view type)
{
    char* out = sink_.reserve(96 + type.size());
    std::size_t n = 0;
    static constexpr std::string_view start = "<c r=\"";
    std::char_traits<char>::copy(out, start.data(), start.size());
    n += start.size();
    n += column_letters(column, out + n);
    n += format_integer(row, out + n);
    out[n++] = '"';
    if (style >= 0) {
        static constexpr std::string_view s_attribute = " s=\"";
        std::char_traits<char>::copy(out + n, s_attribute.data(), s_attribute.size());
        n += s_attribute.size();
        n += format_integer(style, out + n);
        out[n++] = '"';
    }
    if (!type.empty()) {
        static constexpr std::string_view t_attribute = " t=\"";
        std::char_traits<char>::copy(out + n, t_attribute.data(), t_attribute.size());
        n += t_attribute.size();
        std::char_traits<char>::copy(out + n, type.data(), type.size());
        n += type.size();
        out[n++] = '"';
    }
    sink_.commit(n);
}

void SheetXmlWriter::put_empty(std::string_view tag)
{
    // ElementTree writes an element without text or children as "<v />",
    // lxml's incremental writer as "<v></v>".
    sink_.put('<');
    sink_.put(tag);
    if (dialect_ == XmlDialect::etree) {
        sink_.put(std::string_view(" />"));
        return;
    }
    sink_.put(std::string_view("></"));
    sink_.put(tag);
    sink_.put('>');
}

void SheetXmlWriter::end_empty_cell()
{
    if (dialect_ == XmlDialect::etree) {
        sink_.put(std::string_view(" />"));
    }
    else {
        sink_.put(std::string_view("></c>"));
    }
}

void SheetXmlWriter::number_cell(double value)
{
    char* out = sink_.reserve(16 + number_text_capacity);
    std::size_t n = 0;
    std::char_traits<char>::copy(out, "><v>", 4);
    n += 4;
    n += format_number(value, out + n);
    std::char_traits<char>::copy(out + n, "</v></c>", 8);
    n += 8;
    sink_.commit(n);
}

void SheetXmlWriter::text_value_cell(std::string_view ascii)
{
    sink_.put(std::string_view("><v>"));
    sink_.put(ascii);
    sink_.put(std::string_view("</v></c>"));
}

void SheetXmlWriter::text_value_cell(const TextUnits& text)
{
    sink_.put(std::string_view("><v>"));
    put_text(text, 0);
    sink_.put(std::string_view("</v></c>"));
}

void SheetXmlWriter::empty_value_cell()
{
    sink_.put('>');
    put_empty("v");
    sink_.put(std::string_view("</c>"));
}

void SheetXmlWriter::inline_string_cell(const TextUnits& text)
{
    const Py_ssize_t length = text.length;
    const int kind = text.kind;
    const void* data = text.data;
    bool preserve = false;
    if (length > 0) {
        const bool edge_space = Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, 0)) ||
                                Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, length - 1));
        if (dialect_ == XmlDialect::lxml) {
            // value != value.strip()
            preserve = edge_space;
        }
        else if (edge_space) {
            // stripped = text.strip(); stripped and text != stripped
            for (Py_ssize_t i = 0; i < length && !preserve; ++i) {
                preserve = !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i));
            }
        }
    }
    if (preserve) {
        sink_.put(std::string_view("><is><t xml:space=\"preserve\">"));
    }
    else {
        sink_.put(std::string_view("><is><t>"));
    }
    put_text(text, 0);
    sink_.put(std::string_view("</t></is></c>"));
}

void SheetXmlWriter::formula_cell(const TextUnits& formula)
{
    sink_.put('>');
    if (formula.length <= 1) {
        put_empty("f");
    }
    else {
        sink_.put(std::string_view("<f>"));
        put_text(formula, 1);
        sink_.put(std::string_view("</f>"));
    }
    put_empty("v");
    sink_.put(std::string_view("</c>"));
}

void SheetXmlWriter::put_text(const TextUnits& text, Py_ssize_t start)
{
    const Py_ssize_t length = text.length;
    const int kind = text.kind;
    const void* data = text.data;
    const bool etree = dialect_ == XmlDialect::etree;
    Py_ssize_t i = start;
    while (i < length) {
        // Chunks that fit the buffer whatever their spelling.
        const Py_ssize_t chunk_end =
            std::min<Py_ssize_t>(length, i + static_cast<Py_ssize_t>(4096));
        char* out = sink_.reserve(static_cast<std::size_t>(chunk_end - i) * max_character_bytes);
        std::size_t n = 0;
        for (; i < chunk_end; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            switch (c) {
            case '&':
                std::char_traits<char>::copy(out + n, "&amp;", 5);
                n += 5;
                continue;
            case '<':
                std::char_traits<char>::copy(out + n, "&lt;", 4);
                n += 4;
                continue;
            case '>':
                std::char_traits<char>::copy(out + n, "&gt;", 4);
                n += 4;
                continue;
            case '\r':
                if (!etree) {
                    std::char_traits<char>::copy(out + n, "&#13;", 5);
                    n += 5;
                    continue;
                }
                break;
            default:
                break;
            }
            if (c < 0x80) {
                out[n++] = static_cast<char>(c);
            }
            else if (!etree || (c >= 0xD800 && c <= 0xDFFF)) {
                // lxml writes ASCII; the UTF-8 text file of the ElementTree
                // writer turns what it cannot encode into references.
                n += character_reference(c, out + n);
            }
            else {
                n += utf8_bytes(c, out + n);
            }
        }
        sink_.commit(n);
    }
}

}  // namespace xt
