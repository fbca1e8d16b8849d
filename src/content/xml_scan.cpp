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

struct SpaceTable {
    bool of[256];
    constexpr SpaceTable() : of()
    {
        of[static_cast<unsigned char>(' ')] = of[static_cast<unsigned char>('\t')] =
            of[static_cast<unsigned char>('\n')] = of[static_cast<unsigned char>('\r')] = true;
    }
};
constexpr SpaceTable kSpaces;

inline bool is_space(unsigned char b) { return kSpaces.of[b]; }

// Names are read in ASCII only: 2 may start a name, 1 only continue one;
// 3 is the colon.
struct NameTable {
    unsigned char of[256];
    constexpr NameTable() : of()
    {
        for (int b = 'a'; b <= 'z'; ++b)
            of[b] = of[b - 32] = 2;
        of[static_cast<unsigned char>('_')] = 2;
        of[static_cast<unsigned char>(':')] = 3;
        for (int b = '0'; b <= '9'; ++b)
            of[b] = 1;
        of[static_cast<unsigned char>('-')] = of[static_cast<unsigned char>('.')] = 1;
    }
};
constexpr NameTable kNames;

// Bytes that go on a name without a closer look: all but the colon.
struct NameBodyTable {
    bool of[256];
    constexpr NameBodyTable() : of()
    {
        for (int b = 0; b < 256; ++b)
            of[b] = kNames.of[b] == 1 || kNames.of[b] == 2;
    }
};
constexpr NameBodyTable kNameBody;

bool is_name_start(unsigned char b) { return kNames.of[b] >= 2; }
bool is_name_char(unsigned char b) { return kNames.of[b] != 0; }

// The first byte from p on that `table` does not pass, or end; eight bytes
// at a time where it can, since names and values are mostly long runs.
const char* skip_passing(const char* p, const char* end, const bool (&table)[256])
{
    auto passes = [&](const char* at) { return table[static_cast<unsigned char>(*at)]; };
    while (end - p >= 4 && (passes(p) & passes(p + 1) & passes(p + 2) & passes(p + 3)))
        p += 4;
    while (p < end && passes(p))
        ++p;
    return p;
}

// A name at p: its end, or null when none starts there. `colon` gets the
// offset of its first ":" (npos for none); `colons` how many it has.
const char* read_name(const char* p, const char* end, std::size_t& colon, int& colons)
{
    const char* start = p;
    if (p >= end || kNames.of[static_cast<unsigned char>(*p)] < 2)
        return nullptr;
    colon = std::string_view::npos;
    colons = 0;
    for (;;) {
        p = skip_passing(p, end, kNameBody.of);
        if (p >= end || *p != ':')
            return p;
        if (colons++ == 0)
            colon = static_cast<std::size_t>(p - start);
        ++p;
    }
}

// Bytes an attribute value may hold without a closer look: not its
// quotes, "&", "<", control characters (but tab and line ends), or
// anything outside ASCII.
struct ValueTable {
    bool plain[256];
    constexpr ValueTable() : plain()
    {
        for (int b = 0x20; b < 0x80; ++b)
            plain[b] = b != '"' && b != '\'' && b != '&' && b != '<';
        plain[static_cast<unsigned char>('\t')] = plain[static_cast<unsigned char>('\n')] =
            plain[static_cast<unsigned char>('\r')] = true;
    }
};
constexpr ValueTable kValues;

inline bool same(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && (a.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0));
}

// Splits a name read by read_name; false for one namespaces do not allow.
inline bool split_read_name(std::string_view qname, std::size_t colon, int colons, std::string_view& prefix,
                     std::string_view& local)
{
    if (colons == 0) {
        prefix = {};
        local = qname;
        return true;
    }
    prefix = qname.substr(0, colon);
    local = qname.substr(colon + 1);
    return colons == 1 && !prefix.empty() && !local.empty() && kNames.of[static_cast<unsigned char>(local[0])] == 2;
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

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
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

// References replaced, line ends and other white space read as spaces.
std::string Attribute::value() const
{
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '&') {
            std::size_t end = raw.find(';', i + 1);
            decode_reference(raw.substr(i + 1, end - i - 1), out);
            i = end;
        } else if (c == '\r') {
            out += ' ';
            if (i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
        } else {
            out += (c == '\t' || c == '\n') ? ' ' : c;
        }
    }
    return out;
}

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
    : needles_(needles), found_(found), hooks_(hooks), wants_elements_(hooks && hooks->wants_elements()),
      state_(needles.size(), 0), carried_(needles.size(), 0)
{
    found_.resize(needles.size(), 0);
}

