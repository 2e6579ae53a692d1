// The character level of the XML scanner: which bytes make white space and
// names, strict UTF-8 holding XML characters only, character and entity
// references, and where a piece of a document may be cut without splitting a
// character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xt::xml {

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Names are read in ASCII only; any other name is left to the library.
inline bool is_name_start(unsigned char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

inline bool is_name_char(unsigned char c) noexcept
{
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// XML 1.0 characters, as code points.
inline bool is_xml_char(std::uint32_t c) noexcept
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// Strict UTF-8 holding XML characters only.
bool valid_document_chars(const unsigned char* p, const unsigned char* end) noexcept;

// The length of the longest beginning of [begin, end) that ends on a
// character boundary, given that `begin` starts a character: the bytes of
// a sequence the end cuts (at most 3) are left out. Bytes that cannot end
// any sequence are kept, for the check to refuse.
std::size_t whole_characters(const unsigned char* begin, const unsigned char* end) noexcept;

void append_utf8(std::string& out, std::uint32_t cp);

// Reads the reference starting at p (which points at '&'); on success sets
// `cp` to the character it stands for and returns the position after ';'.
const char* read_reference(const char* p, const char* end, std::uint32_t& cp) noexcept;

// Reads a name (prefix:local allowed) at p; returns the end or null.
const char* read_name(const char* p, const char* end) noexcept;

}  // namespace xt::xml
