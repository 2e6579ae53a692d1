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
//
// Its work grows with the document and no faster, and what it holds stays
// bounded: each byte is searched once for the end of its token, a token is
// held whole but only up to max_token_bytes, and the namespace declarations
// in scope are at most max_bindings. Beyond either bound the scan ends as
// `unusual` too (no workbook a spreadsheet program writes comes near them).
//
// Characters, names and references: xml_characters.hpp; tags and text:
// xml_tags.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xt::xml {

// The longest token (a tag, a run of text) the scanner holds.
constexpr std::size_t max_token_bytes = std::size_t{4} << 20;
// The most namespace declarations in scope at once (each name is looked up
// among them).
constexpr std::size_t max_bindings = 64;

// The namespaces the workbook readers tell apart, by URI.
enum class Ns : std::uint8_t { none, main, relationships, xml, other };

struct Attribute {
    std::string_view qname;  // as written, prefix included
    std::string_view local;
    Ns ns = Ns::none;
    std::string_view raw;    // the value between the quotes, undecoded
    bool plain = true;       // no reference or character the value normalises
};

// Where a scanner's bytes come from: a whole document at once, or pieces
// of it (a compressed archive member read a chunk at a time).
class Source {
public:
    virtual ~Source() = default;
    // Appends the next piece to `buffer`; sets `finished` after the last
    // one. False when the bytes cannot be had (the scan then ends).
    virtual bool more(std::string& buffer, bool& finished) = 0;
};

class Scanner {
public:
    enum class Event { start, end, text, done, unusual };

    explicit Scanner(Source& source) noexcept : source_(source) {}
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Reads the byte order mark and XML declaration. False when the
    // document is not one the scanner reproduces. The characters of the
    // whole document are checked as it is read (UTF-8, XML characters only).
    bool open();

    // The next event. After `start`: ns(), local(), attributes(),
    // empty_element() (an empty element gives its `end` next). After `text`:
    // text_raw(), text_plain(). The root element's end is followed by `done`.
    // The views stay valid until the next call.
    Event next();

    Ns ns() const noexcept { return ns_; }
    std::string_view local() const noexcept { return local_; }
    const std::vector<Attribute>& attributes() const noexcept { return attrs_; }
    bool empty_element() const noexcept { return empty_; }
    std::string_view text_raw() const noexcept { return text_; }
    bool text_plain() const noexcept { return text_plain_; }
    // Nesting depth of the element just started or ended (root is 1).
    std::size_t depth() const noexcept { return depth_; }
    // The markup just read, as written (a start tag, end tag or text).
    std::string_view token() const noexcept
    {
        return std::string_view(token_, static_cast<std::size_t>(p_ - token_));
    }

    // Keeps every byte from the start of the token just read until
    // end_capture(), which returns them (through the last token read).
    void begin_capture() noexcept;
    std::string end_capture();

    // Skips the content of the element just started, up to and including its
    // end. False when that content is unusual.
    bool skip_element();

    // For a caller that reads a run of plainly written elements itself
    // between two events: the bytes not yet read (their characters checked
    // already). It may take only whole elements that declare no namespace,
    // and the text between them, and only when no end of an empty element
    // is still to be reported (between_events()).
    bool between_events() const noexcept { return !pending_end_ && !broken_ && !capturing_; }
    std::string_view unread() const noexcept
    {
        return std::string_view(p_, static_cast<std::size_t>(end_ - p_));
    }
    // Marks the first `count` bytes of unread() as read.
    void skip_unread(std::size_t count) noexcept
    {
        p_ += count;
        token_ = p_;
    }
    // Reads more of the document into unread(), which keeps its bytes (the
    // views into it end). False when there is no more or it cannot be had.
    bool read_more();
    // The namespace and local name of a name in the scope of the element
    // open now; false when its prefix is not bound there.
    bool resolve_name(std::string_view qname, bool is_attribute, Ns& ns, std::string_view& local) const
    {
        return resolve(qname, is_attribute, ns, local);
    }

    // Decoded value of an attribute or text: references replaced, line
    // ends normalised (and, in attributes, white space turned into blanks as
    // XML prescribes). False for a reference the scanner does not reproduce.
    static bool decode(std::string_view raw, bool attribute, std::string& out);

private:
    bool fill();
    bool have_token();
    bool read_start_tag();
    bool read_end_tag();
    bool read_text();
    bool bind(const Attribute& attribute);
    bool resolve(std::string_view qname, bool is_attribute, Ns& ns, std::string_view& local) const;
    bool attribute_names_distinct();
    void close_element();

    Source& source_;
    std::string buffer_;
    bool finished_ = false;
    bool broken_ = false;
    std::size_t checked_ = 0;  // bytes of buffer_ whose characters are checked
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    const char* token_ = nullptr;
    bool capturing_ = false;
    std::size_t capture_from_ = 0;  // offset into buffer_
    std::string captured_;

    struct Binding {
        std::string prefix;  // empty for the default namespace
        Ns ns;
        std::size_t depth;
    };
    std::vector<Binding> bindings_;
    std::vector<std::string> open_names_;
    std::vector<Attribute> attrs_;
    std::vector<std::string_view> declared_;  // the tag's namespace declarations
    std::vector<std::string_view> sorted_names_;  // for the checks of many attributes
    std::vector<std::pair<Ns, std::string_view>> sorted_expanded_;
    Ns ns_ = Ns::none;
    std::string_view local_;
    std::string local_store_;
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
