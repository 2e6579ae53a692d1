// The bytes of a worksheet's sheetData exactly as openpyxl's sheet writer
// produces them, for either of its two XML back ends: its own ElementTree
// based writer (et_xmlfile, UTF-8 output) or lxml's (ASCII output with
// character references).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "byte_sink.hpp"

namespace xt {

enum class XmlDialect {
    etree,  // et_xmlfile: "<v />", UTF-8, lone surrogates as references
    lxml,   // lxml.etree.xmlfile: "<v></v>", non-ASCII and CR as references
};

// The characters of a text as the interpreter stores them (one, two or four
// bytes each), read in place or from a copy of our own: the serialiser reads
// them without touching the str object.
struct TextUnits {
    int kind = PyUnicode_1BYTE_KIND;
    const void* data = nullptr;
    Py_ssize_t length = 0;
};

// The units of a ready str (borrowed: valid while the str lives unchanged).
TextUnits text_units(PyObject* text) noexcept;

// Whether every character of `text` can be written in `dialect`: lxml
// refuses characters outside XML's character range (it raises where the
// ElementTree writer writes them as they are).
bool writable_text(PyObject* text, XmlDialect dialect) noexcept;

// Writes the cells of one <row> after another. Every call appends to the
// sink; the caller keeps the element structure (row, then its cells). The
// calls touch no Python object, so they may run with the GIL released as
// long as the sink has room for what they write (see cell_bound): a flush
// of the sink needs the GIL.
class SheetXmlWriter {
public:
    SheetXmlWriter(ByteSink& sink, XmlDialect dialect) : sink_(sink), dialect_(dialect) {}

    void open_row(long long row);
    void close_row() { sink_.put(std::string_view("</row>")); }

    // <c r="{column letters}{row}" s="{style}" t="{type}" ... ; style < 0
    // leaves out s, an empty type leaves out t.
    void open_cell(long long column, long long row, long long style, std::string_view type);

    // The cell element ends without content.
    void end_empty_cell();
    // <v>number</v></c>
    void number_cell(double value);
    // <v>digits</v></c> for an integer whose "%.16g" text is its digits.
    void text_value_cell(std::string_view ascii);
    // <v>escaped text</v></c>
    void text_value_cell(const TextUnits& text);
    // <v /></c>: a value whose text is empty (nan, inf).
    void empty_value_cell();
    // <is><t>text</t></is></c>, with xml:space="preserve" where openpyxl
    // adds it.
    void inline_string_cell(const TextUnits& text);
    // <f>formula without its "="</f><v /></c>
    void formula_cell(const TextUnits& formula);

    ByteSink& sink() noexcept { return sink_; }

private:
    void put_text(const TextUnits& text, Py_ssize_t start);
    void put_empty(std::string_view tag);

    ByteSink& sink_;
    XmlDialect dialect_;
};

// The most bytes one cell element (with the row change before it) asks the
// sink for, its text `text_length` characters long: a sink with this much
// room writes the cell without a flush.
constexpr std::size_t cell_bound(Py_ssize_t text_length) noexcept
{
    return 512 + static_cast<std::size_t>(text_length) * 12;
}

// The column letters of a 1-based column number (1 is "A", 27 "AA"); the
// caller keeps to openpyxl's range 1..18278.
std::size_t column_letters(long long column, char* out) noexcept;

}  // namespace xt
