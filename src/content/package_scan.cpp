#include "content/package_scan.h"

#include <algorithm>

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
};

constexpr std::size_t kMostNeedles = 4;

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return out;
}

bool ends_with(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool is_xml_type(std::string_view content_type)
{
    std::string type = lower(content_type);
    return ends_with(type, "+xml"sv) || ends_with(type, "/xml"sv);
}

// The value of the attribute named `local` (in no namespace), if it is there.
bool attribute(const std::vector<xml_scan::Attribute>& attributes, std::string_view local, std::string& out)
{
    for (const xml_scan::Attribute& each : attributes)
        if (each.uri.empty() && each.local == local) {
            out = each.value();
            return true;
        }
    return false;
}

// "word/_rels/document.xml.rels" is the relationships part of
// "word/document.xml"; "_rels/.rels" that of the package ("").
bool source_of_relationships(std::string_view name, std::string& source)
{
    if (!ends_with(name, ".rels"sv))
        return false;
    std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view folder = name.substr(0, slash);
    std::string_view file = name.substr(slash + 1, name.size() - slash - 1 - 5);
    if (folder != "_rels"sv && !ends_with(folder, "/_rels"sv))
        return false;
    source = std::string(folder.substr(0, folder.size() - 5)) + std::string(file);
    return true;
}

std::string relationships_of(std::string_view part)
{
    std::size_t slash = part.rfind('/');
    std::string_view folder = slash == std::string_view::npos ? ""sv : part.substr(0, slash + 1);
    std::string_view file = slash == std::string_view::npos ? part : part.substr(slash + 1);
    return std::string(folder) + "_rels/" + std::string(file) + ".rels";
}

// The member a relationship's target names, as the libraries join it to
// the folder of its source part; false for a target they might read
// otherwise (escapes, fragments, back slashes) or none.
bool resolve_target(std::string_view source, std::string_view target, std::string& member)
{
    if (target.empty() || target.substr(0, 2) == "//"sv ||
        target.find_first_of("%#?\\"sv) != std::string_view::npos)
        return false;
    std::string path(1, '/');
    if (target[0] != '/') {
        std::size_t slash = source.rfind('/');
        if (slash != std::string_view::npos)
            path.append(source.substr(0, slash)).append(1, '/');
    }
    path.append(target);
    std::vector<std::string_view> segments;
    std::string_view rest = path;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? ""sv : rest.substr(slash + 1);
        if (segment.empty() || segment == "."sv)
            continue;
        if (segment == ".."sv) {
            if (!segments.empty())
                segments.pop_back();
            continue;
        }
        segments.push_back(segment);
    }
    member.clear();
    for (std::string_view segment : segments) {
        if (!member.empty())
            member += '/';
        member += segment;
    }
    return !member.empty();
}

