#include "xml_scanner.hpp"

#include <algorithm>
#include <cstring>

namespace xt::xml {

namespace {

constexpr std::string_view main_uri = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr std::string_view relationships_uri =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr std::string_view xml_uri = "http://www.w3.org/XML/1998/namespace";

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

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

// Reads the reference starting at p (which points at '&'); on success sets
// `cp` to the character it stands for and returns the position after ';'.
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

// Reads a name (prefix:local allowed) at p; returns the end or null.
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

bool WholeSource::more(std::string& buffer, bool& finished)
{
    buffer.append(data_, size_);
    size_ = 0;
    finished = true;
    return true;
}

// Reads the next piece of the document: drops the bytes before the token
// being read (keeping what is captured), appends the piece and checks its
// characters up to its last ASCII byte (no character of the document is cut
// there), all of them after the last piece.
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
    if (!finished_) {
        while (limit > checked_ && static_cast<unsigned char>(buffer_[limit - 1]) >= 0x80) {
            --limit;
        }
    }
    if (limit > checked_) {
        const auto* start = reinterpret_cast<const unsigned char*>(buffer_.data());
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

// Makes sure the whole token at p_ (markup up to its '>', or text up to the
// next '<') is in the buffer, reading more as needed. False only when the
// document cannot be read further; a token cut by the document's end is
// then found unusual by its reader.
bool Scanner::have_token()
{
    token_ = p_;
    std::size_t scanned = 0;
    for (;;) {
        if (broken_) {
            return false;
        }
        if (p_ < end_) {
            if (*p_ == '<') {
                char quote = 0;
                for (const char* q = p_ + scanned; q < end_; ++q) {
                    const char c = *q;
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
                scanned = 0;  // quotes are tracked from the start again
            }
            else {
                const std::size_t from = std::min(scanned, static_cast<std::size_t>(end_ - p_));
                if (std::memchr(p_ + from, '<', static_cast<std::size_t>(end_ - p_) - from) != nullptr) {
                    return true;
                }
                scanned = static_cast<std::size_t>(end_ - p_);
            }
        }
        if (finished_) {
            return true;
        }
        const std::size_t offset = static_cast<std::size_t>(p_ - token_);
        if (!fill()) {
            return !broken_;
        }
        p_ = token_ + offset;
    }
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

bool Scanner::resolve(std::string_view qname, bool is_attribute, Ns& ns, std::string_view& local) const
{
    const std::size_t colon = qname.find(':');
    std::string_view prefix;
    if (colon == std::string_view::npos) {
        local = qname;
        if (is_attribute) {
            ns = Ns::none;
            return true;
        }
    }
    else {
        prefix = qname.substr(0, colon);
        local = qname.substr(colon + 1);
        if (prefix == "xml") {
            ns = Ns::xml;
            return true;
        }
    }
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        // Empty prefixes are told apart by size alone: libc++ compares even
        // empty views through memcmp, and the null pointer of an empty view
        // makes that call cost some 30 ns on CPUs whose memcmp loads masked.
        if (it->prefix.size() == prefix.size() && (prefix.empty() || it->prefix == prefix)) {
            ns = it->ns;
            return true;
        }
    }
    if (prefix.empty()) {
        ns = Ns::none;
        return true;
    }
    return false;  // an unbound prefix
}

bool Scanner::bind(const Attribute& attribute)
{
    std::string_view prefix;
    if (attribute.qname.size() > 5) {
        prefix = attribute.qname.substr(6);
        if (prefix.size() >= 3 && (prefix[0] | 0x20) == 'x' && (prefix[1] | 0x20) == 'm' &&
            (prefix[2] | 0x20) == 'l') {
            return false;  // the reserved prefixes are left to the library
        }
    }
    std::string_view uri = attribute.raw;
    if (!attribute.plain) {
        if (!decode(attribute.raw, true, scratch_)) {
            return false;
        }
        uri = scratch_;
    }
    if (uri.empty() && !prefix.empty()) {
        return false;
    }
    if (uri == xml_uri || uri == "http://www.w3.org/2000/xmlns/") {
        return false;
    }
    bindings_.push_back({std::string(prefix), uri.empty() ? Ns::none : namespace_of(uri), depth_});
    return true;
}

bool Scanner::read_start_tag()
{
    token_ = p_;
    const char* name_begin = p_ + 1;
    const char* name_end = read_name(name_begin, end_);
    if (name_end == nullptr) {
        return false;
    }
    const std::string_view qname(name_begin, static_cast<std::size_t>(name_end - name_begin));
    p_ = name_end;
    attrs_.clear();
    declared_.clear();
    ++depth_;
    bool has_prefixed_attribute = false;
    for (;;) {
        const char* before = p_;
        while (p_ < end_ && is_space(*p_)) {
            ++p_;
        }
        if (p_ >= end_) {
            return false;
        }
        if (*p_ == '>') {
            ++p_;
            empty_ = false;
            break;
        }
        if (*p_ == '/') {
            if (p_ + 1 >= end_ || p_[1] != '>') {
                return false;
            }
            p_ += 2;
            empty_ = true;
            break;
        }
        if (p_ == before) {
            return false;  // attributes must be separated by white space
        }
        const char* attr_end = read_name(p_, end_);
        if (attr_end == nullptr) {
            return false;
        }
        Attribute attribute;
        attribute.qname = std::string_view(p_, static_cast<std::size_t>(attr_end - p_));
        p_ = attr_end;
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
        bool plain = true;
        while (p_ < end_ && *p_ != quote) {
            const char c = *p_;
            if (c == '<') {
                return false;
            }
            if (c == '&') {
                std::uint32_t cp = 0;
                const char* next = read_reference(p_, end_, cp);
                if (next == nullptr) {
                    return false;
                }
                plain = false;
                p_ = next;
                continue;
            }
            if (c == '\t' || c == '\n' || c == '\r') {
                plain = false;
            }
            ++p_;
        }
        if (p_ >= end_) {
            return false;
        }
        attribute.raw = std::string_view(value_begin, static_cast<std::size_t>(p_ - value_begin));
        attribute.plain = plain;
        ++p_;
        for (const Attribute& earlier : attrs_) {
            if (earlier.qname == attribute.qname) {
                return false;
            }
        }
        for (std::string_view earlier : declared_) {
            if (earlier == attribute.qname) {
                return false;
            }
        }
        if (attribute.qname.size() >= 5 && attribute.qname.substr(0, 5) == "xmlns" &&
            (attribute.qname.size() == 5 || attribute.qname[5] == ':')) {
            if (!bind(attribute)) {
                return false;
            }
            declared_.push_back(attribute.qname);
            continue;  // declarations are no attributes of the element
        }
        if (attribute.qname.find(':') != std::string_view::npos) {
            has_prefixed_attribute = true;
        }
        attrs_.push_back(attribute);
    }
    if (!resolve(qname, false, ns_, local_)) {
        return false;
    }
    for (Attribute& attribute : attrs_) {
        if (!resolve(attribute.qname, true, attribute.ns, attribute.local)) {
            return false;
        }
    }
    if (has_prefixed_attribute) {
        for (std::size_t i = 0; i < attrs_.size(); ++i) {
            for (std::size_t j = i + 1; j < attrs_.size(); ++j) {
                if (attrs_[i].ns == attrs_[j].ns && attrs_[i].ns != Ns::other &&
                    attrs_[i].local == attrs_[j].local) {
                    return false;
                }
                if (attrs_[i].ns == Ns::other && attrs_[j].ns == Ns::other &&
                    attrs_[i].local == attrs_[j].local) {
                    return false;  // perhaps the same URI: left to the library
                }
            }
        }
    }
    open_names_.emplace_back(qname);
    root_seen_ = true;
    pending_end_ = empty_;
    return true;
}

bool Scanner::read_end_tag()
{
    token_ = p_;
    const char* name_begin = p_ + 2;
    const char* name_end = read_name(name_begin, end_);
    if (name_end == nullptr || open_names_.empty()) {
        return false;
    }
    const std::string_view qname(name_begin, static_cast<std::size_t>(name_end - name_begin));
    if (qname != open_names_.back()) {
        return false;
    }
    p_ = name_end;
    while (p_ < end_ && is_space(*p_)) {
        ++p_;
    }
    if (p_ >= end_ || *p_ != '>') {
        return false;
    }
    ++p_;
    if (!resolve(qname, false, ns_, local_)) {
        return false;
    }
    return true;
}

bool Scanner::read_text()
{
    token_ = p_;
    bool plain = true;
    const char* q = p_;
    for (;;) {
        const void* found = std::memchr(q, '<', static_cast<std::size_t>(end_ - q));
        const char* stop = found ? static_cast<const char*>(found) : end_;
        // Look for what needs care within the run.
        for (const char* r = q; r < stop; ++r) {
            const char c = *r;
            if (c == '&') {
                std::uint32_t cp = 0;
                const char* next = read_reference(r, stop, cp);
                if (next == nullptr) {
                    return false;
                }
                plain = false;
                r = next - 1;
            }
            else if (c == '\r') {
                plain = false;
            }
            else if (c == ']' && stop - r >= 3 && r[1] == ']' && r[2] == '>') {
                return false;
            }
        }
        if (found == nullptr) {
            return false;  // text after the last tag
        }
        p_ = stop;
        break;
    }
    text_ = std::string_view(token_, static_cast<std::size_t>(p_ - token_));
    text_plain_ = plain;
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
