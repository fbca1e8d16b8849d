#include "content/package_scan.h"

#include <algorithm>
#include <mutex>
#include <tuple>

namespace tw::content {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kContentTypes = "http://schemas.openxmlformats.org/package/2006/content-types"sv;
constexpr std::string_view kRelationshipsPart = "http://schemas.openxmlformats.org/package/2006/relationships"sv;
// Attributes in these namespaces name a relationship of their part.
constexpr std::string_view kReferences[] = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships"sv,
    "http://purl.oclc.org/ooxml/officeDocument/relationships"sv,
};
constexpr std::string_view kOfficeDocument =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument"sv;
// The main parts each library opens; any other it refuses.
constexpr std::string_view kDocumentMain =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"sv;
constexpr std::string_view kPresentationMain[] = {
    "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"sv,
    "application/vnd.ms-powerpoint.presentation.macroEnabled.main+xml"sv,
};

// The document handler reads the parts these lead to itself.
constexpr std::string_view kNotes[] = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes"sv,
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/endnotes"sv,
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments"sv,
};

constexpr std::size_t kMostNeedles = 4;

// The value of the attribute named `local` (in no namespace), if it is there.
bool attribute(const std::vector<xml_scan::Attribute>& attributes, std::string_view local, std::string& out)
{
    for (const xml_scan::Attribute& each : attributes)
        if (each.name.uri.empty() && each.name.local == local) {
            out = each.value;
            return true;
        }
    return false;
}

bool is_reference_namespace(std::string_view uri)
{
    return std::find(std::begin(kReferences), std::end(kReferences), uri) != std::end(kReferences);
}

// Parts found sound before, in this process, by name, size and checksum
// and the needles they were searched for: well-formed XML in which none of
// the needles occurs, with the relationships it refers to. Documents made
// from one template share such parts byte for byte (styles, themes, slide
// masters and layouts), and those are most of what the scan reads; one run
// searches every file for the same needles. Every copy of a part is still
// inflated and its checksum checked.
class JudgedParts {
public:
    using Key = std::tuple<std::string, std::uint64_t, std::uint32_t, std::string>;
    static constexpr std::uint64_t smallest = 1024;  // smaller ones are read about as fast as looked up
    static constexpr std::size_t most = 1024;

    std::optional<std::set<std::string>> find(const Key& key) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = parts_.find(key);
        return found != parts_.end() ? std::optional(found->second) : std::nullopt;
    }

    void remember(Key key, std::set<std::string> references)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (parts_.size() >= most)
            parts_.clear();
        parts_.emplace(std::move(key), std::move(references));
    }

private:
    mutable std::mutex mutex_;
    std::map<Key, std::set<std::string>> parts_;  // references of each part
};

JudgedParts& judged_parts()
{
    static JudgedParts parts;
    return parts;
}

}  // namespace

std::vector<std::string> text_needles(const std::vector<std::string>& required)
{
    std::vector<std::string> pieces;
    for (const std::string& text : required) {
        std::string piece;
        for (char c : text + '\n') {
            if (static_cast<unsigned char>(c) < 0x20 || c == '-') {
                if (!piece.empty() && std::find(pieces.begin(), pieces.end(), piece) == pieces.end())
                    pieces.push_back(piece);
                piece.clear();
            } else {
                piece += c;
            }
        }
    }
    // The longest are the least likely to occur by chance.
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    if (pieces.size() > kMostNeedles)
        pieces.resize(kMostNeedles);
    return pieces;
}

// Reads what the structure check needs from the parts as they are read:
// the content types, each relationships part, and the relationships each
// part refers to.
class PackageScan::Hooks final : public xml_scan::Reader::Hooks {
public:
    enum class Part { plain, content_types, relationships };
    Hooks(PackageScan& scan, Member& member, Part part) : scan_(scan), member_(member), part_(part) {}

    bool plain() const { return part_ == Part::plain; }

    bool element(std::size_t depth, const xml_scan::Name& name, const std::vector<xml_scan::Attribute>& attributes) override
    {
        if (part_ == Part::content_types)
            return content_type(depth, name, attributes);
        if (part_ == Part::relationships)
            return relationship(depth, name, attributes);
        note_references(attributes);
        return true;
    }

private:
    void note_references(const std::vector<xml_scan::Attribute>& attributes)
    {
        for (const xml_scan::Attribute& each : attributes)
            if (is_reference_namespace(each.name.uri))
                member_.references.emplace(each.value);
    }

