// One XML part of an office package read by expat (see expat.h), with the
// text of its text elements searched for given byte strings. Whatever the
// libraries' parser might read otherwise (a document type, an encoding
// other than UTF-8, nesting or text beyond its limits) counts as a
// failure, so that whoever relies on the reading can fall back to the
// libraries. Plain C++ over the interpreter's expat.
#pragma once

#include "content/expat.h"

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
    friend class TextMatch;
    std::vector<std::array<std::uint64_t, 256>> masks_;  // bit i: byte at i
    std::vector<std::uint64_t> last_;                     // bit of the last byte
};

// The search of one part's text for the needles, told the part's structure
// as it is read.
class TextMatch {
public:
    // found[i] is set once needle i occurs.
    TextMatch(const Needles& needles, std::vector<char>& found);

    void open_paragraph();
    void close_paragraph();
    // Text of a text element, in pieces as it comes.
    void text(std::string_view bytes);
    // The libraries read a text element's text up to its first child node:
    // what follows is another piece.
    void end_piece();
    // Whether any needle occurred in this part's text.
    bool found_any() const { return found_any_; }

private:
    const Needles& needles_;
    std::vector<char>& found_;
    // Per needle: match states within the current piece of text, and those
    // carried from earlier pieces of the same paragraph.
    std::vector<std::uint64_t> state_, carried_;
    std::vector<std::uint64_t> saved_;  // carried_ of enclosing paragraphs
    bool in_piece_ = false;
    bool found_any_ = false;
};

// A name with its namespace resolved: `uri` is empty for none.
struct Name {
    std::string_view uri;
    std::string_view local;
};

struct Attribute {
    Name name;
    std::string_view value;  // as the parser gives it: references replaced
};

// The namespace bindings in force while a part is read. Expat reads the
// part without namespaces (its namespace mode costs twice the time, all of
// it in hashing every expanded attribute name): the declarations are taken
// here and every name is resolved, as strictly as the libraries' parser.
class Namespaces {
public:
    // The declarations among an element's attributes (until close()). False
    // for one that namespaces forbid or this reading does not take.
    bool open(const char* const* attributes);
    void close();
    // `qname` resolved; false for a name namespaces forbid or an unbound
    // prefix. Unprefixed, an element is in the default namespace and an
    // attribute in none.
    bool resolve(std::string_view qname, bool element, Name& out);

private:
    struct Binding {
        std::string prefix;  // empty for the default namespace
        std::string uri;     // empty: undeclared
    };
    const Binding* find(std::string_view prefix);

    std::vector<Binding> bindings_;
    std::vector<std::size_t> marks_;  // bindings_ before each open element's
    const Binding* last_ = nullptr;   // the last one found, while bindings_ stays as it is
};

class Reader {
public:
    // What the reader tells as it goes. A hook that returns false stops
    // the reading (the part then counts as failed).
    struct Hooks {
        virtual ~Hooks() = default;
        // Every element as it opens, with its depth (0 for the root) and its
        // attributes but the namespace declarations.
        virtual bool element(std::size_t depth, const Name& name, const std::vector<Attribute>& attributes) = 0;
    };

    // `hooks` may be null.
    Reader(const PyExpat_CAPI& expat, const Needles& needles, std::vector<char>& found, Hooks* hooks);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The part's next bytes. False once it has failed: stop feeding it.
    bool feed(std::string_view bytes);
    // The part ended: true when all of it was read and it is well-formed.
    bool finish();
    bool found_any() const { return match_.found_any(); }

private:
    static void on_start(void* self, const XML_Char* name, const XML_Char** attributes);
    static void on_end(void* self, const XML_Char* name);
    static void on_text(void* self, const XML_Char* text, int length);
    static void on_comment(void* self, const XML_Char* data);
    static void on_instruction(void* self, const XML_Char* target, const XML_Char* data);
    static void on_doctype(void* self, const XML_Char* name, const XML_Char* system_id,
                           const XML_Char* public_id, int has_internal_subset);
    static void on_other(void* self, const XML_Char* text, int length);

    void start(const char* name, const char* const* attributes);
    bool read_attributes(const char* const* attributes);
    void child_node();
    bool parse(const char* bytes, std::size_t size, bool final);

    struct Open {
        bool text;       // a text element
        bool paragraph;  // a paragraph
    };

    const PyExpat_CAPI& expat_;
    XML_Parser parser_ = nullptr;
    TextMatch match_;
    Namespaces namespaces_;
    std::vector<Attribute> attributes_;  // those of the element being opened
    Hooks* hooks_;
    std::vector<Open> open_;
    std::size_t run_ = 0;  // bytes of the text node being read
    bool root_seen_ = false;
    bool failed_ = false;
};

}  // namespace tw::content::xml_scan
