#include "content/workbook_layout.h"

#include "content/package_parts.h"
#include "platform/core/ascii.h"

namespace tw::content::workbook {

namespace {

constexpr Flavour kFlavours[] = {
    {"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
     "http://schemas.openxmlformats.org/officeDocument/2006/relationships"},
    {"http://purl.oclc.org/ooxml/spreadsheetml/main", "http://purl.oclc.org/ooxml/officeDocument/relationships"},
};
constexpr const char* kPackageRelationships = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kContentTypes = "http://schemas.openxmlformats.org/package/2006/content-types";

// The library takes the workbook part from the first of these content types
// that the package declares, in this order.
constexpr const char* kWorkbookTypes[] = {
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
};

int read_content_types(const xml::Parser& xml, const PackageCopy& copy, parts::ContentTypes& types)
{
    py::Ref root;
    std::vector<py::Ref> children;
    int parsed = copy.parse_children(xml, std::string(parts::content_types_member), root, children);
    if (parsed != kDone)
        return parsed;
    for (const py::Ref& child : children) {
        xml::ElementName name;
        std::string type, key;
        if (xml::element_name(child.get(), name) < 0 || xml::attribute_text(child.get(), "ContentType"_id, type) < 0)
            return -1;
        if (name.ns != kContentTypes)
            continue;
        if (name.local == "Default") {
            if (xml::attribute_text(child.get(), "Extension"_id, key) < 0)
                return -1;
            types.add_default(key, type);
        } else if (name.local == "Override") {
            if (xml::attribute_text(child.get(), "PartName"_id, key) < 0)
                return -1;
            types.add_override(key, type);
        }
    }
    return kDone;
}

constexpr const char* kSharedStringsType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";

// The workbook part, and the string table the library reads: the first
// part declared of that type.
int find_workbook_part(const xml::Parser& xml, const PackageCopy& copy, std::string& part, std::string& strings)
{
    parts::ContentTypes types;
    int read = read_content_types(xml, copy, types);
    if (read != kDone)
        return read;
    strings = types.first_member_of_type(kSharedStringsType).value_or("");
    for (const char* wanted : kWorkbookTypes)
        if (std::optional<std::string> found = types.first_member_of_type(wanted)) {
            part = *found;
            return kDone;
        }
    for (const char* wanted : kWorkbookTypes)
        if (types.has_default_of_type(wanted)) {
            part = "xl/workbook.xml";
            return kDone;
        }
    return kFallBack;
}

// A relationship without an id or a target is none the library follows; an
// internal one whose target does not resolve with certainty leaves the
// package to the library.
int read_relationship(PyObject* element, Relationships& rels)
{
    std::string id, target, mode;
    Relationship rel;
    int has_id = xml::attribute_text(element, "Id"_id, id);
    int has_type = has_id >= 0 ? xml::attribute_text(element, "Type"_id, rel.type) : -1;
    int has_target = has_type >= 0 ? xml::attribute_text(element, "Target"_id, target) : -1;
    int has_mode = has_target >= 0 ? xml::attribute_text(element, "TargetMode"_id, mode) : -1;
    if (has_mode < 0)
        return -1;
    if (has_id == 0 || has_target == 0 || (has_mode > 0 && mode == "External"))
        return kDone;
    if (!parts::resolve_relationship_target(rels.source, target, rel.target))
        return kFallBack;
    rels.by_id[id] = std::move(rel);
    return kDone;
}

int load_relationships(const xml::Parser& xml, const PackageCopy& copy, const std::string& source,
                       Relationships& rels)
{
    rels.source = source;
    py::Ref root;
    std::vector<py::Ref> children;
    int parsed = copy.parse_children(xml, parts::relationships_member_of(source), root, children);
    if (parsed != kDone)
        return parsed;
    for (const py::Ref& child : children) {
        xml::ElementName name;
        if (xml::element_name(child.get(), name) < 0)
            return -1;
        if (name.ns != kPackageRelationships || name.local != "Relationship")
            continue;
        int read = read_relationship(child.get(), rels);
        if (read != kDone)
            return read;
    }
    return kDone;
}

// The sheet entry's part: kDone with `part` empty for an entry the library
// passes over (no relationship, a part the package lacks, a chart sheet).
int sheet_part(const std::string& id, const Relationships& rels, const PackageCopy& copy, std::string& part)
{
    part.clear();
    if (id.empty())
        return kDone;
    auto rel = rels.by_id.find(id);
    if (rel == rels.by_id.end())
        return kFallBack;
    if (copy.has(rel->second.target) && rel->second.type.find("chartsheet") == std::string::npos)
        part = rel->second.target;
    return kDone;
}

// The worksheets in the workbook's order, each with its part, found the way
// the library finds them: through the sheet's relationship.
int list_worksheets(const xml::Parser& xml, const PackageCopy& copy, Layout& layout)
{
    const Flavour& flavour = *layout.flavour;
    py::Ref sheets_tag = xml::clark_name(flavour.main, "sheets");
    py::Ref sheets = sheets_tag ? xml::find(layout.workbook.get(), sheets_tag.get()) : py::Ref();
    py::Ref id_name = sheets ? xml::clark_name(flavour.relationships, "id") : py::Ref();
    std::vector<py::Ref> entries;
    if (!id_name || (sheets.get() != Py_None && xml::element_children(xml, sheets.get(), entries) < 0))
        return -1;
    for (const py::Ref& entry : entries) {
        xml::ElementName name;
        SheetPart sheet;
        std::string id;
        if (xml::element_name(entry.get(), name) < 0)
            return -1;
        if (name.ns != flavour.main || name.local != "sheet")
            continue;
        if (xml::attribute_text(entry.get(), id_name, id) < 0 ||
            xml::attribute_text(entry.get(), "name"_id, sheet.title) < 0)
            return -1;
        int found = sheet_part(id, layout.rels, copy, sheet.part);
        if (found != kDone)
            return found;
        if (!sheet.part.empty())
            layout.sheets.push_back(std::move(sheet));
    }
    return kDone;
}

// The parts must be the very sheets the library read: same number, same
// titles, in the same order.
int check_titles(PyObject* wb, const std::vector<SheetPart>& sheets)
{
    py::Ref worksheets = py::getattr(wb, "worksheets"_id);
    py::Ref list = worksheets ? py::Ref::steal(PySequence_List(worksheets.get())) : py::Ref();
    if (!list)
        return -1;
    if (PyList_GET_SIZE(list.get()) != static_cast<Py_ssize_t>(sheets.size()))
        return kFallBack;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        py::Ref title = py::getattr(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)), "title"_id);
        std::string text;
        if (!title || !py::utf8_of(title.get(), text))
            return -1;
        if (text != sheets[i].title)
            return kFallBack;
    }
    return kDone;
}

}  // namespace