    bool content_type(std::size_t depth, const xml_scan::Name& name, const std::vector<xml_scan::Attribute>& attributes)
    {
        if (depth == 0)
            return name.uri == kContentTypes && name.local == "Types"sv;
        if (depth != 1 || name.uri != kContentTypes)
            return true;
        std::string type, key;
        bool typed = attribute(attributes, "ContentType"sv, type);
        if (name.local == "Default"sv) {
            if (!typed || !attribute(attributes, "Extension"sv, key))
                return false;
            scan_.content_types_.add_default(key, std::move(type));
        } else if (name.local == "Override"sv) {
            if (!typed || !attribute(attributes, "PartName"sv, key))
                return false;
            scan_.content_types_.add_override(key, std::move(type));
        }
        return true;
    }

    bool relationship(std::size_t depth, const xml_scan::Name& name, const std::vector<xml_scan::Attribute>& attributes)
    {
        if (depth == 0)
            return name.uri == kRelationshipsPart && name.local == "Relationships"sv;
        if (depth != 1 || name.uri != kRelationshipsPart || name.local != "Relationship"sv)
            return true;
        Relationship found;
        std::string mode;
        bool moded = attribute(attributes, "TargetMode"sv, mode);
        if (!attribute(attributes, "Id"sv, found.id) || !attribute(attributes, "Type"sv, found.type) ||
            !attribute(attributes, "Target"sv, found.target) ||
            (moded && mode != "Internal"sv && mode != "External"sv))
            return false;
        found.external = moded && mode == "External"sv;
        member_.relationships.push_back(std::move(found));
        return true;
    }

    PackageScan& scan_;
    Member& member_;
    Part part_;
};

PackageScan::PackageScan(const PyExpat_CAPI& expat, Kind kind, const std::vector<std::string>& needles,
                         std::optional<std::set<std::string>> parsed)
    : expat_(expat), kind_(kind), parsed_(std::move(parsed)), needles_(needles), found_(needles.size(), 0)
{
    for (const std::string& needle : needles)
        needles_key_.append(needle).append(1, '\0');
}

PackageScan::~PackageScan() = default;

bool PackageScan::settled() const
{
    return unsure_ || std::all_of(found_.begin(), found_.end(), [](char found) { return found != 0; });
}

void PackageScan::begin(std::string_view name, std::uint64_t size, std::uint32_t crc)
{
    reading_ = false;
    reader_.reset();
    hooks_.reset();
    head_.clear();
    if (settled())
        return;
    if (!index_.emplace(std::string(name), members_.size()).second) {
        give_up();  // two members of one name: which one a library reads is its own affair
        return;
    }
    members_.emplace_back();
    Member& member = members_.back();
    member.name = std::string(name);
    member.size = size;
    member.crc = crc;
    member.unparsed = !parsed(member.name);
    if (!member.unparsed && size >= JudgedParts::smallest) {
        std::optional<std::set<std::string>> judged = judged_parts().find({member.name, size, crc, needles_key_});
        member.judged = judged.has_value();
        if (judged)
            member.references = std::move(*judged);
    }
    reading_ = true;
}

// Whether some library or handler may read the member as XML. Until the
// content types are known, any member may.
bool PackageScan::parsed(std::string_view member) const
{
    std::string source;
    if (!parsed_ || !content_types_seen_ || member == parts::content_types_member ||
        parts::is_relationships_member(member, source))
        return true;
    const std::string* type = content_types_.type_of(member);
    return !type || parsed_->count(*type) != 0;
}

// A member is XML when its first character (behind a byte order mark and
// white space) opens markup; one that starts like UTF-16 is not judged.
void PackageScan::classify()
{
    Member& member = members_.back();
    std::string_view head = head_;
    if (head.substr(0, 2) == "\xFE\xFF"sv || head.substr(0, 2) == "\xFF\xFE"sv)
        return give_up();
    if (head.size() < 3 && "\xEF\xBB\xBF"sv.substr(0, head.size()) == head)
        return;  // perhaps a byte order mark: undecided
    std::size_t first = head.substr(0, 3) == "\xEF\xBB\xBF"sv ? 3 : 0;
    first = head.find_first_not_of(" \t\r\n"sv, first);
    if (first != std::string_view::npos && head[first] != '<') {
        member.binary = true;
        return;
    }
    if (first == std::string_view::npos)
        return;  // undecided until more comes, or the member ends
    std::string source;
    Hooks::Part part = member.name == parts::content_types_member             ? Hooks::Part::content_types
                       : parts::is_relationships_member(member.name, source) ? Hooks::Part::relationships
                                                                             : Hooks::Part::plain;
    hooks_ = std::make_unique<Hooks>(*this, member, part);
    reader_ = std::make_unique<xml_scan::Reader>(expat_, needles_, found_, hooks_.get());
}

