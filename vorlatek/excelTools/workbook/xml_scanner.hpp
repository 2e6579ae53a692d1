// A strict pull scanner for the XML parts of a workbook file.
//
// It accepts only what an XML 1.0 parser with namespaces accepts and this
// module reproduces exactly: UTF-8 (with or without byte order mark, with or
// without an XML declaration naming UTF-8), elements, attributes, text, the
// five predefined entities and character references. Everything else it
// meets (a document type declaration, CDATA, comments and processing
// instructions, names outside ASCII, unbound prefixes, malformed markup) ends
// the scan as `unusual`, so that the caller leaves the part to the library,
// whose own parser then says what it makes of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xt::xml {

// The namespaces the workbook readers tell apart, by URI.
enum class Ns : std::uint8_t { none, main, relationships, xml, other };

struct Attribute {
    std::string_view qname;  // as written, prefix included
    std::string_view local;
    Ns ns = Ns::none;
    std::string_view raw;    // the value between the quotes, undecoded
    bool plain = true;       // no reference or character the value normalises
};

class Scanner {
public:
    enum class Event { start, end, text, done, unusual };

    Scanner(const char* data, std::size_t size) noexcept : p_(data), end_(data + size), begin_(data) {}

    // Checks the characters of the whole document (UTF-8, XML characters
    // only) and reads the byte order mark and XML declaration. False when
    // the document is not one the scanner reproduces.
    bool open();

    // The next event. After `start`: ns(), local(), attributes(),
    // empty_element() (an empty element gives its `end` next). After `text`:
    // text_raw(), text_plain(). The root element's end is followed by `done`.
    Event next();

    Ns ns() const noexcept { return ns_; }
    std::string_view local() const noexcept { return local_; }
    const std::vector<Attribute>& attributes() const noexcept { return attrs_; }
    bool empty_element() const noexcept { return empty_; }
    std::string_view text_raw() const noexcept { return text_; }
    bool text_plain() const noexcept { return text_plain_; }
    // Nesting depth of the element just started or ended (root is 1).
    std::size_t depth() const noexcept { return depth_; }
    // Byte offsets of the markup just read (start tag, end tag or text).
    std::size_t token_begin() const noexcept { return static_cast<std::size_t>(token_ - begin_); }
    std::size_t token_end() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

    // Skips the content of the element just started, up to and including its
    // end. False when that content is unusual.
    bool skip_element();

    // Decoded value of an attribute or text: references replaced, line
    // ends normalised (and, in attributes, white space turned into blanks as
    // XML prescribes). False for a reference the scanner does not reproduce.
    static bool decode(std::string_view raw, bool attribute, std::string& out);

private:
    bool read_start_tag();
    bool read_end_tag();
    bool read_text();
    bool bind(const Attribute& attribute);
    bool resolve(std::string_view qname, bool is_attribute, Ns& ns, std::string_view& local) const;

    const char* p_;
    const char* end_;
    const char* begin_;
    const char* token_ = nullptr;

    struct Binding {
        std::string_view prefix;  // empty for the default namespace
        Ns ns;
        std::size_t depth;
    };
    std::vector<Binding> bindings_;
    std::vector<std::string_view> open_names_;
    std::vector<Attribute> attrs_;
    Ns ns_ = Ns::none;
    std::string_view local_;
    std::string_view text_;
    bool text_plain_ = true;
    bool empty_ = false;
    bool pending_end_ = false;
    bool root_seen_ = false;
    bool ended_ = false;
    std::size_t depth_ = 0;
    std::string scratch_;
};

// The namespace of a URI as written in a declaration (decoded).
Ns namespace_of(std::string_view uri) noexcept;

// Attribute lookup by unqualified name (no namespace); null when absent.
const Attribute* find_attribute(const std::vector<Attribute>& attrs, std::string_view local) noexcept;

}  // namespace xt::xml