// The binding of `prefix` in force ("xml" is always bound), or null: for
// no prefix, no default namespace; otherwise an undeclared prefix.
const Reader::Binding* Reader::resolve(std::string_view prefix) const
{
    static const Binding xml{"xml", std::string(kXmlNamespace), false};
    if (same(prefix, "xml"sv))
        return &xml;
    for (auto binding = bindings_.rbegin(); binding != bindings_.rend(); ++binding)
        if (same(binding->prefix, prefix))
            return &*binding;
    return nullptr;
}

// resolve, remembering the last answer while the bindings stay the same:
// most elements and attributes of a part share one or two prefixes.
const Reader::Binding* Reader::lookup(std::string_view prefix)
{
    if (cached_ && same(prefix, cached_prefix_))
        return cached_;
    const Binding* found = resolve(prefix);
    if (found) {
        cached_prefix_.assign(prefix);
        cached_ = found;
    }
    return found;
}

bool Reader::fail()
{
    failed_ = true;
    buffer_.clear();
    view_ = {};
    at_ = 0;
    return false;
}

// The bytes are read where they are when nothing is left over from before;
// only what a token cut at their end leaves is kept for the next ones.
bool Reader::feed(std::string_view bytes)
{
    if (failed_)
        return false;
    if (buffer_.empty()) {
        view_ = bytes;
    } else {
        buffer_.append(bytes);
        view_ = buffer_;
    }
    at_ = 0;
    for (;;) {
        Step next = step(false);
        if (next == Step::bad)
            return fail();
        if (next == Step::more)
            break;
    }
    offset_ += at_;
    if (view_.data() == buffer_.data())
        buffer_.erase(0, at_);
    else
        buffer_.assign(view_.substr(at_));
    view_ = buffer_;
    at_ = 0;
    return true;
}

bool Reader::finish()
{
    if (failed_)
        return false;
    view_ = buffer_;
    at_ = 0;
    while (at_ < view_.size() || !started_) {
        Step next = step(true);
        if (next == Step::bad)
            return fail();
        if (next == Step::more)
            break;
    }
    if (at_ < view_.size() || !open_.empty() || !root_seen_)
        return fail();
    return true;
}

Reader::Step Reader::step(bool final)
{
    if (!started_) {
        // UTF-8, with or without its byte order mark; any other encoding
        // (UTF-16 has a mark of its own) is not read here.
        if (view_.size() < 3 && !final)
            return Step::more;
        std::string_view head(view_.data(), std::min<std::size_t>(view_.size(), 3));
        if (head.substr(0, 2) == "\xFE\xFF"sv || head.substr(0, 2) == "\xFF\xFE"sv)
            return Step::bad;
        if (head == "\xEF\xBB\xBF"sv)
            at_ = body_start_ = 3;
        started_ = true;
        return Step::done;
    }
    if (at_ >= view_.size())
        return Step::more;
    char c = view_[at_];
    if (c == '<')
        return markup(final);
    if (c == '&')
        return reference(final);
    return text(final);
}

Reader::Step Reader::text(bool final)
{
    const auto* data = reinterpret_cast<const unsigned char*>(view_.data());
    const unsigned char* start = data + at_;
    const unsigned char* end = data + view_.size();
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
    std::size_t limit = std::min(view_.size(), at_ + 16);
    std::size_t end = view_.find(';', at_ + 1);
    if (end == std::string::npos || end >= limit)
        return (!final && view_.size() < at_ + 16) ? Step::more : Step::bad;
    if (open_.empty())
        return Step::bad;
    std::string decoded;
    if (!decode_reference(view_.substr(at_ + 1, end - at_ - 1), decoded))
        return Step::bad;
    last_[0] = last_[1] = 0;
    if (open_.back().text)
        text_bytes(decoded);
    at_ = end + 1;
    return Step::done;
}

