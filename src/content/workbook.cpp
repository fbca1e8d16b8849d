// The workbook writer. openpyxl reads a workbook and takes the assignments;
// its own save would rebuild the file from what it models and drop the rest
// (cached formula results, rich text, extension lists, exact digits of
// numbers). So the file is written from the original package instead: every
// zip member is copied as it was, except the worksheet parts holding changed
// cells, and in those only the changed cells' elements are rewritten.
//
// Anything this writer cannot edit with certainty goes to the library's save
// instead (a fall-back), which is what the workbook got before.
#include "content/workbook.h"

#include "content/office_text.h"
#include "content/package.h"
#include "platform/fs.h"
#include "py/ops.h"
#include "py/scope.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tw::content {

namespace {

// Outcome of a planning step: go on, or leave the workbook to the library's
// save; -1 is an error with the exception set.
constexpr int kDone = 0;
constexpr int kFallBack = 1;

// A workbook uses one of two vocabularies: transitional or strict.
struct Flavour {
    const char* main;
    const char* relationships;
};
constexpr Flavour kFlavours[] = {
    {"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
     "http://schemas.openxmlformats.org/officeDocument/2006/relationships"},
    {"http://purl.oclc.org/ooxml/spreadsheetml/main",
     "http://purl.oclc.org/ooxml/officeDocument/relationships"},
};
constexpr const char* kPackageRelationships =
    "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kContentTypes =
    "http://schemas.openxmlformats.org/package/2006/content-types";
constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

// The library takes the workbook part from the first of these content types
// that the package declares, in this order.
constexpr const char* kWorkbookTypes[] = {
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
};

// ---------------------------------------------------------------- text

bool to_utf8(PyObject* text, std::string& out)
{
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.100s", Py_TYPE(text)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data)
        return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

py::Ref from_utf8(std::string_view text)
{
    return py::Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// "{namespace}local", the form lxml gives qualified names in.
py::Ref qualified(const char* ns, const char* local)
{
    return py::Ref::steal(PyUnicode_FromFormat("{%s}%s", ns, local));
}

py::Ref import(const char* name) { return py::Ref::steal(PyImport_ImportModule(name)); }

// ---------------------------------------------------------------- XML

// An element's tag split into namespace and local name.
struct Tag {
    std::string ns, local;
};

// 1 for an element (tag filled), 0 for a comment or processing instruction
// (their tag is not a string), -1 on error.
int tag_of(PyObject* node, Tag& out)
{
    py::Ref tag = py::getattr(node, "tag"_id);
    if (!tag)
        return -1;
    if (!PyUnicode_Check(tag.get()))
        return 0;
    std::string text;
    if (!to_utf8(tag.get(), text))
        return -1;
    out.ns.clear();
    out.local = text;
    if (!text.empty() && text[0] == '{') {
        size_t close = text.find('}');
        if (close != std::string::npos) {
            out.ns = text.substr(1, close - 1);
            out.local = text.substr(close + 1);
        }
    }
    return 1;
}

// element.get(name) as text: 1 when present, 0 when absent, -1 on error.
int read_attribute(PyObject* element, py::Arg name, std::string& out)
{
    py::Ref value = py::call_method(element, "get"_id, name);
    if (!value)
        return -1;
    if (value.get() == Py_None)
        return 0;
    return to_utf8(value.get(), out) ? 1 : -1;
}

int set_attribute(PyObject* element, py::Arg name, py::Arg value)
{
    return py::call_method(element, "set"_id, name, value) ? 0 : -1;
}

int drop_attribute(PyObject* element, py::Id name)
{
    py::Ref attrib = py::getattr(element, "attrib"_id);
    return attrib && py::call_method(attrib.get(), "pop"_id, name, Py_None) ? 0 : -1;
}

// lxml with entity expansion and network access off; keeps comments,
// processing instructions and whitespace, so a part written back says
// what it said before.
struct Xml {
    py::Ref etree;
    py::Ref parser;
    py::Ref element;  // etree.Element, the node-type filter for elements only
};

int open_xml(Xml& xml)
{
    xml.etree = import("lxml.etree");
    py::Ref parser_type = xml.etree ? py::getattr(xml.etree.get(), "XMLParser"_id) : py::Ref();
    if (!parser_type)
        return -1;
    xml.parser = py::call_kw(parser_type.get(), {},
                             {{"resolve_entities"_id, Py_False}, {"no_network"_id, Py_True}});
    xml.element = xml.parser ? py::getattr(xml.etree.get(), "Element"_id) : py::Ref();
    return xml.element ? 0 : -1;
}

// The element children of `parent`, in document order: no comments or
// processing instructions.
int element_children(const Xml& xml, PyObject* parent, std::vector<py::Ref>& out)
{
    py::Ref iterchildren = py::getattr(parent, "iterchildren"_id);
    py::Ref children = iterchildren ? py::call_kw(iterchildren.get(), {}, {{"tag"_id, xml.element}})
                                    : py::Ref();
    if (!children)
        return -1;
    return py::for_each(children.get(), [&](PyObject* child) {
        out.push_back(py::Ref::borrow(child));
        return 0;
    });
}

// A part with a document type declaration is not edited: workbook parts
// never carry one, and its entities would not survive the round trip.
int parse_part(const Xml& xml, PyObject* data, py::Ref& root)
{
    root = py::call_method(xml.etree.get(), "fromstring"_id, data, xml.parser);
    py::Ref tree = root ? py::call_method(root.get(), "getroottree"_id) : py::Ref();
    py::Ref docinfo = tree ? py::getattr(tree.get(), "docinfo"_id) : py::Ref();
    py::Ref doctype = docinfo ? py::getattr(docinfo.get(), "doctype"_id) : py::Ref();
    int declared = doctype ? py::truth(doctype.get()) : -1;
    if (declared < 0)
        return -1;
    return declared ? kFallBack : kDone;
}

// The whole document again, with its declared encoding and standalone flag.
py::Ref serialize(const Xml& xml, PyObject* root)
{
    py::Ref tree = py::call_method(root, "getroottree"_id);
    py::Ref docinfo = tree ? py::getattr(tree.get(), "docinfo"_id) : py::Ref();
    py::Ref encoding = docinfo ? py::getattr(docinfo.get(), "encoding"_id) : py::Ref();
    py::Ref standalone = encoding ? py::getattr(docinfo.get(), "standalone"_id) : py::Ref();
    py::Ref tostring = standalone ? py::getattr(xml.etree.get(), "tostring"_id) : py::Ref();
    if (!tostring)
        return {};
    return py::call_kw(tostring.get(), {tree},
                       {{"xml_declaration"_id, Py_True},
                        {"encoding"_id, encoding},
                        {"standalone"_id, standalone}});
}

// etree.SubElement(parent, tag): made inside the document, so it takes the
// namespace prefixes already declared there instead of declaring its own.
py::Ref add_child(const Xml& xml, PyObject* parent, PyObject* tag)
{
    py::Ref make = py::getattr(xml.etree.get(), "SubElement"_id);
    return make ? py::call(make.get(), parent, tag) : py::Ref();
}

// ---------------------------------------------------------------- package

struct Package {
    py::Ref zip;                              // ZipFile over the bytes read
    std::vector<py::Ref> infos;               // members in archive order
    std::vector<std::string> names;           // their names
    std::set<std::string> present;
    std::map<std::string, py::Ref> replaced;  // member -> its new bytes
    std::set<std::string> dropped;            // members not written

    py::Ref read(const std::string& name) const
    {
        py::Ref key = from_utf8(name);
        return key ? py::call_method(zip.get(), "read"_id, key) : py::Ref();
    }
};

// The package as it is now, held in memory: the file itself is not kept
// open, so that it can be replaced (a platform may refuse to replace an
// open file). Members with duplicate names or encryption are not edited,
// and every member is read once here, so a damaged one is found before
// anything is written.
int open_package(PyObject* file_path, Package& package)
{
    py::Ref data = py::read_whole_file(file_path);
    py::Ref io = data ? import("io") : py::Ref();
    py::Ref stream = io ? py::call_method(io.get(), "BytesIO"_id, data) : py::Ref();
    py::Ref zipfile = stream ? import("zipfile") : py::Ref();
    package.zip = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, stream) : py::Ref();
    py::Ref infos = package.zip ? py::call_method(package.zip.get(), "infolist"_id) : py::Ref();
    if (!infos)
        return -1;
    bool unsafe = false;
    int status = py::for_each(infos.get(), [&](PyObject* info) {
        py::Ref filename = py::getattr(info, "filename"_id);
        py::Ref flags = filename ? py::getattr(info, "flag_bits"_id) : py::Ref();
        std::string name;
        if (!flags || !to_utf8(filename.get(), name))
            return -1;
        long bits = PyLong_AsLong(flags.get());
        if (bits == -1 && PyErr_Occurred())
            return -1;
        if ((bits & 0x1) || !package.present.insert(name).second) {
            unsafe = true;
            return 1;
        }
        if (!py::call_method(package.zip.get(), "read"_id, info))
            return -1;
        package.infos.push_back(py::Ref::borrow(info));
        package.names.push_back(std::move(name));
        return 0;
    });
    if (status < 0)
        return -1;
    return unsafe ? kFallBack : kDone;
}

// Parses member `name`; a missing member or a declared document type is a
// fall-back.
int parse_member(const Xml& xml, const Package& package, const std::string& name, py::Ref& root)
{
    if (!package.present.count(name))
        return kFallBack;
    py::Ref data = package.read(name);
    if (!data)
        return -1;
    return parse_part(xml, data.get(), root);
}

// Copies the member's name, time stamp, compression, attributes, comment
// and extra fields; the sizes and the zip64 record are the writer's to set.
py::Ref copy_info(PyObject* zip_info_type, PyObject* info)
{
    py::Ref filename = py::getattr(info, "filename"_id);
    py::Ref date_time = filename ? py::getattr(info, "date_time"_id) : py::Ref();
    py::Ref copy = date_time ? py::call(zip_info_type, filename, date_time) : py::Ref();
    if (!copy)
        return {};
    for (py::Id name : {"compress_type"_id, "comment"_id, "create_system"_id,
                        "external_attr"_id, "internal_attr"_id}) {
        py::Ref value = py::getattr(info, name);
        if (!value || py::setattr(copy.get(), name, value.get()) < 0)
            return {};
    }
    py::Ref extra = py::getattr(info, "extra"_id);
    if (!extra)
        return {};
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(extra.get(), &bytes, &size) < 0)
        return {};
    std::string kept;
    for (Py_ssize_t at = 0; at + 4 <= size;) {
        auto byte = [&](Py_ssize_t i) { return static_cast<unsigned char>(bytes[i]); };
        unsigned id = byte(at) | (byte(at + 1) << 8);
        Py_ssize_t length = byte(at + 2) | (byte(at + 3) << 8);
        if (at + 4 + length > size)
            break;
        if (id != 0x0001)
            kept.append(bytes + at, static_cast<size_t>(4 + length));
        at += 4 + length;
    }
    py::Ref new_extra = py::Ref::steal(
        PyBytes_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size())));
    if (!new_extra || py::setattr(copy.get(), "extra"_id, new_extra.get()) < 0)
        return {};
    return copy;
}