void PackageScan::feed(std::string_view bytes)
{
    if (!reading_ || settled())
        return;
    Member& member = members_.back();
    if (member.binary || member.unparsed || member.judged)
        return;
    if (!reader_) {
        head_.append(bytes);
        classify();
        if (!reader_) {
            if (!member.binary && head_.size() > 65536)
                give_up();  // a member of white space: nothing to judge
            return;
        }
        std::string head = std::move(head_);
        head_.clear();
        if (!reader_->feed(head))
            give_up();
        return;
    }
    if (!reader_->feed(bytes))
        give_up();  // it looks like XML, and the library would reject it
}

void PackageScan::end(bool whole)
{
    if (!reading_ || settled()) {
        reading_ = false;
        return;
    }
    reading_ = false;
    if (!whole)
        return give_up();
    Member& member = members_.back();
    if (member.unparsed)
        return;
    if (member.judged) {
        member.xml = true;
        return;
    }
    if (!reader_ && !member.binary) {
        member.binary = true;  // empty, or white space only: no XML
        return;
    }
    if (reader_) {
        if (!reader_->finish())
            return give_up();
        member.xml = true;
        if (member.name == parts::content_types_member)
            content_types_seen_ = true;
        else if (hooks_->plain() && member.size >= JudgedParts::smallest && !reader_->found_any())
            judged_parts().remember({member.name, member.size, member.crc, needles_key_}, member.references);
    }
    reader_.reset();
    hooks_.reset();
}

bool PackageScan::check_relationships(const Member& rels, std::string_view source) const
{
    std::string target;
    for (const Relationship& each : rels.relationships) {
        if (each.external)
            continue;
        if (!parts::resolve_relationship_target(source, each.target, target) || !content_types_.type_of(target))
            return false;
        auto found = index_.find(target);
        if (found == index_.end())
            return false;
        bool notes = std::find(std::begin(kNotes), std::end(kNotes), each.type) != std::end(kNotes);
        if (notes && kind_ == Kind::document && !members_[found->second].xml)
            return false;  // the handler would read it as XML whatever its type
    }
    return true;
}

bool PackageScan::structure_sound() const
{
    if (!content_types_seen_)
        return false;
    for (const Member& member : members_) {
        const std::string* type = content_types_.type_of(member.name);
        if (type && parts::is_xml_content_type(*type) && !member.xml && !member.unparsed)
            return false;  // the library would parse it, and fail
        std::string source;
        if (parts::is_relationships_member(member.name, source) && member.xml &&
            !check_relationships(member, source))
            return false;
        if (!member.references.empty()) {
            auto rels = index_.find(parts::relationships_member_of(member.name));
            if (rels == index_.end())
                return false;
            const Member& listed = members_[rels->second];
            for (const std::string& id : member.references)
                if (std::none_of(listed.relationships.begin(), listed.relationships.end(),
                                 [&](const Relationship& each) { return each.id == id; }))
                    return false;
        }
    }
    auto package = index_.find(parts::relationships_member_of(""));
    if (package == index_.end() || !members_[package->second].xml)
        return false;
    const Relationship* main = nullptr;
    for (const Relationship& each : members_[package->second].relationships) {
        if (each.type != kOfficeDocument)
            continue;
        if (main)
            return false;  // the library refuses two
        main = &each;
    }
    std::string target;
    if (!main || main->external || !parts::resolve_relationship_target("", main->target, target))
        return false;
    const std::string* type = content_types_.type_of(target);
    if (!type)
        return false;
    if (kind_ == Kind::document)
        return *type == kDocumentMain;
    return std::find(std::begin(kPresentationMain), std::end(kPresentationMain), *type) !=
           std::end(kPresentationMain);
}

bool PackageScan::cannot_match() const
{
    if (settled() || reading_)
        return false;
    return structure_sound();
}

}  // namespace tw::content