// The extension as posixpath.splitext gives it (without its dot).
std::string_view extension(std::string_view member)
{
    std::size_t slash = member.rfind('/');
    std::string_view file = slash == std::string_view::npos ? member : member.substr(slash + 1);
    std::size_t dot = file.rfind('.');
    if (dot == std::string_view::npos || file.find_first_not_of('.') > dot)
        return {};
    return file.substr(dot + 1);
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

    bool watches(std::string_view uri) override
    {
        return std::find(std::begin(kReferences), std::end(kReferences), uri) != std::end(kReferences);
    }

    bool watched(const xml_scan::Attribute& attribute) override
    {
        member_.references.insert(attribute.value());
        return true;
    }

    bool wants_elements() const override { return part_ != Part::plain; }

    bool element(std::size_t depth, std::string_view uri, std::string_view local,
                 const std::vector<xml_scan::Attribute>& attributes) override
    {
        if (part_ == Part::content_types)
            return content_type(depth, uri, local, attributes);
        if (part_ == Part::relationships)
            return relationship(depth, uri, local, attributes);
        return true;
    }

private:
    bool content_type(std::size_t depth, std::string_view uri, std::string_view local,
                      const std::vector<xml_scan::Attribute>& attributes)
    {
        if (depth == 0)
            return uri == kContentTypes && local == "Types"sv;
        if (depth != 1 || uri != kContentTypes)
            return true;
        std::string type, key;
        bool typed = attribute(attributes, "ContentType"sv, type);
        if (local == "Default"sv) {
            if (!typed || !attribute(attributes, "Extension"sv, key))
                return false;
            scan_.defaults_[lower(key)] = type;
        } else if (local == "Override"sv) {
            if (!typed || !attribute(attributes, "PartName"sv, key))
                return false;
            scan_.overrides_[lower(key)] = type;
        }
        return true;
    }

    bool relationship(std::size_t depth, std::string_view uri, std::string_view local,
                      const std::vector<xml_scan::Attribute>& attributes)
    {
        if (depth == 0)
            return uri == kRelationshipsPart && local == "Relationships"sv;
        if (depth != 1 || uri != kRelationshipsPart || local != "Relationship"sv)
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

PackageScan::PackageScan(Kind kind, const std::vector<std::string>& needles,
                         std::optional<std::set<std::string>> parsed)
    : kind_(kind), parsed_(std::move(parsed)), needles_(needles), found_(needles.size(), 0)
{
}

PackageScan::~PackageScan() = default;

bool PackageScan::settled() const
{
    return unsure_ || std::all_of(found_.begin(), found_.end(), [](char found) { return found != 0; });
}

void PackageScan::begin(std::string_view name)
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
    member.unparsed = !parsed(member.name);
    reading_ = true;
}

// Whether some library or handler may read the member as XML. Until the
// content types are known, any member may.
bool PackageScan::parsed(std::string_view member) const
{
    std::string source;
    if (!parsed_ || !content_types_seen_ || member == "[Content_Types].xml"sv ||
        source_of_relationships(member, source))
        return true;
    const std::string* type = content_type(member);
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
    Hooks::Part part = member.name == "[Content_Types].xml"sv        ? Hooks::Part::content_types
                       : source_of_relationships(member.name, source) ? Hooks::Part::relationships
                                                                      : Hooks::Part::plain;
    hooks_ = std::make_unique<Hooks>(*this, member, part);
    reader_ = std::make_unique<xml_scan::Reader>(needles_, found_, hooks_.get());
}

void PackageScan::feed(std::string_view bytes)
{
    if (!reading_ || settled())
        return;
    Member& member = members_.back();
    if (member.binary || member.unparsed)
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
    if (!reader_ && !member.binary) {
        member.binary = true;  // empty, or white space only: no XML
        return;
    }
    if (reader_) {
        if (!reader_->finish())
            return give_up();
        member.xml = true;
        if (member.name == "[Content_Types].xml"sv)
            content_types_seen_ = true;
    }
    reader_.reset();
    hooks_.reset();
}

const std::string* PackageScan::content_type(std::string_view member) const
{
    std::string name(1, '/');
    name.append(member);
    auto found = overrides_.find(lower(name));
    if (found != overrides_.end())
        return &found->second;
    found = defaults_.find(lower(extension(member)));
    return found != defaults_.end() ? &found->second : nullptr;
}

bool PackageScan::check_relationships(const Member& rels, std::string_view source) const
{
    std::string target;
    for (const Relationship& each : rels.relationships) {
        if (each.external)
            continue;
        if (!resolve_target(source, each.target, target) || !content_type(target))
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
        const std::string* type = content_type(member.name);
        if (type && is_xml_type(*type) && !member.xml && !member.unparsed)
            return false;  // the library would parse it, and fail
        std::string source;
        if (source_of_relationships(member.name, source) && member.xml &&
            !check_relationships(member, source))
            return false;
        if (!member.references.empty()) {
            auto rels = index_.find(relationships_of(member.name));
            if (rels == index_.end())
                return false;
            const Member& listed = members_[rels->second];
            for (const std::string& id : member.references)
                if (std::none_of(listed.relationships.begin(), listed.relationships.end(),
                                 [&](const Relationship& each) { return each.id == id; }))
                    return false;
        }
    }
    auto package = index_.find("_rels/.rels");
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
    if (!main || main->external || !resolve_target("", main->target, target))
        return false;
    const std::string* type = content_type(target);
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