Reader::Step Reader::markup(bool final)
{
    std::string_view rest = view_.substr(at_);
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
    std::string_view body = view_.substr(at_ + 2, end - at_ - 2);
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
    const char* begin = view_.data() + at_;
    const char* end = view_.data() + view_.size();
    Step more = final ? Step::bad : Step::more;
    std::size_t colon = 0;
    int colons = 0;
    const char* p = read_name(begin + 1, end, colon, colons);
    if (!p)
        return begin + 1 >= end ? more : Step::bad;
    if (p >= end)
        return more;
    Tag tag{std::string_view(begin + 1, static_cast<std::size_t>(p - begin - 1)), colon, colons};
    raw_.clear();
    declarations_ = false;
    for (;;) {
        const char* before = p;
        while (p < end && is_space(static_cast<unsigned char>(*p)))
            ++p;
        if (p >= end)
            return more;
        char c = *p;
        if (c == '>' || c == '/') {
            bool empty = c == '/';
            if (empty && p + 1 >= end)
                return more;
            if (empty && p[1] != '>')
                return Step::bad;
            at_ = static_cast<std::size_t>(p + (empty ? 2 : 1) - view_.data());
            return open_element(tag, empty) ? Step::done : Step::bad;
        }
        if (p == before)
            return Step::bad;  // attributes are set apart by white space
        RawAttribute attribute;
        const char* name_end = read_name(p, end, attribute.colon, attribute.colons);
        if (!name_end)
            return Step::bad;
        attribute.name = std::string_view(p, static_cast<std::size_t>(name_end - p));
        attribute.declaration = *p == 'x' && attribute.name.size() >= 5 && attribute.name.substr(0, 5) == "xmlns"sv &&
                                (attribute.name.size() == 5 || attribute.name[5] == ':');
        declarations_ |= attribute.declaration;
        p = name_end;
        while (p < end && is_space(static_cast<unsigned char>(*p)))
            ++p;
        if (p >= end)
            return more;
        if (*p++ != '=')
            return Step::bad;
        while (p < end && is_space(static_cast<unsigned char>(*p)))
            ++p;
        if (p >= end)
            return more;
        char quote = *p++;
        if (quote != '"' && quote != '\'')
            return Step::bad;
        const char* value = p;
        for (;;) {
            p = skip_passing(p, end, kValues.plain);
            if (p >= end)
                return more;
            auto b = static_cast<unsigned char>(*p);
            if (b == static_cast<unsigned char>(quote))
                break;
            if (b == '"' || b == '\'') {
                ++p;  // the other quote
            } else if (b >= 0x80) {
                int length = sequence(reinterpret_cast<const unsigned char*>(p), static_cast<std::size_t>(end - p));
                if (length < 0)
                    return more;
                if (length == 0)
                    return Step::bad;
                p += length;
            } else if (b == '&') {
                const char* semicolon = p + 1;
                while (semicolon < end && semicolon - p < 16 && *semicolon != ';')
                    ++semicolon;
                if (semicolon >= end)
                    return more;
                reference_scratch_.clear();
                if (*semicolon != ';' ||
                    !decode_reference(std::string_view(p + 1, static_cast<std::size_t>(semicolon - p - 1)),
                                      reference_scratch_))
                    return Step::bad;
                p = semicolon + 1;
            } else {
                return Step::bad;  // "<", or a control character
            }
        }
        attribute.value = std::string_view(value, static_cast<std::size_t>(p - value));
        raw_.push_back(attribute);
        ++p;  // the closing quote
    }
}

Reader::Step Reader::end_tag(bool final)
{
    const char* begin = view_.data() + at_;
    const char* end = view_.data() + view_.size();
    if (open_.empty())
        return Step::bad;
    const Open& top = open_.back();
    std::string_view name(names_.data() + top.name, names_.size() - top.name);
    const char* p = begin + 2;
    if (static_cast<std::size_t>(end - p) < name.size() + 1)
        return final ? Step::bad : Step::more;
    if (std::string_view(p, name.size()) != name)
        return Step::bad;
    p += name.size();
    while (p < end && is_space(static_cast<unsigned char>(*p)))
        ++p;
    if (p >= end)
        return final ? Step::bad : Step::more;
    if (*p != '>')
        return Step::bad;
    at_ = static_cast<std::size_t>(p + 1 - view_.data());
    return close_element() ? Step::done : Step::bad;
}