int write_members(PyObject* out, PyObject* zip_info_type, const Package& package)
{
    for (size_t i = 0; i < package.infos.size(); ++i) {
        const std::string& name = package.names[i];
        if (package.dropped.count(name))
            continue;
        auto replaced = package.replaced.find(name);
        py::Ref data = replaced != package.replaced.end()
                           ? replaced->second
                           : py::call_method(package.zip.get(), "read"_id, package.infos[i]);
        py::Ref info = data ? copy_info(zip_info_type, package.infos[i].get()) : py::Ref();
        if (!info || !py::call_method(out, "writestr"_id, info, data))
            return -1;
    }
    py::Ref comment = py::getattr(package.zip.get(), "comment"_id);
    return comment ? py::setattr(out, "comment"_id, comment.get()) : -1;
}

// Writes the package, in its member order, to the temporary path.
int write_package(PyObject* temp_path, const Package& package)
{
    py::Ref zipfile = import("zipfile");
    py::Ref zip_info_type = zipfile ? py::getattr(zipfile.get(), "ZipInfo"_id) : py::Ref();
    py::Ref out = zip_info_type ? py::call_method(zipfile.get(), "ZipFile"_id, temp_path, "w"_id)
                                : py::Ref();
    if (!out)
        return -1;
    int status = py::with_scope(out.get(), [&](PyObject* entered) {
        return write_members(entered, zip_info_type.get(), package);
    });
    return status > 0 ? py::incomplete_after_suppressed_error() : status;
}

