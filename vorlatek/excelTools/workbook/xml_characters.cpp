#include "xml_characters.hpp"

#include <cstring>
#include <string_view>

namespace xt::xml {

// Strict UTF-8 holding XML characters only.
bool valid_document_chars(const unsigned char* p, const unsigned char* end) noexcept
{
    while (p < end) {
        // Eight ASCII bytes at a time while no control character shows.
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t high = word & 0x8080808080808080ULL;
            // For ASCII bytes, adding 0x60 sets the high bit exactly from
            // 0x20 on (no carry crosses a byte).
            const std::uint64_t low = (word + 0x6060606060606060ULL) & 0x8080808080808080ULL;
            if (high == 0 && low == 0x8080808080808080ULL) {
                p += 8;
                continue;
            }
        }
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) {
                return false;
            }
            ++p;
            continue;
        }
        std::uint32_t cp;
        int extra;
        if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            extra = 1;
        }
        else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            extra = 2;
        }
        else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            extra = 3;
        }
        else {
            return false;
        }
        if (end - p <= extra) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            !is_xml_char(cp)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

void append_utf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    }
    else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

const char* read_reference(const char* p, const char* end, std::uint32_t& cp) noexcept
{
    const char* q = p + 1;
    if (q < end && *q == '#') {
        ++q;
        std::uint32_t value = 0;
        int digits = 0;
        if (q < end && *q == 'x') {
            ++q;
            for (; q < end && *q != ';'; ++q, ++digits) {
                const char c = *q;
                std::uint32_t d;
                if (c >= '0' && c <= '9') {
                    d = static_cast<std::uint32_t>(c - '0');
                }
                else if (c >= 'a' && c <= 'f') {
                    d = static_cast<std::uint32_t>(c - 'a' + 10);
                }
                else if (c >= 'A' && c <= 'F') {
                    d = static_cast<std::uint32_t>(c - 'A' + 10);
                }
                else {
                    return nullptr;
                }
                if (digits >= 8) {
                    return nullptr;
                }
                value = value * 16 + d;
            }
        }
        else {
            for (; q < end && *q != ';'; ++q, ++digits) {
                const char c = *q;
                if (c < '0' || c > '9' || digits >= 9) {
                    return nullptr;
                }
                value = value * 10 + static_cast<std::uint32_t>(c - '0');
            }
        }
        if (q >= end || digits == 0 || !is_xml_char(value)) {
            return nullptr;
        }
        cp = value;
        return q + 1;
    }
    const char* name = q;
    while (q < end && *q != ';' && q - name < 5) {
        ++q;
    }
    if (q >= end || *q != ';') {
        return nullptr;
    }
    const std::string_view entity(name, static_cast<std::size_t>(q - name));
    if (entity == "lt") {
        cp = '<';
    }
    else if (entity == "gt") {
        cp = '>';
    }
    else if (entity == "amp") {
        cp = '&';
    }
    else if (entity == "quot") {
        cp = '"';
    }
    else if (entity == "apos") {
        cp = '\'';
    }
    else {
        return nullptr;
    }
    return q + 1;
}

const char* read_name(const char* p, const char* end) noexcept
{
    if (p >= end || !is_name_start(static_cast<unsigned char>(*p))) {
        return nullptr;
    }
    const char* q = p + 1;
    bool colon = false;
    while (q < end) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if (is_name_char(c)) {
            ++q;
        }
        else if (c == ':' && !colon && q + 1 < end &&
                 is_name_start(static_cast<unsigned char>(q[1]))) {
            colon = true;
            q += 2;
        }
        else {
            break;
        }
    }
    if (q < end && (static_cast<unsigned char>(*q) >= 0x80 || *q == ':')) {
        return nullptr;  // a name this scanner does not read
    }
    return q;
}
std::size_t whole_characters(const unsigned char* begin, const unsigned char* end) noexcept
{
    const auto size = static_cast<std::size_t>(end - begin);
    // Back over the continuation bytes (three at most) to the lead byte of
    // the last sequence.
    std::size_t lead = size;
    for (int back = 0; back < 4 && lead > 0; ++back) {
        --lead;
        const unsigned char c = begin[lead];
        if (c < 0x80) {
            return size;
        }
        if (c >= 0xC0) {
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return size - lead < length ? lead : size;
        }
    }
    return size;
}

}  // namespace xt::xml
