#include "content/text_bytes.h"

#include <algorithm>
#include <cstring>

namespace tw::content::text_bytes {

Mark mark_of(std::string_view data)
{
    if (data.starts_with("\xEF\xBB\xBF"))
        return Mark::utf8;
    // FF FE 00 00 is UTF-32's mark: such a file is left to the binary rule
    // rather than read two bytes at a time.
    if (data.starts_with("\xFF\xFE") && !data.starts_with(std::string_view("\xFF\xFE\0\0", 4)))
        return Mark::utf16_le;
    if (data.starts_with("\xFE\xFF"))
        return Mark::utf16_be;
    return Mark::none;
}

std::size_t mark_length(Mark mark)
{
    switch (mark) {
    case Mark::none: return 0;
    case Mark::utf8: return 3;
    case Mark::utf16_le:
    case Mark::utf16_be: return 2;
    }
    return 0;
}

bool looks_binary(std::string_view head)
{
    head = head.substr(0, kBinaryProbeSize);
    Mark mark = mark_of(head);
    if (mark == Mark::utf16_le || mark == Mark::utf16_be)
        return false;
    return head.find('\0') != std::string_view::npos;
}

namespace {

// Skips a run of ASCII bytes eight at a time; returns where it stopped.
std::size_t skip_ascii(std::string_view bytes, std::size_t at)
{
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    while (at + 8 <= bytes.size()) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        if (word & kHighBits)
            break;
        at += 8;
    }
    return at;
}

}  // namespace

void Utf8Check::feed(std::string_view bytes)
{
    for (std::size_t at = 0; valid_ && at < bytes.size();) {
        if (need_ == 0)
            at = skip_ascii(bytes, at);
        if (at >= bytes.size())
            break;
        unsigned char b = static_cast<unsigned char>(bytes[at++]);
        if (need_ > 0) {
            valid_ = b >= low_ && b <= high_;
            --need_;
            low_ = 0x80;
            high_ = 0xBF;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need_ = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need_ = 2;
            low_ = b == 0xE0 ? 0xA0 : 0x80;   // overlong below U+0800
            high_ = b == 0xED ? 0x9F : 0xBF;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need_ = 3;
            low_ = b == 0xF0 ? 0x90 : 0x80;   // overlong below U+10000
            high_ = b == 0xF4 ? 0x8F : 0xBF;  // above U+10FFFF
        } else {
            valid_ = b < 0x80;
        }
    }
}

void Utf16Check::unit(std::uint16_t u)
{
    bool high = u >= 0xD800 && u <= 0xDBFF;
    bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (high_pending_ ? !low : low)
        valid_ = false;
    high_pending_ = high;
}

void Utf16Check::feed(std::string_view bytes)
{
    std::size_t at = 0;
    if (odd_ && !bytes.empty()) {
        unsigned char second = static_cast<unsigned char>(bytes[0]);
        unit(little_ ? std::uint16_t(odd_byte_ | second << 8) : std::uint16_t(odd_byte_ << 8 | second));
        odd_ = false;
        at = 1;
    }
    for (; valid_ && at + 2 <= bytes.size(); at += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[at]);
        unsigned char b = static_cast<unsigned char>(bytes[at + 1]);
        unit(little_ ? std::uint16_t(a | b << 8) : std::uint16_t(a << 8 | b));
    }
    if (valid_ && at < bytes.size()) {
        odd_ = true;
        odd_byte_ = static_cast<unsigned char>(bytes[at]);
    }
}

void GbCheck::feed(std::string_view bytes)
{
    for (std::size_t at = 0; proven_ && at < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[at++]);
        if (lead_) {
            proven_ = b >= 0x40 && b <= 0xFE && codes_.two_byte[(lead_ - 0x81) * 191 + (b - 0x40)];
            lead_ = 0;
        } else if (b < 0x80) {
            proven_ = codes_.single[b];
        } else if (b >= 0x81 && b <= 0xFE) {
            lead_ = b;
        } else {
            proven_ = false;
        }
    }
}

bool has_four_byte_sequence(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[at]);
        if (b < 0x81 || b == 0xFF || at + 1 >= bytes.size()) {
            ++at;
            continue;
        }
        unsigned char next = static_cast<unsigned char>(bytes[at + 1]);
        if (next >= 0x30 && next <= 0x39)
            return true;
        at += 2;
    }
    return false;
}

void QuoteStrip::unit(char first, char second)
{
    bool quote = unit_ == Unit::utf16_le ? first == '"' && second == 0 : first == 0 && second == '"';
    if (!quote)
        out_.append({first, second});
}

std::string_view QuoteStrip::feed(std::string_view bytes)
{
    out_.clear();
    if (unit_ == Unit::byte && bytes.find('"') == std::string_view::npos)
        return bytes;
    if (unit_ == Unit::byte) {
        for (char b : bytes) {
            if (b != '"')
                out_.push_back(b);
        }
        return out_;
    }
    std::size_t at = 0;
    if (odd_ && !bytes.empty()) {
        unit(odd_byte_, bytes[0]);
        odd_ = false;
        at = 1;
    }
    for (; at + 2 <= bytes.size(); at += 2)
        unit(bytes[at], bytes[at + 1]);
    if (at < bytes.size()) {
        odd_ = true;
        odd_byte_ = bytes[at];
    }
    return out_;
}

namespace {

// Whether `text` occurs in `bytes`: each place its first byte occurs is
// checked at its last byte before the rest is compared, which passes over
// most places at once in text where the first byte is common.
bool contains(std::string_view bytes, std::string_view text)
{
    std::size_t n = text.size();
    if (n == 0)
        return true;
    if (bytes.size() < n)
        return false;
    const char* at = bytes.data();
    const char* last_start = bytes.data() + (bytes.size() - n);
    while (at <= last_start) {
        at = static_cast<const char*>(std::memchr(at, text[0], static_cast<std::size_t>(last_start - at) + 1));
        if (!at)
            return false;
        if (at[n - 1] == text[n - 1] && std::memcmp(at, text.data(), n) == 0)
            return true;
        ++at;
    }
    return false;
}

}  // namespace

TextSearch::TextSearch(const std::vector<std::string>& texts)
    : texts_(texts), found_(texts.size(), false), missing_(texts.size())
{
    for (const std::string& text : texts)
        keep_ = std::max(keep_, text.empty() ? 0 : text.size() - 1);
}

void TextSearch::feed(std::string_view bytes)
{
    if (missing_ == 0 || bytes.empty())
        return;
    // A text may begin in the last piece and end in this one.
    std::string seam = tail_;
    seam.append(bytes.substr(0, keep_));
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (!found_[i] && (contains(bytes, texts_[i]) || contains(seam, texts_[i]))) {
            found_[i] = true;
            --missing_;
        }
    }
    if (bytes.size() >= keep_) {
        tail_.assign(bytes.substr(bytes.size() - keep_));
    } else {
        tail_.append(bytes);
        tail_.erase(0, tail_.size() > keep_ ? tail_.size() - keep_ : 0);
    }
}

}  // namespace tw::content::text_bytes
