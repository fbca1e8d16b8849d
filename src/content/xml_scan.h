// A strict streaming reader of one XML part of an office package, in plain
// C++: it checks that the part is well-formed UTF-8 XML as the libraries'
// parser would take it, and looks for given byte strings in the text of
// its text elements. Anything it is not sure to read as the parser would
// (a document type, another encoding, a name outside ASCII) counts as a
// failure, so that whoever relies on it can fall back to the libraries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::xml_scan {

// Byte strings looked for in the text of text elements: each is found when
// it occurs within the text that the elements named "t" of one paragraph
// (an element named "p") hold directly, read in order, where any of those
// elements may be left out. That covers every way the libraries join run
// texts into a paragraph's text, as long as the string holds none of the
// characters they put between runs themselves (see keyword::required_texts).
class Needles {
public:
    static constexpr std::size_t max_length = 64;
    // Longer strings are cut to their first max_length bytes: a part of a
    // needed string is needed too.
    explicit Needles(const std::vector<std::string>& needles);
    std::size_t size() const { return masks_.size(); }

private:
    friend class Reader;
    std::vector<std::array<std::uint64_t, 256>> masks_;  // bit i: byte at i
    std::vector<std::uint64_t> last_;                     // bit of the last byte
};

struct Attribute {
    std::string_view uri;    // the namespace, empty for none
    std::string_view local;  // the name without its prefix
    std::string_view raw;    // the value as written (checked)
    // The value as the parser gives it: references replaced, white space
    // read as spaces.
    std::string value() const;
};

class Reader {
public:
    // What the reader tells as it goes. A hook that returns false stops
    // the reading (the part then counts as failed).
    struct Hooks {
        virtual ~Hooks() = default;
        // Whether attributes in namespace `uri` go to `watched` (asked once
        // for each namespace declared).
        virtual bool watches(std::string_view /*uri*/) { return false; }
        virtual bool watched(const Attribute& /*attribute*/) { return true; }
        // Whether every element goes to `element` (asked once), with its
        // depth (0 for the root).
        virtual bool wants_elements() const { return false; }
        virtual bool element(std::size_t /*depth*/, std::string_view /*uri*/, std::string_view /*local*/,
                             const std::vector<Attribute>& /*attributes*/)
        {
            return true;
        }
    };

    // found[i] is set once needle i occurs; `hooks` may be null.
    Reader(const Needles& needles, std::vector<char>& found, Hooks* hooks);

    // The part's next bytes. False once it has failed: stop feeding it.
    bool feed(std::string_view bytes);
    // The part ended: true when all of it was read and it is well-formed.
    bool finish();
    bool failed() const { return failed_; }

private:
    enum class Step { done, more, bad };
    struct Tag {
        std::string_view qname;
        std::size_t colon;  // where its first ":" is
        int colons;         // how many it has
    };
    struct RawAttribute {
        std::string_view name;
        std::size_t colon = 0;
        int colons = 0;
        bool declaration = false;  // xmlns or xmlns:prefix
        std::string_view value;    // as written, checked
    };


    Step step(bool final);
    Step text(bool final);
    Step reference(bool final);
    Step markup(bool final);
    Step declaration_or_instruction(std::size_t end);
    Step start_tag(bool final);
    Step end_tag(bool final);
    bool open_element(const Tag& tag, bool empty);
    bool declare();
    bool distinct_expanded_names();
    bool close_element();
    struct Binding;
    const Binding* resolve(std::string_view prefix) const;
    const Binding* lookup(std::string_view prefix);
    void text_bytes(std::string_view bytes);
    void end_piece();
    bool fail();

    struct Open {
        std::size_t name;      // where its name starts in names_
        std::size_t bindings;  // bindings_ before this element's declarations
        bool text;             // a text element
        bool paragraph;        // a paragraph: carried states were saved
    };
    struct Binding {
        std::string prefix;
        std::string uri;
        bool watched = false;  // its attributes go to the hooks
    };

    const Needles& needles_;
    std::vector<char>& found_;
    Hooks* hooks_;
    std::string buffer_;        // bytes kept from one feed for the next
    std::string_view view_;     // the bytes being read: buffer_, or those fed
    std::size_t at_ = 0;        // next byte of view_ to read
    std::uint64_t offset_ = 0;  // bytes of the part consumed before view_
    bool failed_ = false;
    bool root_seen_ = false;
    bool started_ = false;  // past the byte order mark
    std::uint64_t body_start_ = 0;  // where the part starts behind it
    std::vector<Open> open_;
    std::vector<Binding> bindings_;
    // The attributes of the tag being read: names and raw values, then as
    // the hooks see them (kept to reuse their memory).
    std::vector<RawAttribute> raw_;
    bool declarations_ = false;  // raw_ declares namespaces
    std::vector<Attribute> attributes_;
    std::string names_;  // the names of the open elements, one after the other
    std::string reference_scratch_;
    bool wants_elements_ = false;
    // The last prefix resolved while the bindings stayed the same.
    std::string cached_prefix_;
    const Binding* cached_ = nullptr;
    char last_[2] = {0, 0};  // the last two bytes of character data, for "]]>"
    // Per needle: match states within the current piece of text, and those
    // carried from earlier pieces of the same paragraph.
    std::vector<std::uint64_t> state_, carried_;
    std::vector<std::uint64_t> saved_;  // carried_ of enclosing paragraphs
    bool in_piece_ = false;
};

}  // namespace tw::content::xml_scan
