// The scanner's reading of a document: the pieces from its source, each
// token made whole in the buffer before it is read, the XML declaration,
// and the events in document order. Tags and text are read in
// xml_tags.cpp.
#include "xml_scanner.hpp"

#include <algorithm>
#include <cstring>

#include "xml_characters.hpp"

namespace xt::xml {

namespace {

constexpr std::string_view main_uri = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr std::string_view relationships_uri =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

// What a token is, as far as its first bytes tell.
enum class TokenKind {
    undecided,    // too few bytes yet
    text,         // up to the next '<'
    start_tag,    // up to the first '>' outside an attribute value
    end_tag,      // up to the first '>'
    instruction,  // "<?", up to "?>": only the XML declaration is read
    unread,       // "<!" (comment, CDATA, document type) or no markup at all:
                  // the scanner reads none of it, so nothing more is needed
};

TokenKind kind_of(const char* p, std::size_t have, bool finished) noexcept
{
    if (have == 0) {
        return finished ? TokenKind::unread : TokenKind::undecided;
    }
    if (*p != '<') {
        return TokenKind::text;
    }
    if (have < 2) {
        return finished ? TokenKind::unread : TokenKind::undecided;
    }
    if (p[1] == '/') {
        return TokenKind::end_tag;
    }
    if (p[1] == '?') {
        return TokenKind::instruction;
    }
    return is_name_start(static_cast<unsigned char>(p[1])) ? TokenKind::start_tag : TokenKind::unread;
}

}  // namespace

Ns namespace_of(std::string_view uri) noexcept
{
    if (uri == main_uri) {
        return Ns::main;
    }
    if (uri == relationships_uri) {
        return Ns::relationships;
    }
    return Ns::other;
}

const Attribute* find_attribute(const std::vector<Attribute>& attrs, std::string_view local) noexcept
{
    for (const Attribute& attribute : attrs) {
        if (attribute.ns == Ns::none && attribute.local == local) {
            return &attribute;
        }
    }
    return nullptr;
}

// Reads the next piece of the document: drops the bytes before the token
// being read (keeping what is captured), appends the piece and checks its
// characters up to the last whole one (at most the 3 bytes of a character
// the piece cuts wait for the next piece), all of them after the last piece.
bool Scanner::fill()
{
    if (finished_ || broken_) {
        return false;
    }
    const char* base = buffer_.data();
    const std::size_t keep_from = static_cast<std::size_t>(token_ - base);
    const std::size_t p_offset = static_cast<std::size_t>(p_ - base);
    if (capturing_) {
        captured_.append(base + capture_from_, keep_from - capture_from_);
        capture_from_ = 0;
    }
    buffer_.erase(0, keep_from);
    checked_ -= keep_from;
    if (!source_.more(buffer_, finished_)) {
        broken_ = true;
        return false;
    }
    std::size_t limit = buffer_.size();
    const auto* start = reinterpret_cast<const unsigned char*>(buffer_.data());
    if (!finished_) {
        limit = checked_ + whole_characters(start + checked_, start + limit);
    }
    if (limit > checked_) {
        if (!valid_document_chars(start + checked_, start + limit)) {
            broken_ = true;
            return false;
        }
        checked_ = limit;
    }
    base = buffer_.data();
    token_ = base;
    p_ = base + (p_offset - keep_from);
    end_ = base + checked_;
    return true;
}

// Makes sure the whole token at p_ (markup up to its end, or text up to the
// next '<') is in the buffer, reading more as needed. Each byte is searched
// once: the search goes on where it stopped after each piece, with the
// quote a start tag's attribute value is open with. False when the document
// cannot be read further or the token grows beyond max_token_bytes (the
// scan then ends as unusual); a token cut by the document's end is then
// found unusual by its reader.
bool Scanner::have_token()
{
    token_ = p_;
    TokenKind kind = TokenKind::undecided;
    std::size_t searched = 0;  // bytes of the token searched so far
    char quote = 0;
    for (;;) {
        if (broken_) {
            return false;
        }
        const auto have = static_cast<std::size_t>(end_ - p_);
        if (kind == TokenKind::undecided) {
            kind = kind_of(p_, have, finished_);
        }
        switch (kind) {
        case TokenKind::undecided:
            break;
        case TokenKind::unread:
            return true;
        case TokenKind::text:
        case TokenKind::end_tag: {
            const char stop = kind == TokenKind::text ? '<' : '>';
            if (std::memchr(p_ + searched, stop, have - searched) != nullptr) {
                return true;
            }
            searched = have;
            break;
        }
        case TokenKind::start_tag:
            for (; searched < have; ++searched) {
                const char c = p_[searched];
                if (quote != 0) {
                    if (c == quote) {
                        quote = 0;
                    }
                }
                else if (c == '"' || c == '\'') {
                    quote = c;
                }
                else if (c == '>') {
                    return true;
                }
            }
            break;
        case TokenKind::instruction:
            // "?>" after the opening "<?".
            for (searched = std::max<std::size_t>(searched, 3); searched < have; ++searched) {
                const void* found = std::memchr(p_ + searched, '>', have - searched);
                if (found == nullptr) {
                    searched = have;
                    break;
                }
                searched = static_cast<std::size_t>(static_cast<const char*>(found) - p_);
                if (p_[searched - 1] == '?') {
                    return true;
                }
            }
            break;
        }
        if (finished_) {
            return true;
        }
        if (have > max_token_bytes) {
            broken_ = true;  // left to the library, whose parser holds such tokens
            return false;
        }
        const auto offset = static_cast<std::size_t>(p_ - token_);
        if (!fill()) {
            return !broken_;
        }
        p_ = token_ + offset;
    }
}


bool Scanner::read_more()
{
    if (finished_ || broken_) {
        return false;
    }
    token_ = p_;
    return fill();
}

void Scanner::begin_capture() noexcept
{
    capturing_ = true;
    capture_from_ = static_cast<std::size_t>(token_ - buffer_.data());
    captured_.clear();
}

std::string Scanner::end_capture()
{
    const char* base = buffer_.data();
    captured_.append(base + capture_from_, static_cast<std::size_t>(p_ - (base + capture_from_)));
    capturing_ = false;
    return std::move(captured_);
}

bool Scanner::decode(std::string_view raw, bool attribute, std::string& out)
{
    out.clear();
    out.reserve(raw.size());
    const char* p = raw.data();
    const char* end = p + raw.size();
    while (p < end) {
        const char c = *p;
        if (c == '&') {
            std::uint32_t cp = 0;
            const char* next = read_reference(p, end, cp);
            if (next == nullptr) {
                return false;
            }
            append_utf8(out, cp);
            p = next;
        }
        else if (c == '\r') {
            out.push_back(attribute ? ' ' : '\n');
            ++p;
            if (p < end && *p == '\n') {
                ++p;
            }
        }
        else if (attribute && (c == '\n' || c == '\t')) {
            out.push_back(' ');
            ++p;
        }
        else {
            out.push_back(c);
            ++p;
        }
    }
    return true;
}

bool Scanner::open()
{
    p_ = end_ = token_ = buffer_.data();
    while (!finished_ && end_ - p_ < 3) {
        if (!fill()) {
            return false;
        }
    }
    if (broken_) {
        return false;
    }
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) {
        p_ += 3;
    }
    if (!have_token() || broken_) {
        return false;
    }
    if (end_ - p_ >= 6 && std::memcmp(p_, "<?xml", 5) == 0 && is_space(p_[5])) {
        p_ += 5;
        // version, then optional encoding and standalone, in this order.
        const char* const keys[] = {"version", "encoding", "standalone"};
        int next_key = 0;
        for (;;) {
            const char* before = p_;
            while (p_ < end_ && is_space(*p_)) {
                ++p_;
            }
            if (end_ - p_ >= 2 && p_[0] == '?' && p_[1] == '>') {
                p_ += 2;
                break;
            }
            if (p_ == before) {
                return false;
            }
            const char* name_end = read_name(p_, end_);
            if (name_end == nullptr) {
                return false;
            }
            const std::string_view key(p_, static_cast<std::size_t>(name_end - p_));
            int which = -1;
            for (int k = next_key; k < 3; ++k) {
                if (key == keys[k]) {
                    which = k;
                    break;
                }
            }
            if (which < 0 || (next_key == 0 && which != 0)) {
                return false;
            }
            next_key = which + 1;
            p_ = name_end;
            while (p_ < end_ && is_space(*p_)) {
                ++p_;
            }
            if (p_ >= end_ || *p_ != '=') {
                return false;
            }
            ++p_;
            while (p_ < end_ && is_space(*p_)) {
                ++p_;
            }
            if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) {
                return false;
            }
            const char quote = *p_++;
            const char* value_begin = p_;
            while (p_ < end_ && *p_ != quote) {
                ++p_;
            }
            if (p_ >= end_) {
                return false;
            }
            std::string value(value_begin, static_cast<std::size_t>(p_ - value_begin));
            ++p_;
            if (which == 0 && value != "1.0") {
                return false;
            }
            if (which == 1) {
                for (char& ch : value) {
                    if (ch >= 'a' && ch <= 'z') {
                        ch = static_cast<char>(ch - 'a' + 'A');
                    }
                }
                if (value != "UTF-8" && value != "UTF8") {
                    return false;
                }
                if (value == "UTF8") {
                    return false;  // left to the library's codec lookup
                }
            }
            if (which == 2 && value != "yes" && value != "no") {
                return false;
            }
        }
    }
    return true;
}

