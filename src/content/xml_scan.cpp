#include "content/xml_scan.h"

#include <algorithm>
#include <cstring>

namespace tw::content::xml_scan {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace"sv;

// What a byte of character data asks for: 0 nothing (plain ASCII).
enum ByteClass : unsigned char { plain, stop, allowed_control, bad_control, bracket, close, wide };

struct ByteTable {
    ByteClass of[256];
    constexpr ByteTable() : of()
    {
        for (int b = 0; b < 256; ++b)
            of[b] = b >= 0x80 ? wide : b < 0x20 ? bad_control : plain;
        of[static_cast<unsigned char>('\t')] = of[static_cast<unsigned char>('\n')] =
            of[static_cast<unsigned char>('\r')] = allowed_control;
        of[static_cast<unsigned char>('<')] = of[static_cast<unsigned char>('&')] = stop;
        of[static_cast<unsigned char>(']')] = bracket;
        of[static_cast<unsigned char>('>')] = close;
    }
};
constexpr ByteTable kBytes;

bool is_space(unsigned char b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

bool is_name_start(unsigned char b)
{
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_' || b == ':';
}

bool is_name_char(unsigned char b)
{
    return is_name_start(b) || (b >= '0' && b <= '9') || b == '-' || b == '.';
}

// Length of the UTF-8 sequence at p (of `left` bytes) when it is a valid
// XML character; 0 when invalid; -1 when it runs past the bytes given.
int sequence(const unsigned char* p, std::size_t left)
{
    unsigned char b = p[0];
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF)
        length = 2;
    else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) >= left)
            return -1;
        unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    // U+FFFE and U+FFFF are not characters of XML.
    if (length == 3 && b == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF))
        return 0;
    return length;
}

// Whole stretches (comments, instructions, sections, attribute values):
// only characters XML allows, as valid UTF-8.
bool valid_characters(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = p + bytes.size();
    while (p < end) {
        ByteClass kind = kBytes.of[*p];
        if (kind == bad_control)
            return false;
        if (kind != wide) {
            ++p;
            continue;
        }
        int length = sequence(p, static_cast<std::size_t>(end - p));
        if (length <= 0)
            return false;
        p += length;
    }
    return true;
}