// ---------------------------------------------------------------- relationships

struct Relationship {
    std::string type;
    std::string target;  // the member it points to
    py::Ref element;
};

struct Relationships {
    std::string part;
    py::Ref root;
    std::map<std::string, Relationship> by_id;
};

// "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels"
std::string relationships_part_of(const std::string& part)
{
    size_t slash = part.rfind('/');
    if (slash == std::string::npos)
        return "_rels/" + part + ".rels";
    return part.substr(0, slash) + "/_rels/" + part.substr(slash + 1) + ".rels";
}

// A relative target is resolved against the folder of the part that owns
// the relationships (the folder above "_rels"), as the library does.
int resolve_target(const std::string& relationships_part, const std::string& target,
                   std::string& out)
{
    if (!target.empty() && target[0] == '/') {
        out = target.substr(1);
        return 0;
    }
    std::string folder = relationships_part.substr(0, relationships_part.rfind('/') + 1);
    if (!folder.empty())
        folder.pop_back();
    size_t slash = folder.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : folder.substr(0, slash);
    py::Ref posixpath = import("posixpath");
    py::Ref parent_text = posixpath ? from_utf8(parent) : py::Ref();
    py::Ref target_text = parent_text ? from_utf8(target) : py::Ref();
    py::Ref joined = target_text ? py::call_method(posixpath.get(), "join"_id, parent_text,
                                                   target_text)
                                 : py::Ref();
    py::Ref normal = joined ? py::call_method(posixpath.get(), "normpath"_id, joined) : py::Ref();
    return normal && to_utf8(normal.get(), out) ? 0 : -1;
}

