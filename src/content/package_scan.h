// Whether a word-processing document or a presentation can hold a match of
// the keyword at all, decided from its package as it is read for its
// limits (see package.h), so that one that cannot is not loaded. Plain C++
// over the interpreter's expat.
//
// It says "cannot" only when it is sure: the keyword needs a text that
// occurs in no text element of any part, and the package is what the
// library would load without an error: every part that is or claims to be
// XML is well-formed UTF-8 without a document type, every relationship
// leads to a member with a content type, every relationship a part refers
// to exists, the main part has the library's own content type, and every
// member reads back whole with its checksum. Anything else, and a package
// it stops reading early, is "may": the library loads it as it always
// did, so results and errors stay what they were.
//
// Told which content types the library parses, it reads a part of any
// other type for its checksum only, once the content types are known: no
// library and no handler reads XML or text from such a part (the notes and
// comments parts, which the document handler reads itself, count as parsed).
#pragma once

#include "content/package_parts.h"
#include "content/xml_scan.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content {

// Texts the libraries' text of a document can hold a match in: each text
// that every match holds, cut at the characters the libraries put into a
// paragraph's text themselves (tabs, line breaks, the hyphen of a
// non-breaking hyphen, the line feed between paragraphs), so that each
// piece comes from the text elements alone. Empty when nothing is left.
std::vector<std::string> text_needles(const std::vector<std::string>& required);

class PackageScan {
public:
    enum class Kind { document, presentation };

    // `needles` as text_needles gives them, at least one; `parsed`, the
    // content types the library parses, when they are known.
    PackageScan(const PyExpat_CAPI& expat, Kind kind, const std::vector<std::string>& needles,
                std::optional<std::set<std::string>> parsed = std::nullopt);
    ~PackageScan();
    PackageScan(const PackageScan&) = delete;
    PackageScan& operator=(const PackageScan&) = delete;

    // One member of the package, in the order read: its name (UTF-8) with
    // the size and checksum the zip directory declares, its bytes, and
    // whether they were all read and found to be what was declared.
    void begin(std::string_view name, std::uint64_t size, std::uint32_t crc);
    void feed(std::string_view bytes);
    void end(bool whole);
    // Something the scan cannot judge: the answer is "may".
    void give_up() { unsure_ = true; }

    // Reading on cannot change the answer (it is "may" already).
    bool settled() const;
    // After the last member: the keyword provably matches nowhere.
    bool cannot_match() const;

private:
    struct Relationship {
        std::string id, type, target;
        bool external = false;
    };
    struct Member {
        std::string name;
        bool xml = false;     // read as XML, and well-formed
        bool binary = false;  // not XML by its first bytes
        bool unparsed = false;  // of a type no one parses: not read as XML
        bool judged = false;    // found sound in an earlier package: not read again
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        std::vector<Relationship> relationships;  // a relationships part
        std::set<std::string> references;         // ids it refers to
    };
    class Hooks;

    void classify();
    bool structure_sound() const;
    bool check_relationships(const Member& rels, std::string_view source) const;
    bool parsed(std::string_view member) const;

    const PyExpat_CAPI& expat_;
    Kind kind_;
    std::optional<std::set<std::string>> parsed_;
    xml_scan::Needles needles_;
    std::string needles_key_;  // the needles, for the parts judged before
    std::vector<char> found_;
    bool unsure_ = false;
    std::vector<Member> members_;
    std::map<std::string, std::size_t> index_;  // member name -> members_
    parts::ContentTypes content_types_;
    bool content_types_seen_ = false;
    // The member being read.
    std::string head_;  // its first bytes, until they tell what it is
    std::unique_ptr<Hooks> hooks_;
    std::unique_ptr<xml_scan::Reader> reader_;
    bool reading_ = false;
};

}  // namespace tw::content
