#include "rich_text.hpp"

#include <utility>
#include <string_view>

namespace xt::xml {

namespace {

bool only_namespaced(const std::vector<Attribute>& attrs)
{
    for (const Attribute& attribute : attrs) {
        if (attribute.ns == Ns::none) {
            return false;  // the library passes it on as a keyword it does not take
        }
    }
    return true;
}

bool is_digits(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return text.size() <= 9;
}

// Attributes allowed on an element: each non-namespaced one must be named
// in `allowed`, and those in `required` must be there; values are checked by
// `check`.
template <class Check>
bool attributes_fit(const std::vector<Attribute>& attrs, std::initializer_list<std::string_view> allowed,
                    std::initializer_list<std::string_view> required, Check check)
{
    for (const Attribute& attribute : attrs) {
        if (attribute.ns != Ns::none) {
            continue;
        }
        bool known = false;
        for (std::string_view name : allowed) {
            if (attribute.local == name) {
                known = true;
            }
        }
        if (!known || !attribute.plain || !check(attribute)) {
            return false;
        }
    }
    for (std::string_view name : required) {
        if (find_attribute(attrs, name) == nullptr) {
            return false;
        }
    }
    return true;
}

// The character data of a `t` element: absent (the library's None) or a
// text, possibly empty.
struct Piece {
    bool present = false;
    std::string text;
    void reset() noexcept
    {
        present = false;
        text.clear();
    }
};

// Reads a `t` element the scanner has just started, which must hold text
// only. False when the element is unusual.
bool read_t(Scanner& scanner, Piece& piece, std::string& decoded)
{
    piece.reset();
    if (scanner.empty_element()) {
        return scanner.next() == Scanner::Event::end;
    }
    for (;;) {
        const Scanner::Event event = scanner.next();
        if (event == Scanner::Event::end) {
            return true;
        }
        if (event != Scanner::Event::text) {
            return false;
        }
        piece.present = true;
        if (scanner.text_plain()) {
            piece.text.append(scanner.text_raw());
        }
        else {
            if (!Scanner::decode(scanner.text_raw(), false, decoded)) {
                return false;
            }
            piece.text.append(decoded);
        }
    }
}

}  // namespace

TextResult read_text_element(Scanner& scanner, std::string& out, std::vector<std::string>* run_properties)
{
    if (!only_namespaced(scanner.attributes())) {
        return TextResult::unusual;
    }
    if (scanner.empty_element()) {
        return scanner.next() == Scanner::Event::end ? TextResult::ok : TextResult::unusual;
    }
    // Reused from string to string: a table holds a million of them.
    thread_local Piece plain;
    thread_local Piece piece;
    thread_local Piece run_text;
    thread_local std::string runs;
    thread_local std::string decoded;
    plain.reset();
    runs.clear();
    for (;;) {
        Scanner::Event event = scanner.next();
        if (event == Scanner::Event::end) {
            break;
        }
        if (event == Scanner::Event::text) {
            continue;  // character data between children: the library ignores it
        }
        if (event != Scanner::Event::start || scanner.ns() != Ns::main) {
            return TextResult::unusual;
        }
        const std::string_view name = scanner.local();
        if (name == "t") {
            // The last `t` is the one the library keeps.
            if (!read_t(scanner, plain, decoded)) {
                return TextResult::unusual;
            }
        }
        else if (name == "r") {
            if (!only_namespaced(scanner.attributes())) {
                return TextResult::unusual;
            }
            run_text.reset();
            if (!scanner.empty_element()) {
                for (;;) {
                    event = scanner.next();
                    if (event == Scanner::Event::end) {
                        break;
                    }
                    if (event == Scanner::Event::text) {
                        continue;
                    }
                    if (event == Scanner::Event::start && scanner.ns() == Ns::main &&
                        scanner.local() == "rPr" && run_properties != nullptr) {
                        scanner.begin_capture();
                        if (!scanner.skip_element()) {
                            return TextResult::unusual;
                        }
                        std::string written = scanner.end_capture();
                        if (written.find(':') != std::string::npos) {
                            return TextResult::unusual;  // prefixes: their declarations are elsewhere
                        }
                        run_properties->push_back(std::move(written));
                        continue;
                    }
                    if (event != Scanner::Event::start || scanner.ns() != Ns::main ||
                        scanner.local() != "t" || !read_t(scanner, piece, decoded)) {
                        return TextResult::unusual;
                    }
                    std::swap(run_text, piece);
                }
            }
            else if (scanner.next() != Scanner::Event::end) {
                return TextResult::unusual;
            }
            if (run_text.present) {
                runs.append(run_text.text);
            }
        }
        else if (name == "rPh") {
            const bool fits = attributes_fit(scanner.attributes(), {"sb", "eb"}, {"sb", "eb"},
                                             [](const Attribute& a) { return is_digits(a.raw); });
            if (!fits) {
                return TextResult::unusual;
            }
            if (!scanner.empty_element()) {
                for (;;) {
                    event = scanner.next();
                    if (event == Scanner::Event::end) {
                        break;
                    }
                    if (event == Scanner::Event::text) {
                        continue;
                    }
                    if (event != Scanner::Event::start || scanner.ns() != Ns::main ||
                        scanner.local() != "t" || !read_t(scanner, piece, decoded)) {
                        return TextResult::unusual;
                    }
                }
            }
            else if (scanner.next() != Scanner::Event::end) {
                return TextResult::unusual;
            }
        }
        else if (name == "phoneticPr") {
            const bool fits = attributes_fit(
                scanner.attributes(), {"fontId", "type", "alignment"}, {"fontId"},
                [](const Attribute& a) {
                    if (a.local == "fontId") {
                        return is_digits(a.raw);
                    }
                    if (a.local == "type") {
                        return a.raw == "halfwidthKatakana" || a.raw == "fullwidthKatakana" ||
                               a.raw == "Hiragana" || a.raw == "noConversion";
                    }
                    return a.raw == "noControl" || a.raw == "left" || a.raw == "center" ||
                           a.raw == "distributed";
                });
            if (!fits || !scanner.empty_element() || scanner.next() != Scanner::Event::end) {
                return TextResult::unusual;
            }
        }
        else {
            return TextResult::unusual;
        }
    }
    if (plain.present) {
        out.append(plain.text);
    }
    out.append(runs);
    return TextResult::ok;
}

}  // namespace xt::xml