// The namespace declarations among the tag's attributes: they hold for the
// element's own name and attributes too.
bool Reader::declare()
{
    for (const RawAttribute& each : raw_) {
        if (!each.declaration)
            continue;
        std::string_view prefix = each.name.size() == 5 ? std::string_view() : each.name.substr(6);
        if (each.name.size() > 5 && (prefix.empty() || each.colons != 1 || prefix == "xml"sv ||
                                     prefix == "xmlns"sv || each.value.empty()))
            return false;
        std::string uri = Attribute{{}, {}, each.value}.value();
        bool watched = hooks_ && hooks_->watches(uri);
        bindings_.push_back({std::string(prefix), std::move(uri), watched});
    }
    cached_ = nullptr;
    return true;
}

bool Reader::open_element(const Tag& tag, bool empty)
{
    if (open_.empty() && root_seen_)
        return false;  // a second root element
    if (!open_.empty() && open_.back().text)
        end_piece();
    std::size_t before = bindings_.size();
    if (declarations_ && !declare())
        return false;
    std::string_view prefix, local;
    if (!split_read_name(tag.qname, tag.colon, tag.colons, prefix, local))
        return false;
    const Binding* binding = lookup(prefix);
    if (!binding && !prefix.empty())
        return false;  // an undeclared prefix
    if (wants_elements_)
        attributes_.clear();
    // Attributes mostly share the element's prefix: the last one resolved
    // is kept at hand.
    std::string_view known_prefix = prefix, first_prefix;
    const Binding* known = binding;
    bool mixed = false;
    for (std::size_t i = 0; i < raw_.size(); ++i) {
        const RawAttribute& each = raw_[i];
        for (std::size_t j = 0; j < i; ++j)
            if (same(raw_[j].name, each.name))
                return false;  // an attribute given twice
        if (each.declaration)
            continue;
        std::string_view attribute_prefix, attribute_local;
        if (!split_read_name(each.name, each.colon, each.colons, attribute_prefix, attribute_local))
            return false;
        const Binding* attribute_binding = nullptr;
        if (!attribute_prefix.empty()) {
            if (first_prefix.empty())
                first_prefix = attribute_prefix;
            else if (!same(attribute_prefix, first_prefix))
                mixed = true;
            if (known && same(attribute_prefix, known_prefix)) {
                attribute_binding = known;
            } else {
                if (!(attribute_binding = lookup(attribute_prefix)) || same(attribute_prefix, "xmlns"sv))
                    return false;
                known_prefix = attribute_prefix;
                known = attribute_binding;
            }
            if (attribute_binding->watched &&
                !hooks_->watched({attribute_binding->uri, attribute_local, each.value}))
                return false;
        }
        if (wants_elements_)
            attributes_.push_back({attribute_binding ? std::string_view(attribute_binding->uri) : std::string_view(),
                                   attribute_local, each.value});
    }
    if (mixed && !distinct_expanded_names())
        return false;
    std::string_view uri = binding ? std::string_view(binding->uri) : std::string_view();
    if (wants_elements_ && !hooks_->element(open_.size(), uri, local, attributes_))
        return false;
    root_seen_ = true;
    bool paragraph = local.size() == 1 && local[0] == 'p';
    if (paragraph) {
        saved_.insert(saved_.end(), carried_.begin(), carried_.end());
        std::fill(carried_.begin(), carried_.end(), 0);
    }
    open_.push_back({names_.size(), before, local.size() == 1 && local[0] == 't', paragraph});
    names_.append(tag.qname);
    return empty ? close_element() : true;
}

// Two prefixes may name one namespace: prefixed attributes with one local
// name must then differ in their namespaces.
bool Reader::distinct_expanded_names()
{
    for (std::size_t i = 0; i < raw_.size(); ++i) {
        const RawAttribute& a = raw_[i];
        if (!a.colons || a.declaration)
            continue;
        for (std::size_t j = i + 1; j < raw_.size(); ++j) {
            const RawAttribute& b = raw_[j];
            if (!b.colons || b.declaration || !same(a.name.substr(a.colon + 1), b.name.substr(b.colon + 1)))
                continue;
            const Binding* first = lookup(a.name.substr(0, a.colon));
            const Binding* second = lookup(b.name.substr(0, b.colon));
            if (first && second && same(first->uri, second->uri))
                return false;
        }
    }
    return true;
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
    if (bindings_.size() != top.bindings) {
        bindings_.resize(top.bindings);
        cached_ = nullptr;
    }
    names_.resize(top.name);
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
