#include "shared_strings.hpp"

#include <string_view>
#include <unordered_set>

#include "rich_text.hpp"
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
    for (;;) {
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
