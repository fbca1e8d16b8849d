// The encodings of text and CSV files as bytes, in plain C++ without the
// interpreter, so that a file can be looked at on a thread of its own: the
// byte-order marks, strict UTF-8 and UTF-16 as the interpreter's codecs
// read them, and the GBK codes that are known to decode. Nothing here
// decodes text; the handlers decode with the interpreter's codecs.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::text_bytes {

enum class Mark { none, utf8, utf16_le, utf16_be };

// The byte-order mark `data` starts with (UTF-8, then UTF-16 LE or BE; not
// UTF-32's, which begins like UTF-16 LE's).
Mark mark_of(std::string_view data);
std::size_t mark_length(Mark mark);

// The rule for binary files, which only a UTF-16 mark overrides: a NUL byte
// in the first 8 KiB.
constexpr std::size_t kBinaryProbeSize = 8192;
bool looks_binary(std::string_view head);

// Strict UTF-8, fed in pieces: what the interpreter's "utf-8" codec accepts
// (no overlong forms, no surrogates, nothing above U+10FFFF).
class Utf8Check {
public:
    void feed(std::string_view bytes);
    bool failed() const { return !valid_; }
    bool valid() const { return valid_ && need_ == 0; }

private:
    bool valid_ = true;
    int need_ = 0;  // continuation bytes still expected
    unsigned char low_ = 0x80, high_ = 0xBF;  // range of the next one
};

// Strict UTF-16 in one byte order (the mark already taken off): whole code
// units, and every surrogate in a pair.
class Utf16Check {
public:
    explicit Utf16Check(bool little_endian) : little_(little_endian) {}
    void feed(std::string_view bytes);
    bool failed() const { return !valid_; }
    bool valid() const { return valid_ && !odd_ && !high_pending_; }

private:
    bool little_;
    bool valid_ = true;
    bool odd_ = false;
    unsigned char odd_byte_ = 0;
    bool high_pending_ = false;
    void unit(std::uint16_t u);
};

// The two-byte codes of GB18030 (GBK's codes) that the interpreter's codec
// decodes, each on its own, to one character that is not a control
// character and that encodes back to the same two bytes; filled once from
// the codec itself. Index: (lead - 0x81) * 191 + (trail - 0x40).
struct GbCodes {
    std::bitset<126 * 191> two_byte;
    std::bitset<128> single;  // bytes below 0x80 that pass as themselves
};

// GB18030 text the codes above prove decodable, fed in pieces. A four-byte
// sequence, or anything outside the codes, leaves it unproven (the codec
// may still accept it: such a file is only not proven here).
class GbCheck {
public:
    explicit GbCheck(const GbCodes& codes) : codes_(codes) {}
    void feed(std::string_view bytes);
    bool failed() const { return !proven_; }
    bool valid() const { return proven_ && !lead_; }

private:
    const GbCodes& codes_;
    bool proven_ = true;
    unsigned char lead_ = 0;  // a lead byte waiting for its trail
};

// Whether GB18030 bytes hold a four-byte sequence (a character outside
// GBK): a lead byte followed by a digit, counted from a character start.
bool has_four_byte_sequence(std::string_view bytes);

// The stream without its quote characters (the byte 0x22, or the UTF-16
// code unit U+0022 in the given order), fed in pieces: a CSV cell is its
// field with quotes taken out, so a text a cell holds is found there.
class QuoteStrip {
public:
    enum class Unit { byte, utf16_le, utf16_be };
    explicit QuoteStrip(Unit unit) : unit_(unit) {}
    // The piece without its quotes; valid until the next call.
    std::string_view feed(std::string_view bytes);

private:
    Unit unit_;
    std::string out_;
    bool odd_ = false;  // a code unit's first byte waits in odd_byte_
    char odd_byte_ = 0;
    void unit(char first, char second);
};

// Looks for texts in a stream of bytes fed in pieces, across the pieces.
class TextSearch {
public:
    explicit TextSearch(const std::vector<std::string>& texts);
    void feed(std::string_view bytes);
    bool all_found() const { return missing_ == 0; }

private:
    const std::vector<std::string>& texts_;
    std::vector<bool> found_;
    std::size_t missing_;
    std::size_t keep_ = 0;  // bytes kept from the last piece
    std::string tail_;
};

}  // namespace tw::content::text_bytes