void Scanner::close_element()
{
    open_names_.pop_back();
    while (!bindings_.empty() && bindings_.back().depth == depth_) {
        bindings_.pop_back();
    }
    ended_ = true;
}

Scanner::Event Scanner::next()
{
    if (ended_) {
        // The element reported last has ended: its level is left now.
        ended_ = false;
        --depth_;
    }
    if (pending_end_) {
        // The end of an empty element.
        pending_end_ = false;
        close_element();
        return Event::end;
    }
    if (broken_) {
        return Event::unusual;
    }
    if (open_names_.empty()) {
        // Outside the root: white space only.
        for (;;) {
            while (p_ < end_ && is_space(*p_)) {
                ++p_;
            }
            token_ = p_;
            if (p_ < end_ || finished_) {
                break;
            }
            if (!fill()) {
                return Event::unusual;
            }
        }
        if (root_seen_) {
            return p_ == end_ && finished_ ? Event::done : Event::unusual;
        }
        if (!have_token() || end_ - p_ < 2 || *p_ != '<' || !is_name_start(static_cast<unsigned char>(p_[1]))) {
            return Event::unusual;
        }
        return read_start_tag() ? Event::start : Event::unusual;
    }
    if (!have_token() || p_ >= end_) {
        return Event::unusual;
    }
    if (*p_ != '<') {
        return read_text() ? Event::text : Event::unusual;
    }
    if (p_ + 1 >= end_) {
        return Event::unusual;
    }
    if (p_[1] == '/') {
        if (!read_end_tag()) {
            return Event::unusual;
        }
        close_element();
        return Event::end;
    }
    if (!is_name_start(static_cast<unsigned char>(p_[1]))) {
        return Event::unusual;  // comment, CDATA, declaration or instruction
    }
    return read_start_tag() ? Event::start : Event::unusual;
}

bool Scanner::skip_element()
{
    if (empty_ && pending_end_) {
        return next() == Event::end;
    }
    const std::size_t level = open_names_.size();
    for (;;) {
        const Event event = next();
        if (event == Event::unusual || event == Event::done) {
            return false;
        }
        if (event == Event::end && open_names_.size() < level) {
            return true;
        }
    }
}

}  // namespace xt::xml
