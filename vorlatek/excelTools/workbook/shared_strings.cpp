#include "shared_strings.hpp"

#include <cstring>
#include <string_view>
#include <unordered_set>

#include "rich_text.hpp"
#include "xml_characters.hpp"
#include "xml_scanner.hpp"

namespace xt::sheet {

void remove_escape_marks(std::string& text)
{
    constexpr std::string_view mark = "x005F_";
    std::size_t found = text.find(mark);
    if (found == std::string::npos) {
        return;
    }
    std::string result;
    result.reserve(text.size());
    std::size_t from = 0;
    while (found != std::string::npos) {
        result.append(text, from, found - from);
        from = found + mark.size();
        found = text.find(mark, from);
    }
    result.append(text, from, std::string::npos);
    text.swap(result);
}

namespace {

enum class PlainString { read, aside, more };

bool starts_with(const char* p, const char* end, std::string_view text) noexcept
{
    return static_cast<std::size_t>(end - p) >= text.size() && std::memcmp(p, text.data(), text.size()) == 0;
}

// A string written the plain way at the start of `bytes` (after white
// space): `<si/>`, or an `si` of one `t` (of no attributes but
// xml:space="preserve") whose text needs no decoding, with white space
// between the tags only. Its text goes to `text`, `used` says how far it
// went. Anything else is for the reading over events, which gives the same
// text; `more` when the bytes end within it.
PlainString read_plain_string(std::string_view bytes, std::string_view& text, std::size_t& used) noexcept
{
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    auto skip_space = [&p, end] {
        while (p < end && xml::is_space(*p)) {
            ++p;
        }
    };
    // The longest fixed piece looked for, plus one byte: fewer left may mean
    // the piece is cut.
    constexpr std::size_t enough = 32;
    auto have = [&p, end](std::size_t count) { return static_cast<std::size_t>(end - p) >= count; };
    skip_space();
    if (!have(enough)) {
        return PlainString::more;
    }
    if (starts_with(p, end, "<si/>")) {
        text = std::string_view();
        used = static_cast<std::size_t>(p + 5 - bytes.data());
        return PlainString::read;
    }
    if (!starts_with(p, end, "<si>")) {
        return PlainString::aside;
    }
    p += 4;
    skip_space();
    if (!have(enough)) {
        return PlainString::more;
    }
    if (starts_with(p, end, "<t/>")) {
        p += 4;
        text = std::string_view();
    }
    else {
        if (starts_with(p, end, "<t>")) {
            p += 3;
        }
        else if (starts_with(p, end, "<t xml:space=\"preserve\">")) {
            p += 24;
        }
        else {
            return PlainString::aside;
        }
        const char* const start = p;
        while (p < end && *p != '<') {
            if (*p == '&' || *p == '\r' || *p == ']') {
                return PlainString::aside;  // references, line ends and "]]>" are the scanner's
            }
            ++p;
        }
        text = std::string_view(start, static_cast<std::size_t>(p - start));
        if (!have(4)) {
            return PlainString::more;
        }
        if (!starts_with(p, end, "</t>")) {
            return PlainString::aside;
        }
        p += 4;
    }
    skip_space();
    if (!have(5)) {
        return PlainString::more;
    }
    if (!starts_with(p, end, "</si>")) {
        return PlainString::aside;
    }
    used = static_cast<std::size_t>(p + 5 - bytes.data());
    return PlainString::read;
}

}  // namespace

bool read_shared_strings(xml::Source& source, const std::function<bool(std::string_view)>& add,
                         std::vector<std::string>& run_properties)
{
    std::unordered_set<std::string> distinct;
    std::vector<std::string> found;
    using xml::Ns;
    using xml::Scanner;
    using Event = Scanner::Event;
    Scanner scanner(source);
    if (!scanner.open() || scanner.next() != Event::start) {
        return false;
    }
    if (scanner.ns() != Ns::main || scanner.local() != "sst") {
        return false;
    }
    if (scanner.empty_element()) {
        return scanner.next() == Event::end && scanner.next() == Event::done;
    }
    std::string text;
    // Unprefixed names are in the main namespace only when it is the
    // default one here; the plain strings declare none of their own.
    Ns si_ns = Ns::none;
    std::string_view local;
    const bool plain_strings = scanner.resolve_name("si", false, si_ns, local) && si_ns == Ns::main;
    for (;;) {
        while (plain_strings && scanner.between_events()) {
            const std::string_view bytes = scanner.unread();
            std::string_view plain;
            std::size_t used = 0;
            const PlainString result = read_plain_string(bytes, plain, used);
            if (result == PlainString::aside) {
                break;
            }
            if (result == PlainString::more) {
                // A string beyond the scanner's token size is read token by token.
                if (bytes.size() > xml::max_token_bytes || !scanner.read_more()) {
                    break;
                }
                continue;
            }
            text.assign(plain);
            scanner.skip_unread(used);
            remove_escape_marks(text);
            if (!add(text)) {
                return false;
            }
        }
        const Event event = scanner.next();
        if (event == Event::end) {
            break;
        }
        if (event == Event::text) {
            continue;
        }
        if (event != Event::start || scanner.ns() != Ns::main || scanner.local() != "si") {
            return false;
        }
        text.clear();
        found.clear();
        if (xml::read_text_element(scanner, text, &found) != xml::TextResult::ok) {
            return false;
        }
        for (std::string& written : found) {
            if (distinct.insert(written).second) {
                run_properties.push_back(std::move(written));
            }
        }
        remove_escape_marks(text);
        if (!add(text)) {
            return false;
        }
    }
    return scanner.next() == Event::done;
}

}  // namespace xt::sheet
