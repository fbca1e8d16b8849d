// How the parts of an office package are named, reached and typed: one set
// of rules for every reader of a package (the document pre-scan, the
// workbook writer, the package copy). Plain C++.
//
// Member names are the zip names ("word/document.xml"); part names are the
// names [Content_Types].xml writes ("/word/document.xml").
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::parts {

inline constexpr std::string_view content_types_member = "[Content_Types].xml";

// "word/_rels/document.xml.rels" holds the relationships of
// "word/document.xml"; "_rels/.rels" those of the package itself ("").
std::string relationships_member_of(std::string_view member);
// Whether `member` is a relationships part, and whose (`source`).
bool is_relationships_member(std::string_view member, std::string& source);

// The member an internal relationship of `source` leads to, its target
// joined to the folder of `source`. False for a target the libraries read
// in different ways: an escape, a query or fragment, a back slash, a
// network path, one that climbs above the package, or none at all. Every
// reader takes such a relationship for one it cannot follow with
// certainty.
bool resolve_relationship_target(std::string_view source, std::string_view target, std::string& member);

// Ends in "+xml" or is "…/xml", in any case.
bool is_xml_content_type(std::string_view content_type);

// The content types a package declares, looked up as the libraries look
// them up: an override for the part's name, else the default for its
// extension, both without regard to case; a later entry for the same key
// takes the place of an earlier one.
class ContentTypes {
public:
    void add_default(std::string_view extension, std::string content_type);
    void add_override(std::string_view part_name, std::string content_type);

    // The type of a member, or null when none is declared.
    const std::string* type_of(std::string_view member) const;
    // The member of the first override of this type, in the order written.
    std::optional<std::string> first_member_of_type(std::string_view content_type) const;
    bool has_default_of_type(std::string_view content_type) const;

private:
    struct Override {
        std::string part_name;
        std::string content_type;
    };
    std::map<std::string, std::string> defaults_;          // extension, lower case
    std::map<std::string, std::string> overrides_;         // part name, lower case
    std::vector<Override> written_;                        // every override, in order
};

}  // namespace tw::content::parts
