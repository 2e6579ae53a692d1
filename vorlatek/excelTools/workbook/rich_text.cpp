#include "rich_text.hpp"

#include <optional>
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

// The character data of a `t` element the scanner has just started, which
// must hold text only; nullopt for a `t` without text (the library's None).
// False when the element is unusual.
bool read_t(Scanner& scanner, std::optional<std::string>& text)
{
    text.reset();
    if (scanner.empty_element()) {
        return scanner.next() == Scanner::Event::end;
    }
    std::string decoded;
    for (;;) {
        const Scanner::Event event = scanner.next();
        if (event == Scanner::Event::end) {
            return true;
        }
        if (event != Scanner::Event::text) {
            return false;
        }
        std::string_view raw = scanner.text_raw();
        if (!text) {
            text.emplace();
        }
        if (scanner.text_plain()) {
            text->append(raw);
        }
        else {
            if (!Scanner::decode(raw, false, decoded)) {
                return false;
            }
            text->append(decoded);
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
    std::optional<std::string> plain;
    std::string runs;
    std::optional<std::string> piece;
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
            if (!read_t(scanner, plain)) {
                return TextResult::unusual;
            }
        }
        else if (name == "r") {
            if (!only_namespaced(scanner.attributes())) {
                return TextResult::unusual;
            }
            std::optional<std::string> run_text;
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
                        scanner.local() != "t" || !read_t(scanner, piece)) {
                        return TextResult::unusual;
                    }
                    run_text = std::move(piece);
                }
            }
            else if (scanner.next() != Scanner::Event::end) {
                return TextResult::unusual;
            }
            if (run_text) {
                runs.append(*run_text);
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
                        scanner.local() != "t" || !read_t(scanner, piece)) {
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
    if (plain) {
        out.append(*plain);
    }
    out.append(runs);
    return TextResult::ok;
}

}  // namespace xt::xml
