// The scanner's tags and text: a start tag with its attributes and the
// namespaces it declares, an end tag, a run of character data.
#include <algorithm>
#include <cstring>
#include <utility>

#include "xml_characters.hpp"
#include "xml_scanner.hpp"

namespace xt::xml {

namespace {

constexpr std::string_view xml_uri = "http://www.w3.org/XML/1998/namespace";

// Whether no two of `count` keys are equal: pair by pair for the few
// attributes a tag has, sorted beyond that, so that a tag of many attributes
// costs n log n comparisons and not n².
template <class Key, class KeyAt>
bool all_distinct(std::size_t count, KeyAt key_at, std::vector<Key>& scratch)
{
    constexpr std::size_t few = 8;
    if (count <= few) {
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t j = i + 1; j < count; ++j) {
                if (key_at(i) == key_at(j)) {
                    return false;
                }
            }
        }
        return true;
    }
    scratch.clear();
    for (std::size_t i = 0; i < count; ++i) {
        scratch.push_back(key_at(i));
    }
    std::sort(scratch.begin(), scratch.end());
    return std::adjacent_find(scratch.begin(), scratch.end()) == scratch.end();
}

}  // namespace

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
    if (bindings_.size() >= max_bindings) {
        return false;
    }
    bindings_.push_back({std::string(prefix), uri.empty() ? Ns::none : namespace_of(uri), depth_});
    return true;
}

// No name written twice in the tag, attribute or declaration.
bool Scanner::attribute_names_distinct()
{
    const std::size_t attributes = attrs_.size();
    return all_distinct(
        attributes + declared_.size(),
        [this, attributes](std::size_t i) { return i < attributes ? attrs_[i].qname : declared_[i - attributes]; },
        sorted_names_);
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
    if (!attribute_names_distinct()) {
        return false;
    }
    // Under prefixes, two names may still be one: the same namespace and
    // local name. Two in namespaces this scanner does not tell apart may
    // have the same URI: left to the library as well.
    if (has_prefixed_attribute &&
        !all_distinct(attrs_.size(),
                      [this](std::size_t i) { return std::make_pair(attrs_[i].ns, attrs_[i].local); },
                      sorted_expanded_)) {
        return false;
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

}  // namespace xt::xml