const Flavour* flavour_of(const xml::ElementName& name)
{
    for (const Flavour& flavour : kFlavours)
        if (name.ns == flavour.main)
            return &flavour;
    return nullptr;
}

// Excel reads the string table through the workbook's relationship, the
// library by its content type: they must be one part.
int check_shared_strings(const Layout& layout)
{
    for (const auto& [id, rel] : layout.rels.by_id)
        if (is_relationship_of_kind(rel, "sharedStrings") && rel.target != layout.shared_strings)
            return kFallBack;
    return kDone;
}

int read_layout(const xml::Parser& xml, const PackageCopy& copy, PyObject* wb, Layout& layout)
{
    int step = find_workbook_part(xml, copy, layout.workbook_part, layout.shared_strings);
    if (step == kDone)
        step = copy.parse(xml, layout.workbook_part, layout.workbook);
    if (step != kDone)
        return step;
    xml::ElementName name;
    if (xml::element_name(layout.workbook.get(), name) < 0)
        return -1;
    layout.flavour = flavour_of(name);
    if (!layout.flavour || name.local != "workbook")
        return kFallBack;
    step = load_relationships(xml, copy, layout.workbook_part, layout.rels);
    if (step == kDone)
        step = check_shared_strings(layout);
    if (step == kDone)
        step = list_worksheets(xml, copy, layout);
    return step == kDone ? check_titles(wb, layout.sheets) : step;
}

int read_relationships(const xml::Parser& xml, const PackageCopy& copy, const std::string& source,
                       Relationships& rels)
{
    rels.source = source;
    if (!copy.has(parts::relationships_member_of(source)))
        return kDone;
    return load_relationships(xml, copy, source, rels);
}

bool is_relationship_of_kind(const Relationship& rel, std::string_view kind)
{
    std::string_view type = rel.type;
    std::size_t slash = type.rfind('/');
    return slash != std::string_view::npos && type.substr(slash + 1) == kind;
}

bool read_number(std::string_view text, long long& out)
{
    if (text.empty() || text.size() > 9)
        return false;
    out = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        out = out * 10 + (ch - '0');
    }
    return true;
}

bool read_reference(std::string_view text, Position& out)
{
    std::size_t i = 0;
    long long column = 0;
    for (; i < text.size() && i < 4; ++i) {
        char ch = platform::native::ascii_upper(text[i]);
        if (ch < 'A' || ch > 'Z')
            break;
        column = column * 26 + (ch - 'A' + 1);
    }
    std::size_t digits = text.size() - i;
    if (i == 0 || i > 3 || digits == 0 || digits > 9)
        return false;
    long long row = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        row = row * 10 + (text[i] - '0');
    }
    out = {row, column};
    return true;
}

int PartTrees::root(const xml::Parser& xml, const PackageCopy& copy, const std::string& part, py::Ref& out)
{
    auto known = roots_.find(part);
    if (known != roots_.end()) {
        out = known->second;
        return kDone;
    }
    int parsed = copy.parse(xml, part, out);
    if (parsed == kDone)
        roots_[part] = out;
    return parsed;
}

int PartTrees::write(const xml::Parser& xml, PackageCopy& copy) const
{
    for (const std::string& part : changed_) {
        py::Ref data = xml::serialize(xml, roots_.at(part).get());
        if (!data)
            return -1;
        copy.replace(part, data);
    }
    return 0;
}

}  // namespace tw::content::workbook