int read_relationship(PyObject* element, Relationships& rels)
{
    std::string id, mode;
    Relationship rel;
    int has_id = read_attribute(element, "Id"_id, id);
    int has_type = has_id >= 0 ? read_attribute(element, "Type"_id, rel.type) : -1;
    int has_target = has_type >= 0 ? read_attribute(element, "Target"_id, rel.target) : -1;
    int has_mode = has_target >= 0 ? read_attribute(element, "TargetMode"_id, mode) : -1;
    if (has_mode < 0)
        return -1;
    if (has_id == 0 || has_target == 0 || (has_mode > 0 && mode == "External"))
        return 0;
    if (resolve_target(rels.part, rel.target, rel.target) < 0)
        return -1;
    rel.element = py::Ref::borrow(element);
    rels.by_id[id] = std::move(rel);
    return 0;
}

int load_relationships(const Xml& xml, const Package& package, const std::string& owner,
                       Relationships& rels)
{
    rels.part = relationships_part_of(owner);
    int parsed = parse_member(xml, package, rels.part, rels.root);
    if (parsed != kDone)
        return parsed;
    std::vector<py::Ref> children;
    if (element_children(xml, rels.root.get(), children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        Tag tag;
        if (tag_of(child.get(), tag) < 0)
            return -1;
        if (tag.ns == kPackageRelationships && tag.local == "Relationship" &&
            read_relationship(child.get(), rels) < 0)
            return -1;
    }
    return kDone;
}

// ---------------------------------------------------------------- workbook part

struct ContentTypes {
    py::Ref root;
    std::vector<std::pair<std::string, py::Ref>> overrides;  // part name, element
};

int find_workbook_part(const Xml& xml, const Package& package, ContentTypes& types,
                       std::string& part)
{
    int parsed = parse_member(xml, package, "[Content_Types].xml", types.root);
    if (parsed != kDone)
        return parsed;
    std::vector<py::Ref> children;
    if (element_children(xml, types.root.get(), children) < 0)
        return -1;
    std::vector<std::pair<std::string, std::string>> overrides;  // content type, part name
    std::set<std::string> defaults;
    for (const py::Ref& child : children) {
        Tag tag;
        std::string type, name;
        if (tag_of(child.get(), tag) < 0 || read_attribute(child.get(), "ContentType"_id, type) < 0)
            return -1;
        if (tag.ns != kContentTypes)
            continue;
        if (tag.local == "Default")
            defaults.insert(type);
        if (tag.local != "Override")
            continue;
        if (read_attribute(child.get(), "PartName"_id, name) < 0)
            return -1;
        overrides.emplace_back(type, name);
        types.overrides.emplace_back(name, child);
    }
    for (const char* wanted : kWorkbookTypes)
        for (const auto& [type, name] : overrides)
            if (type == wanted && !name.empty()) {
                part = name.substr(1);
                return kDone;
            }
    for (const char* wanted : kWorkbookTypes)
        if (defaults.count(wanted)) {
            part = "xl/workbook.xml";
            return kDone;
        }
    return kFallBack;
}

const Flavour* flavour_of(const Tag& tag)
{
    for (const Flavour& flavour : kFlavours)
        if (tag.ns == flavour.main)
            return &flavour;
    return nullptr;
}

struct SheetPart {
    std::string title;
    std::string part;
};

// The worksheets in the workbook's order, each with its part, found the way
// the library finds them: through the sheet's relationship, skipping sheets
// without one, parts the package lacks, and chart sheets.
int list_worksheets(const Xml& xml, PyObject* workbook, const Flavour& flavour,
                    const Relationships& rels, const Package& package, std::vector<SheetPart>& out)
{
    py::Ref sheets_tag = qualified(flavour.main, "sheets");
    py::Ref sheets = sheets_tag ? py::call_method(workbook, "find"_id, sheets_tag) : py::Ref();
    py::Ref id_name = sheets ? qualified(flavour.relationships, "id") : py::Ref();
    if (!id_name)
        return -1;
    if (sheets.get() == Py_None)
        return kDone;
    std::vector<py::Ref> children;
    if (element_children(xml, sheets.get(), children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        Tag tag;
        SheetPart sheet;
        std::string id;
        if (tag_of(child.get(), tag) < 0)
            return -1;
        if (tag.ns != flavour.main || tag.local != "sheet")
            continue;
        int has_id = read_attribute(child.get(), id_name, id);
        if (has_id < 0 || read_attribute(child.get(), "name"_id, sheet.title) < 0)
            return -1;
        if (has_id == 0 || id.empty())
            continue;
        auto rel = rels.by_id.find(id);
        if (rel == rels.by_id.end())
            return kFallBack;
        if (!package.present.count(rel->second.target) ||
            rel->second.type.find("chartsheet") != std::string::npos)
            continue;
        sheet.part = rel->second.target;
        out.push_back(std::move(sheet));
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
    for (size_t i = 0; i < sheets.size(); ++i) {
        py::Ref title = py::getattr(PyList_GET_ITEM(list.get(), i), "title"_id);
        std::string text;
        if (!title || !to_utf8(title.get(), text))
            return -1;
        if (text != sheets[i].title)
            return kFallBack;
    }
    return kDone;
}

// ---------------------------------------------------------------- sheet cells

// Qualified names of one sheet's vocabulary.
struct SheetNames {
    py::Ref row, c, f, v, is, t;
    std::string ns;

    int make(const char* main)
    {
        ns = main;
        row = qualified(main, "row");
        c = row ? qualified(main, "c") : py::Ref();
        f = c ? qualified(main, "f") : py::Ref();
        v = f ? qualified(main, "v") : py::Ref();
        is = v ? qualified(main, "is") : py::Ref();
        t = is ? qualified(main, "t") : py::Ref();
        return t ? 0 : -1;
    }
};

using Position = std::pair<long long, long long>;  // row, column

// A cell reference as the library reads it ("AB12", letters in either
// case). Anything else is left to the library's save.
bool parse_reference(std::string_view text, Position& out)
{
    size_t i = 0;
    long long column = 0;
    for (; i < text.size() && i < 4; ++i) {
        char ch = text[i];
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        if (ch < 'A' || ch > 'Z')
            break;
        column = column * 26 + (ch - 'A' + 1);
    }
    size_t digits = text.size() - i;
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

bool parse_row_number(std::string_view text, long long& out)
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

// Calls visit(position, element) for every child of every row, numbered as
// the library numbers them: a row or cell without `r` follows the one
// before it. visit returns kDone, kFallBack or -1.
template <class Visit>
int walk_cells(const Xml& xml, PyObject* root, const SheetNames& names, Visit&& visit)
{
    py::Ref rows = py::call_method(root, "iter"_id, names.row);
    if (!rows)
        return -1;
    long long row_number = 0;
    int outcome = kDone;
    int status = py::for_each(rows.get(), [&](PyObject* row) {
        std::string text;
        int has_r = read_attribute(row, "r"_id, text);
        if (has_r < 0)
            return -1;
        if (has_r == 0)
            ++row_number;
        else if (!parse_row_number(text, row_number))
            return outcome = kFallBack;
        std::vector<py::Ref> cells;
        if (element_children(xml, row, cells) < 0)
            return -1;
        long long column = 0;
        for (const py::Ref& cell : cells) {
            Position position{row_number, column + 1};
            int has_ref = read_attribute(cell.get(), "r"_id, text);
            if (has_ref < 0)
                return -1;
            if (has_ref > 0 && !text.empty() && !parse_reference(text, position))
                return outcome = kFallBack;
            column = position.second;
            outcome = visit(position, cell.get());
            if (outcome != kDone)
                return outcome < 0 ? -1 : 1;
        }
        return 0;
    });
    return status < 0 ? -1 : outcome;
}

// Where a changed cell's element is; found exactly once or not edited.
struct Spot {
    const ChangedCell* cell = nullptr;
    py::Ref element;
    int found = 0;
};

// The formula element of a cell, when it belongs to a shared formula:
// 1 with `group` set, 0 when not, -1 on error. `has_text` tells the cell
// that holds the group's formula from the cells that borrow it.
int shared_formula(PyObject* cell, const SheetNames& names, std::string& group, bool& has_text)
{
    py::Ref f = py::call_method(cell, "find"_id, names.f);
    if (!f)
        return -1;
    if (f.get() == Py_None)
        return 0;
    std::string type;
    int typed = read_attribute(f.get(), "t"_id, type);
    if (typed <= 0 || type != "shared")
        return typed < 0 ? -1 : 0;
    if (read_attribute(f.get(), "si"_id, group) < 0)
        return -1;
    py::Ref text = py::getattr(f.get(), "text"_id);
    if (!text)
        return -1;
    has_text = text.get() != Py_None && PyUnicode_GET_LENGTH(text.get()) > 0;
    return 1;
}

// A cell that borrowed a changed cell's shared formula gets the formula
// written out, as the library translated it for this cell; its cached
// result stays, since the formula means what it meant.
int write_out_borrowed_formula(PyObject* cell, PyObject* sheet, Position position,
                               const SheetNames& names)
{
    py::Ref row = py::Ref::steal(PyLong_FromLongLong(position.first));
    py::Ref column = row ? py::Ref::steal(PyLong_FromLongLong(position.second)) : py::Ref();
    py::Ref cell_at = column ? py::getattr(sheet, "cell"_id) : py::Ref();
    py::Ref model;
    if (cell_at)
        model = py::call_kw(cell_at.get(), {}, {{"row"_id, row}, {"column"_id, column}});
    py::Ref value = model ? py::getattr(model.get(), "value"_id) : py::Ref();
    if (!value)
        return -1;
    if (!PyUnicode_CheckExact(value.get()) || PyUnicode_GET_LENGTH(value.get()) < 2 ||
        PyUnicode_READ_CHAR(value.get(), 0) != '=')
        return kFallBack;
    py::Ref text = py::Ref::steal(PyUnicode_Substring(value.get(), 1, PY_SSIZE_T_MAX));
    py::Ref f = text ? py::call_method(cell, "find"_id, names.f) : py::Ref();
    if (!f)
        return -1;
    for (py::Id name : {"t"_id, "si"_id, "ref"_id})
        if (drop_attribute(f.get(), name) < 0)
            return -1;
    return py::setattr(f.get(), "text"_id, text.get()) < 0 ? -1 : kDone;
}

// Groups whose formula text sits in a changed cell lose it: every other
// cell of such a group gets its own formula.
int release_shared_formulas(const Xml& xml, PyObject* root, PyObject* sheet,
                            const SheetNames& names, const std::map<Position, Spot>& spots)
{
    std::set<std::string> groups;
    for (const auto& [position, spot] : spots) {
        std::string group;
        bool has_text = false;
        int shared = shared_formula(spot.element.get(), names, group, has_text);
        if (shared < 0)
            return -1;
        if (shared && has_text)
            groups.insert(group);
    }
    if (groups.empty())
        return kDone;
    return walk_cells(xml, root, names, [&](Position position, PyObject* cell) {
        if (spots.count(position))
            return kDone;
        std::string group;
        bool has_text = false;
        int shared = shared_formula(cell, names, group, has_text);
        if (shared <= 0 || !groups.count(group))
            return shared < 0 ? -1 : kDone;
        if (has_text)  // a second formula text for one group: unclear which one counts
            return kFallBack;
        return write_out_borrowed_formula(cell, sheet, position, names);
    });
}

// The cell's value as the assignment left it: a string (inline, as the
// library writes strings), a formula without a cached result, or an error
// value. The element keeps its `r`, its style and any other attribute;
// what described the old value (its type, value metadata, f, v, is) goes.
int rewrite_cell(const Xml& xml, PyObject* cell, const ChangedCell& change,
                 const SheetNames& names, bool& had_formula)
{
    PyObject* value = change.value.get();
    if (!PyUnicode_CheckExact(value))
        return kFallBack;
    std::string data_type;
    if (!to_utf8(change.data_type.get(), data_type))
        return -1;
    if (data_type != "s" && data_type != "f" && data_type != "e")
        return kFallBack;
    std::vector<py::Ref> children;
    if (element_children(xml, cell, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        py::Ref tag = py::getattr(child.get(), "tag"_id);
        if (!tag)
            return -1;
        bool is_f = PyUnicode_Compare(tag.get(), names.f.get()) == 0;
        if (is_f || PyUnicode_Compare(tag.get(), names.v.get()) == 0 ||
            PyUnicode_Compare(tag.get(), names.is.get()) == 0) {
            had_formula = had_formula || is_f;
            if (!py::call_method(cell, "remove"_id, child))
                return -1;
        }
    }
    for (py::Id name : {"t"_id, "cm"_id, "vm"_id})
        if (drop_attribute(cell, name) < 0)
            return -1;
    if (PyUnicode_GET_LENGTH(value) == 0)
        return kDone;  // what the library reads back from its own save: an empty cell
    py::Ref holder, text_value = change.value;
    if (data_type == "s") {
        if (set_attribute(cell, "t"_id, "inlineStr"_id) < 0)
            return -1;
        holder = add_child(xml, cell, names.is.get());
        py::Ref t = holder ? add_child(xml, holder.get(), names.t.get()) : py::Ref();
        py::Ref space = t ? qualified(kXmlNamespace, "space") : py::Ref();
        if (!space || set_attribute(t.get(), space, "preserve"_id) < 0 ||
            py::setattr(t.get(), "text"_id, value) < 0)
            return -1;
    } else if (data_type == "f") {
        holder = add_child(xml, cell, names.f.get());
        text_value = holder ? py::Ref::steal(PyUnicode_Substring(value, 1, PY_SSIZE_T_MAX))
                            : py::Ref();
        if (!text_value || py::setattr(holder.get(), "text"_id, text_value.get()) < 0)
            return -1;
    } else {
        if (set_attribute(cell, "t"_id, "e"_id) < 0)
            return -1;
        holder = add_child(xml, cell, names.v.get());
        if (!holder || py::setattr(holder.get(), "text"_id, value) < 0)
            return -1;
    }
    // Value elements come before any extension list of the cell.
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    return zero && py::call_method(cell, "insert"_id, zero, holder) ? kDone : -1;
}

// Rewrites the changed cells of one worksheet part.
int edit_sheet(const Xml& xml, Package& package, const std::string& part, PyObject* sheet,
               const std::vector<const ChangedCell*>& cells, bool& had_formula)
{
    py::Ref root;
    int parsed = parse_member(xml, package, part, root);
    if (parsed != kDone)
        return parsed;
    Tag tag;
    if (tag_of(root.get(), tag) < 0)
        return -1;
    const Flavour* flavour = flavour_of(tag);
    if (!flavour || tag.local != "worksheet")
        return kFallBack;
    SheetNames names;
    if (names.make(flavour->main) < 0)
        return -1;
    std::map<Position, Spot> spots;
    for (const ChangedCell* cell : cells)
        spots[{cell->row, cell->column}].cell = cell;
    int walked = walk_cells(xml, root.get(), names, [&](Position position, PyObject* element) {
        auto spot = spots.find(position);
        if (spot != spots.end()) {
            spot->second.element = py::Ref::borrow(element);
            ++spot->second.found;
        }
        return kDone;
    });
    if (walked != kDone)
        return walked;
    for (const auto& [position, spot] : spots) {
        Tag cell_tag;
        if (spot.found != 1)
            return kFallBack;
        if (tag_of(spot.element.get(), cell_tag) < 0)
            return -1;
        if (cell_tag.ns != names.ns || cell_tag.local != "c")
            return kFallBack;
    }
    int released = release_shared_formulas(xml, root.get(), sheet, names, spots);
    if (released != kDone)
        return released;
    for (const auto& [position, spot] : spots) {
        int rewritten = rewrite_cell(xml, spot.element.get(), *spot.cell, names, had_formula);
        if (rewritten != kDone)
            return rewritten;
    }
    py::Ref data = serialize(xml, root.get());
    if (!data)
        return -1;
    package.replaced[part] = data;
    return kDone;
}

// ---------------------------------------------------------------- recalculation

// Elements that follow calcPr in a workbook part.
constexpr const char* kAfterCalcPr[] = {
    "oleSize",       "customWorkbookViews", "pivotCaches",       "smartTagPr", "smartTagTypes",
    "webPublishing", "fileRecoveryPr",      "webPublishObjects", "extLst",
};

// Adds an empty calcPr where the workbook's element order puts it.
py::Ref add_calc_settings(const Xml& xml, PyObject* workbook, PyObject* tag, const Flavour& flavour)
{
    std::vector<py::Ref> children;
    if (element_children(xml, workbook, children) < 0)
        return {};
    size_t index = 0;
    for (; index < children.size(); ++index) {
        Tag child;
        if (tag_of(children[index].get(), child) < 0)
            return {};
        bool later = false;
        for (const char* name : kAfterCalcPr)
            later = later || (child.ns == flavour.main && child.local == name);
        if (later)
            break;
    }
    py::Ref calc = add_child(xml, workbook, tag);
    py::Ref at = calc ? py::Ref::steal(PyLong_FromSize_t(index)) : py::Ref();
    if (!at || !py::call_method(workbook, "insert"_id, at, calc))
        return {};
    return calc;
}

// Results cached in the file may be stale now: the workbook is to be
// computed again when it is opened (calcPr fullCalcOnLoad).
int request_recalculation(const Xml& xml, Package& package, const std::string& part,
                          PyObject* workbook, const Flavour& flavour)
{
    py::Ref tag = qualified(flavour.main, "calcPr");
    py::Ref calc = tag ? py::call_method(workbook, "find"_id, tag) : py::Ref();
    if (calc && calc.get() == Py_None)
        calc = add_calc_settings(xml, workbook, tag.get(), flavour);
    std::string current;
    int has = calc ? read_attribute(calc.get(), "fullCalcOnLoad"_id, current) : -1;
    if (has < 0)
        return -1;
    if (has > 0 && (current == "1" || current == "true"))
        return kDone;
    if (set_attribute(calc.get(), "fullCalcOnLoad"_id, "1"_id) < 0)
        return -1;
    py::Ref data = serialize(xml, workbook);
    if (!data)
        return -1;
    package.replaced[part] = data;
    return kDone;
}

bool ends_with(const std::string& text, std::string_view end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool same_part_name(std::string a, std::string b)
{
    for (std::string* text : {&a, &b})
        for (char& ch : *text)
            if (ch >= 'A' && ch <= 'Z')
                ch = static_cast<char>(ch - 'A' + 'a');
    return a == b;
}

// The calculation chain lists the cells holding formulas in the order last
// computed; after a formula changed it is dropped with its relationship and
// content type, and the application builds it again.
int drop_calculation_chain(const Xml& xml, Package& package, Relationships& rels,
                           ContentTypes& types)
{
    bool dropped = false;
    for (const auto& [id, rel] : rels.by_id) {
        if (!ends_with(rel.type, "/calcChain"))
            continue;
        py::Ref parent = py::call_method(rel.element.get(), "getparent"_id);
        if (!parent || !py::call_method(parent.get(), "remove"_id, rel.element))
            return -1;
        package.dropped.insert(rel.target);
        for (const auto& [name, element] : types.overrides)
            if (same_part_name(name, "/" + rel.target)) {
                py::Ref owner = py::call_method(element.get(), "getparent"_id);
                if (!owner)
                    return -1;
                if (owner.get() != Py_None && !py::call_method(owner.get(), "remove"_id, element))
                    return -1;
            }
        dropped = true;
    }
    if (!dropped)
        return kDone;
    py::Ref rels_data = serialize(xml, rels.root.get());
    py::Ref types_data = rels_data ? serialize(xml, types.root.get()) : py::Ref();
    if (!types_data)
        return -1;
    package.replaced[rels.part] = rels_data;
    package.replaced["[Content_Types].xml"] = types_data;
    return kDone;
}

// ---------------------------------------------------------------- plan

// What the package holds around the worksheets.
struct Layout {
    ContentTypes types;
    std::string workbook_part;
    py::Ref workbook;
    const Flavour* flavour = nullptr;
    Relationships rels;
    std::vector<SheetPart> sheets;
};

int read_layout(const Xml& xml, const Package& package, PyObject* wb, Layout& layout)
{
    int step = find_workbook_part(xml, package, layout.types, layout.workbook_part);
    if (step == kDone)
        step = parse_member(xml, package, layout.workbook_part, layout.workbook);
    if (step != kDone)
        return step;
    Tag tag;
    if (tag_of(layout.workbook.get(), tag) < 0)
        return -1;
    layout.flavour = flavour_of(tag);
    if (!layout.flavour || tag.local != "workbook")
        return kFallBack;
    step = load_relationships(xml, package, layout.workbook_part, layout.rels);
    if (step == kDone)
        step = list_worksheets(xml, layout.workbook.get(), *layout.flavour, layout.rels, package,
                               layout.sheets);
    return step == kDone ? check_titles(wb, layout.sheets) : step;
}

// Rewrites the changed cells, sheet by sheet. `had_formula` tells whether
// a rewritten cell held a formula.
int edit_sheets(const Xml& xml, Package& package, const Layout& layout,
                const WorkbookChanges& changes, bool& had_formula)
{
    std::map<Py_ssize_t, std::vector<const ChangedCell*>> by_sheet;
    for (const ChangedCell& cell : changes.cells)
        by_sheet[cell.sheet].push_back(&cell);
    py::Ref worksheets = py::getattr(changes.wb.get(), "worksheets"_id);
    if (!worksheets)
        return -1;
    const std::vector<SheetPart>& sheets = layout.sheets;
    for (const auto& [index, cells] : by_sheet) {
        if (index < 0 || index >= static_cast<Py_ssize_t>(sheets.size()))
            return kFallBack;
        const std::string& part = sheets[index].part;
        for (size_t other = 0; other < sheets.size(); ++other)
            if (static_cast<Py_ssize_t>(other) != index && sheets[other].part == part)
                return kFallBack;  // two sheets read from one part
        py::Ref sheet = py::Ref::steal(PySequence_GetItem(worksheets.get(), index));
        if (!sheet)
            return -1;
        int step = edit_sheet(xml, package, part, sheet.get(), cells, had_formula);
        if (step != kDone)
            return step;
    }
    return kDone;
}

// Decides every edit, in memory. kFallBack when any part of the package is
// not what this writer can edit with certainty.
int plan_edits(PyObject* file_path, const WorkbookChanges& changes, const Xml& xml,
               Package& package)
{
    Layout layout;
    bool had_formula = false;
    int step = open_package(file_path, package);
    if (step == kDone)
        step = read_layout(xml, package, changes.wb.get(), layout);
    if (step == kDone)
        step = edit_sheets(xml, package, layout, changes, had_formula);
    if (step != kDone)
        return step;
    bool formula_changed = had_formula;
    for (const ChangedCell& cell : changes.cells)
        formula_changed =
            formula_changed || PyUnicode_CompareWithASCIIString(cell.data_type.get(), "f") == 0;
    if (changes.has_formulas || formula_changed)
        step = request_recalculation(xml, package, layout.workbook_part, layout.workbook.get(),
                                     *layout.flavour);
    if (step == kDone && formula_changed)
        step = drop_calculation_chain(xml, package, layout.rels, layout.types);
    return step;
}

}  // namespace

int write_changed_cells(PyObject* file_path, const WorkbookChanges& changes)
{
    // The package is read again here, every member inflated: it is held to
    // the same limits as when the library opened it.
    if (check_package(file_path) < 0)
        return -1;
    Xml xml;
    Package package;
    int planned = open_xml(xml) < 0 ? -1 : plan_edits(file_path, changes, xml, package);
    if (planned < 0) {
        // Whatever stopped the plan (a member that does not read, a part
        // that does not parse, a value the XML cannot hold) is the
        // library's to write or to refuse; an interrupt still ends the run.
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        planned = kFallBack;
    }
    if (planned == kFallBack)
        return save_over(changes.wb.get(), file_path);
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return write_package(temp_path, package);
    });
}

}  // namespace tw::content