void append_utf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool is_xml_character(std::uint32_t code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// The text a reference stands for (the name between "&" and ";"), appended
// to `out`; false for a name that is not one of XML's own or a character
// reference to a character XML allows.
bool decode_reference(std::string_view name, std::string& out)
{
    if (name == "lt"sv)
        out += '<';
    else if (name == "gt"sv)
        out += '>';
    else if (name == "amp"sv)
        out += '&';
    else if (name == "quot"sv)
        out += '"';
    else if (name == "apos"sv)
        out += '\'';
    else if (name.size() >= 2 && name[0] == '#') {
        bool hex = name[1] == 'x';
        std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8)
            return false;
        std::uint32_t code = 0;
        for (char c : digits) {
            int digit = (c >= '0' && c <= '9')            ? c - '0'
                        : hex && (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : hex && (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                        : -1;
            if (digit < 0)
                return false;
            code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
        }
        if (!is_xml_character(code))
            return false;
        append_utf8(out, code);
    } else {
        return false;
    }
    return true;
}

// An attribute value as the parser gives it: references replaced, line
// ends and other white space read as spaces. False when it is not one.
bool decode_value(std::string_view raw, std::string& out)
{
    if (raw.find('<') != std::string_view::npos || !valid_characters(raw))
        return false;
    out.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '&') {
            std::size_t end = raw.find(';', i + 1);
            if (end == std::string_view::npos || !decode_reference(raw.substr(i + 1, end - i - 1), out))
                return false;
            i = end;
        } else if (c == '\r') {
            out += ' ';
            if (i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
        } else {
            out += (c == '\t' || c == '\n') ? ' ' : c;
        }
    }
    return true;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// Splits "prefix:local"; false for a name namespaces do not allow.
bool split_name(std::string_view qname, std::string_view& prefix, std::string_view& local)
{
    std::size_t colon = qname.find(':');
    if (colon == std::string_view::npos) {
        prefix = {};
        local = qname;
        return !local.empty();
    }
    prefix = qname.substr(0, colon);
    local = qname.substr(colon + 1);
    return !prefix.empty() && !local.empty() && local.find(':') == std::string_view::npos &&
           !(local[0] >= '0' && local[0] <= '9') && local[0] != '-' && local[0] != '.';
}

// The XML declaration's pseudo-attributes: version 1.0, and, if given,
// the encoding UTF-8 and a standalone yes or no, in that order.
bool sound_declaration(std::string_view body)
{
    std::size_t at = 0;
    auto skip_space = [&] {
        std::size_t from = at;
        while (at < body.size() && is_space(static_cast<unsigned char>(body[at])))
            ++at;
        return at > from;
    };
    auto pseudo = [&](std::string_view name, std::string_view& value) {
        std::size_t from = at;
        if (body.substr(at, name.size()) != name) {
            at = from;
            return false;
        }
        at += name.size();
        skip_space();
        if (at >= body.size() || body[at] != '=')
            return at = from, false;
        ++at;
        skip_space();
        if (at >= body.size() || (body[at] != '"' && body[at] != '\''))
            return at = from, false;
        char quote = body[at++];
        std::size_t end = body.find(quote, at);
        if (end == std::string_view::npos)
            return at = from, false;
        value = body.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string_view value;
    if (!skip_space() || !pseudo("version"sv, value) || value != "1.0"sv)
        return false;
    bool spaced = skip_space();
    if (spaced && pseudo("encoding"sv, value)) {
        if (!equal_ignoring_case(value, "utf-8"sv) && !equal_ignoring_case(value, "utf8"sv))
            return false;
        spaced = skip_space();
    }
    if (spaced && pseudo("standalone"sv, value)) {
        if (value != "yes"sv && value != "no"sv)
            return false;
        skip_space();
    }
    return at == body.size();
}

}  // namespace

Needles::Needles(const std::vector<std::string>& needles)
{
    for (const std::string& needle : needles) {
        std::size_t length = std::min(needle.size(), max_length);
        std::array<std::uint64_t, 256> masks{};
        for (std::size_t i = 0; i < length; ++i)
            masks[static_cast<unsigned char>(needle[i])] |= std::uint64_t{1} << i;
        masks_.push_back(masks);
        last_.push_back(length ? std::uint64_t{1} << (length - 1) : 0);
    }
}

Reader::Reader(const Needles& needles, std::vector<char>& found, Hooks* hooks)
    : needles_(needles), found_(found), hooks_(hooks), state_(needles.size(), 0),
      carried_(needles.size(), 0)
{
    found_.resize(needles.size(), 0);
}

bool Reader::fail()
{
    failed_ = true;
    buffer_.clear();
    at_ = 0;
    return false;
}

bool Reader::feed(std::string_view bytes)
{
    if (failed_)
        return false;
    buffer_.append(bytes);
    for (;;) {
        Step next = step(false);
        if (next == Step::bad)
            return fail();
        if (next == Step::more)
            break;
    }
    if (at_ > 0 && at_ * 2 >= buffer_.size()) {
        buffer_.erase(0, at_);
        offset_ += at_;
        at_ = 0;
    }
    return true;
}

bool Reader::finish()
{
    if (failed_)
        return false;
    while (at_ < buffer_.size() || !started_) {
        Step next = step(true);
        if (next == Step::bad)
            return fail();
        if (next == Step::more)
            break;
    }
    if (at_ < buffer_.size() || !open_.empty() || !root_seen_)
        return fail();
    return true;
}

Reader::Step Reader::step(bool final)
{
    if (!started_) {
        // UTF-8, with or without its byte order mark; any other encoding
        // (UTF-16 has a mark of its own) is not read here.
        if (buffer_.size() < 3 && !final)
            return Step::more;
        std::string_view head(buffer_.data(), std::min<std::size_t>(buffer_.size(), 3));
        if (head.substr(0, 2) == "\xFE\xFF"sv || head.substr(0, 2) == "\xFF\xFE"sv)
            return Step::bad;
        if (head == "\xEF\xBB\xBF"sv)
            at_ = body_start_ = 3;
        started_ = true;
        return Step::done;
    }
    if (at_ >= buffer_.size())
        return Step::more;
    char c = buffer_[at_];
    if (c == '<')
        return markup(final);
    if (c == '&')
        return reference(final);
    return text(final);
}

Reader::Step Reader::text(bool final)
{
    const auto* data = reinterpret_cast<const unsigned char*>(buffer_.data());
    const unsigned char* start = data + at_;
    const unsigned char* end = data + buffer_.size();
    const unsigned char* p = start;
    while (p < end) {
        while (p < end && kBytes.of[*p] == plain)
            ++p;
        if (p == end)
            break;
        ByteClass kind = kBytes.of[*p];
        if (kind == stop)
            break;
        if (kind == bad_control)
            return Step::bad;
        if (kind == close) {
            char before = p - start >= 2 ? static_cast<char>(p[-2]) : p - start == 1 ? last_[1] : last_[0];
            char just_before = p - start >= 1 ? static_cast<char>(p[-1]) : last_[1];
            if (before == ']' && just_before == ']')
                return Step::bad;  // "]]>" may not stand in character data
        }
        if (kind != wide) {
            ++p;
            continue;
        }
        int length = sequence(p, static_cast<std::size_t>(end - p));
        if (length == 0 || (length < 0 && final))
            return Step::bad;
        if (length < 0)
            break;  // the rest of the character comes with the next bytes
        p += length;
    }
    if (p == start)
        return final ? Step::bad : Step::more;
    std::string_view bytes(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
    if (bytes.size() >= 2) {
        last_[0] = bytes[bytes.size() - 2];
        last_[1] = bytes.back();
    } else {
        last_[0] = last_[1];
        last_[1] = bytes[0];
    }
    if (open_.empty()) {
        // Outside the root element only white space may stand.
        if (!std::all_of(bytes.begin(), bytes.end(), [](char b) { return is_space(static_cast<unsigned char>(b)); }))
            return Step::bad;
    } else if (open_.back().text) {
        text_bytes(bytes);
    }
    at_ += bytes.size();
    return Step::done;
}

Reader::Step Reader::reference(bool final)
{
    std::size_t limit = std::min(buffer_.size(), at_ + 16);
    std::size_t end = buffer_.find(';', at_ + 1);
    if (end == std::string::npos || end >= limit)
        return (!final && buffer_.size() < at_ + 16) ? Step::more : Step::bad;
    if (open_.empty())
        return Step::bad;
    std::string decoded;
    if (!decode_reference(std::string_view(buffer_).substr(at_ + 1, end - at_ - 1), decoded))
        return Step::bad;
    last_[0] = last_[1] = 0;
    if (open_.back().text)
        text_bytes(decoded);
    at_ = end + 1;
    return Step::done;
}

Reader::Step Reader::markup(bool final)
{
    std::string_view rest = std::string_view(buffer_).substr(at_);
    if (rest.size() < 2)
        return final ? Step::bad : Step::more;
    last_[0] = last_[1] = 0;
    if (rest[1] == '/')
        return end_tag(final);
    if (rest[1] == '?') {
        std::size_t end = rest.find("?>"sv, 2);
        if (end == std::string_view::npos)
            return final ? Step::bad : Step::more;
        return declaration_or_instruction(at_ + end);
    }
    if (rest[1] != '!')
        return start_tag(final);
    auto could_become = [&](std::string_view whole) {
        return rest.size() < whole.size() && whole.substr(0, rest.size()) == rest;
    };
    if (could_become("<!--"sv) || could_become("<![CDATA["sv))
        return final ? Step::bad : Step::more;
    if (rest.substr(0, 4) == "<!--"sv) {
        std::size_t end = rest.find("-->"sv, 4);
        if (end == std::string_view::npos)
            return final ? Step::bad : Step::more;
        // "--" may not stand inside a comment, nor may "--->" end one.
        if (rest.find("--"sv, 4) != end || !valid_characters(rest.substr(4, end - 4)))
            return Step::bad;
        if (!open_.empty() && open_.back().text)
            end_piece();  // the libraries read a text element's text up to its first child node
        at_ += end + 3;
        return Step::done;
    }
    if (rest.substr(0, 9) == "<![CDATA["sv) {
        std::size_t end = rest.find("]]>"sv, 9);
        if (end == std::string_view::npos)
            return final ? Step::bad : Step::more;
        std::string_view content = rest.substr(9, end - 9);
        if (open_.empty() || !valid_characters(content))
            return Step::bad;
        if (open_.back().text)
            text_bytes(content);
        at_ += end + 3;
        return Step::done;
    }
    return Step::bad;  // a document type, or no markup XML knows
}

Reader::Step Reader::declaration_or_instruction(std::size_t end)
{
    std::string_view body = std::string_view(buffer_).substr(at_ + 2, end - at_ - 2);
    std::size_t length = 0;
    if (body.empty() || !is_name_start(static_cast<unsigned char>(body[0])) || body[0] == ':')
        return Step::bad;
    while (length < body.size() && is_name_char(static_cast<unsigned char>(body[length])))
        ++length;
    std::string_view target = body.substr(0, length);
    std::string_view rest = body.substr(length);
    if (equal_ignoring_case(target, "xml"sv)) {
        if (target != "xml"sv || offset_ + at_ != body_start_ || !sound_declaration(rest))
            return Step::bad;
    } else {
        if (!rest.empty() && !is_space(static_cast<unsigned char>(rest[0])))
            return Step::bad;
        if (!valid_characters(rest))
            return Step::bad;
        if (!open_.empty() && open_.back().text)
            end_piece();
    }
    at_ = end + 2;
    return Step::done;
}

Reader::Step Reader::start_tag(bool final)
{
    std::string_view rest = std::string_view(buffer_).substr(at_);
    std::size_t at = 1;
    auto more = [&] { return final ? Step::bad : Step::more; };
    auto name = [&](std::string_view& out) {
        std::size_t from = at;
        if (at >= rest.size() || !is_name_start(static_cast<unsigned char>(rest[at])))
            return false;
        while (at < rest.size() && is_name_char(static_cast<unsigned char>(rest[at])))
            ++at;
        out = rest.substr(from, at - from);
        return true;
    };
    std::string_view qname;
    if (!name(qname))
        return at >= rest.size() ? more() : Step::bad;
    std::vector<std::pair<std::string_view, std::string>> attributes;
    for (;;) {
        std::size_t before = at;
        while (at < rest.size() && is_space(static_cast<unsigned char>(rest[at])))
            ++at;
        if (at >= rest.size())
            return more();
        bool spaced = at > before;
        if (rest[at] == '>' || rest[at] == '/') {
            bool empty = rest[at] == '/';
            if (empty && at + 1 >= rest.size())
                return more();
            if (empty && rest[at + 1] != '>')
                return Step::bad;
            at += empty ? 2 : 1;
            std::string_view tag_qname = qname;
            at_ += at;
            return open_element(tag_qname, attributes, empty) ? Step::done : Step::bad;
        }
        std::string_view attribute;
        if (!spaced || !name(attribute))
            return at >= rest.size() ? more() : Step::bad;
        while (at < rest.size() && is_space(static_cast<unsigned char>(rest[at])))
            ++at;
        if (at >= rest.size())
            return more();
        if (rest[at] != '=')
            return Step::bad;
        ++at;
        while (at < rest.size() && is_space(static_cast<unsigned char>(rest[at])))
            ++at;
        if (at >= rest.size())
            return more();
        char quote = rest[at];
        if (quote != '"' && quote != '\'')
            return Step::bad;
        std::size_t close = rest.find(quote, at + 1);
        if (close == std::string_view::npos)
            return more();
        std::string value;
        if (!decode_value(rest.substr(at + 1, close - at - 1), value))
            return Step::bad;
        attributes.emplace_back(attribute, std::move(value));
        at = close + 1;
    }
}

Reader::Step Reader::end_tag(bool final)
{
    std::string_view rest = std::string_view(buffer_).substr(at_);
    std::size_t close = rest.find('>');
    if (close == std::string_view::npos)
        return final ? Step::bad : Step::more;
    std::string_view inside = rest.substr(2, close - 2);
    std::size_t length = inside.size();
    while (length > 0 && is_space(static_cast<unsigned char>(inside[length - 1])))
        --length;
    if (open_.empty() || inside.substr(0, length) != open_.back().qname)
        return Step::bad;
    at_ += close + 1;
    return close_element() ? Step::done : Step::bad;
}

bool Reader::resolve(std::string_view prefix, std::string_view& uri) const
{
    if (prefix == "xml"sv) {
        uri = kXmlNamespace;
        return true;
    }
    for (auto binding = bindings_.rbegin(); binding != bindings_.rend(); ++binding)
        if (binding->prefix == prefix) {
            uri = binding->uri;
            return true;
        }
    uri = {};
    return prefix.empty();  // no default namespace: none
}

bool Reader::open_element(std::string_view qname,
                          std::vector<std::pair<std::string_view, std::string>>& raw, bool empty)
{
    if (open_.empty() && root_seen_)
        return false;  // a second root element
    if (!open_.empty() && open_.back().text)
        end_piece();
    std::size_t before = bindings_.size();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        std::string_view name = raw[i].first;
        for (std::size_t j = 0; j < i; ++j)
            if (raw[j].first == name)
                return false;  // an attribute given twice
        if (name == "xmlns"sv) {
            bindings_.push_back({std::string(), raw[i].second});
        } else if (name.substr(0, 6) == "xmlns:"sv) {
            std::string_view prefix = name.substr(6);
            if (prefix.empty() || prefix.find(':') != std::string_view::npos || prefix == "xml"sv ||
                prefix == "xmlns"sv || raw[i].second.empty())
                return false;
            bindings_.push_back({std::string(prefix), raw[i].second});
        }
    }
    std::string_view prefix, local, uri;
    if (!split_name(qname, prefix, local) || !resolve(prefix, uri))
        return false;
    std::vector<Attribute> attributes;
    attributes.reserve(raw.size());
    for (auto& [name, value] : raw) {
        if (name == "xmlns"sv || name.substr(0, 6) == "xmlns:"sv)
            continue;
        std::string_view attribute_prefix, attribute_local, attribute_uri;
        if (!split_name(name, attribute_prefix, attribute_local) ||
            (!attribute_prefix.empty() && !resolve(attribute_prefix, attribute_uri)))
            return false;
        for (const Attribute& earlier : attributes)
            if (earlier.local == attribute_local && earlier.uri == attribute_uri)
                return false;  // the same name in the same namespace twice
        attributes.push_back({attribute_uri, attribute_local, std::move(value)});
    }
    if (hooks_ && !hooks_->element(open_.size(), uri, local, attributes))
        return false;
    root_seen_ = true;
    bool paragraph = local == "p"sv;
    if (paragraph) {
        saved_.insert(saved_.end(), carried_.begin(), carried_.end());
        std::fill(carried_.begin(), carried_.end(), 0);
    }
    open_.push_back({std::string(qname), before, local == "t"sv, paragraph});
    return empty ? close_element() : true;
}

bool Reader::close_element()
{
    Open& top = open_.back();
    if (top.text)
        end_piece();
    if (top.paragraph) {
        std::size_t count = carried_.size();
        std::copy(saved_.end() - static_cast<std::ptrdiff_t>(count), saved_.end(), carried_.begin());
        saved_.resize(saved_.size() - count);
    }
    bindings_.resize(top.bindings);
    open_.pop_back();
    return true;
}

void Reader::text_bytes(std::string_view bytes)
{
    if (!in_piece_) {
        state_ = carried_;
        in_piece_ = true;
    }
    for (std::size_t i = 0; i < state_.size(); ++i) {
        const auto& masks = needles_.masks_[i];
        std::uint64_t last = needles_.last_[i];
        std::uint64_t state = state_[i];
        bool hit = false;
        for (char byte : bytes) {
            state = ((state << 1) | 1) & masks[static_cast<unsigned char>(byte)];
            hit |= (state & last) != 0;
        }
        state_[i] = state;
        if (hit)
            found_[i] = 1;
    }
}

void Reader::end_piece()
{
    if (!in_piece_)
        return;
    for (std::size_t i = 0; i < carried_.size(); ++i)
        carried_[i] |= state_[i];
    in_piece_ = false;
}

}  // namespace tw::content::xml_scan
