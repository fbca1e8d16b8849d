#include "content/package_copy.h"

#include "content/office_text.h"
#include "content/package_parts.h"
#include "platform/core/ascii.h"
#include "platform/fs.h"
#include "py/builtins.h"
#include "py/scope.h"

#include <algorithm>
#include <atomic>

namespace tw::content {

namespace {

constexpr const char* kRelationships = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kContentTypes = "http://schemas.openxmlformats.org/package/2006/content-types";

std::atomic<long> fallbacks{0};

py::Ref import(const char* name) { return py::Ref::steal(PyImport_ImportModule(name)); }

bool is_named(const xml::ElementName& name, const char* ns, const char* local)
{
    return name.ns == ns && name.local == local;
}

// Detaches those of `children` named {ns}local whose `key` attribute
// `drop` says to drop.
template <class Drop>
int detach_children(const std::vector<py::Ref>& children, const char* ns, const char* local, py::Id key,
                    Drop&& drop)
{
    for (const py::Ref& child : children) {
        xml::ElementName name;
        std::string value;
        int element = xml::element_name(child.get(), name);
        int has = element > 0 ? xml::attribute_text(child.get(), key, value) : element;
        if (has < 0)
            return -1;
        if (has > 0 && is_named(name, ns, local) && drop(value) && xml::detach(child.get()) < 0)
            return -1;
    }
    return 0;
}

int add_relationship_element(const xml::Parser& xml, PyObject* root, const NewRelationship& relationship)
{
    py::Ref tag = xml::clark_name(kRelationships, "Relationship");
    py::Ref child = tag ? xml::add_child(xml, root, tag.get()) : py::Ref();
    py::Ref id = child ? py::str_from_utf8(relationship.id) : py::Ref();
    py::Ref type = id ? py::str_from_utf8(relationship.type) : py::Ref();
    py::Ref target = type ? py::str_from_utf8(relationship.target) : py::Ref();
    if (!target || xml::set_attribute(child.get(), "Id"_id, id) < 0 ||
        xml::set_attribute(child.get(), "Type"_id, type) < 0 || xml::set_attribute(child.get(), "Target"_id, target) < 0)
        return -1;
    return relationship.external ? xml::set_attribute(child.get(), "TargetMode"_id, "External"_id) : 0;
}

int add_override_element(const xml::Parser& xml, PyObject* root, const std::string& member, const std::string& type)
{
    py::Ref tag = xml::clark_name(kContentTypes, "Override");
    py::Ref child = tag ? xml::add_child(xml, root, tag.get()) : py::Ref();
    py::Ref part_name = child ? py::str_from_utf8("/" + member) : py::Ref();
    py::Ref content_type = part_name ? py::str_from_utf8(type) : py::Ref();
    if (!content_type || xml::set_attribute(child.get(), "PartName"_id, part_name) < 0)
        return -1;
    return xml::set_attribute(child.get(), "ContentType"_id, content_type);
}

}  // namespace

// ---------------------------------------------------------------- reading

int PackageCopy::read(PyObject* file_path)
{
    data_ = platform::read_checked(file_path);
    py::Ref io = data_ ? import("io") : py::Ref();
    py::Ref stream = io ? py::call_method(io.get(), "BytesIO"_id, data_) : py::Ref();
    py::Ref zipfile = stream ? import("zipfile") : py::Ref();
    zip_ = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, stream) : py::Ref();
    py::Ref infos = zip_ ? py::call_method(zip_.get(), "infolist"_id) : py::Ref();
    if (!infos)
        return -1;
    if (!PyBytes_Check(data_.get())) {
        PyErr_SetString(PyExc_TypeError, "the file did not read as bytes");
        return -1;
    }
    std::string_view file(PyBytes_AS_STRING(data_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data_.get())));
    // The copy writes the archive's own records; zipfile reads the members.
    // Both must see the same members, or the copy is not certain.
    bool unsafe = !zip::read_directory(file, entries_);
    std::size_t index = 0;
    int status = unsafe ? 0 : py::for_each(infos.get(), [&](PyObject* info) {
        int taken = take_member(info, index < entries_.size() ? &entries_[index] : nullptr);
        ++index;
        unsafe = taken == kFallBack;
        return taken < 0 ? -1 : unsafe;
    });
    if (status < 0)
        return -1;
    if (unsafe || index != entries_.size())
        return kFallBack;
    std::size_t end = zip::find_end_record(file, zip::end_record_size + zip::max_comment_size);
    comment_ = std::string(zip::read_end_record(file, end).comment);
    return kDone;
}

// One member as zipfile lists it, beside `entry`, the same member as the
// directory records it. kDone, kFallBack for one that the copy cannot
// keep with certainty (encrypted, a second of one name, read otherwise
// by zipfile than by the directory), -1.
int PackageCopy::take_member(PyObject* info, const zip::Entry* entry)
{
    py::Ref filename = py::getattr(info, "filename"_id);
    py::Ref flags = filename ? py::getattr(info, "flag_bits"_id) : py::Ref();
    py::Ref offset = flags ? py::getattr(info, "header_offset"_id) : py::Ref();
    py::Ref stored = offset ? py::getattr(info, "compress_size"_id) : py::Ref();
    std::string name;
    if (!stored || !py::utf8_of(filename.get(), name))
        return -1;
    long bits = PyLong_AsLong(flags.get());
    unsigned long long at = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(offset.get());
    unsigned long long size = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(stored.get());
    if (PyErr_Occurred())
        return -1;
    if (!entry || (bits & 0x1) || at != entry->offset || size != entry->compressed || !present_.insert(name).second)
        return kFallBack;
    if (!py::call_method(zip_.get(), "read"_id, info))
        return -1;
    names_.push_back(std::move(name));
    return kDone;
}

bool PackageCopy::has(const std::string& member) const
{
    return (present_.count(member) || replaced_.count(member)) && !removed_.count(member);
}

py::Ref PackageCopy::bytes(const std::string& member) const
{
    auto replaced = replaced_.find(member);
    if (replaced != replaced_.end())
        return replaced->second;
    py::Ref key = py::str_from_utf8(member);
    return key ? py::call_method(zip_.get(), "read"_id, key) : py::Ref();
}

int PackageCopy::parse(const xml::Parser& xml, const std::string& member, py::Ref& root) const
{
    if (!has(member))
        return kFallBack;
    py::Ref data = bytes(member);
    if (!data)
        return -1;
    return xml::parse_part(xml, data.get(), root);
}

int PackageCopy::parse_children(const xml::Parser& xml, const std::string& member, py::Ref& root,
                                std::vector<py::Ref>& children) const
{
    int parsed = parse(xml, member, root);
    if (parsed != kDone)
        return parsed;
    return xml::element_children(xml, root.get(), children) < 0 ? -1 : kDone;
}

// ---------------------------------------------------------------- editing

void PackageCopy::replace(const std::string& member, py::Ref data)
{
    replaced_[member] = std::move(data);
}

void PackageCopy::add(const std::string& member, py::Ref data, std::string content_type)
{
    added_.push_back(member);
    replaced_[member] = std::move(data);
    new_overrides_.emplace_back(member, std::move(content_type));
    types_touched_ = true;
}

void PackageCopy::remove(const std::string& member)
{
    removed_.insert(member);
    types_touched_ = true;
}

void PackageCopy::add_relationship(const std::string& source, NewRelationship relationship)
{
    relationships_[source].added.push_back(std::move(relationship));
}

void PackageCopy::remove_relationship(const std::string& source, const std::string& id)
{
    relationships_[source].removed.insert(id);
}

int PackageCopy::settle(const xml::Parser& xml)
{
    for (const auto& [source, edits] : relationships_) {
        int step = settle_relationships(xml, source, edits);
        if (step != kDone)
            return step;
    }
    return types_touched_ ? settle_content_types(xml) : kDone;
}

// A part without a relationships part of its own gets none made here.
int PackageCopy::settle_relationships(const xml::Parser& xml, const std::string& source,
                                      const RelationshipEdits& edits)
{
    std::string member = parts::relationships_member_of(source);
    py::Ref root;
    std::vector<py::Ref> children;
    int parsed = parse_children(xml, member, root, children);
    if (parsed != kDone)
        return parsed;
    int detached = detach_children(children, kRelationships, "Relationship", "Id"_id,
                                   [&](const std::string& id) { return edits.removed.count(id) != 0; });
    if (detached < 0)
        return -1;
    for (const NewRelationship& relationship : edits.added)
        if (add_relationship_element(xml, root.get(), relationship) < 0)
            return -1;
    py::Ref data = xml::serialize(xml, root.get());
    if (!data)
        return -1;
    replace(member, data);
    return kDone;
}

// Overrides are matched on their part name without regard to case, as the
// libraries look them up.
int PackageCopy::settle_content_types(const xml::Parser& xml)
{
    std::set<std::string> dropped;
    for (const std::string& member : removed_)
        dropped.insert(platform::native::ascii_lowered("/" + member));
    py::Ref root;
    std::vector<py::Ref> children;
    int parsed = parse_children(xml, std::string(parts::content_types_member), root, children);
    if (parsed != kDone)
        return parsed;
    int detached = detach_children(children, kContentTypes, "Override", "PartName"_id,
                                   [&](const std::string& name) { return dropped.count(platform::native::ascii_lowered(name)) != 0; });
    if (detached < 0)
        return -1;
    for (const auto& [member, type] : new_overrides_)
        if (!removed_.count(member) && add_override_element(xml, root.get(), member, type) < 0)
            return -1;
    py::Ref data = xml::serialize(xml, root.get());
    if (!data)
        return -1;
    replace(std::string(parts::content_types_member), data);
    return kDone;
}

// ---------------------------------------------------------------- writing

// The new file, written in order, with the offset each write reached.
class PackageCopy::Output {
public:
    explicit Output(PyObject* file) : file_(file) {}
    std::uint64_t offset() const { return offset_; }

    int write(std::string_view bytes)
    {
        py::Ref view = py::Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                                              static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
        return view ? write(view.get(), bytes.size()) : -1;
    }
    int write(PyObject* data, std::size_t size)
    {
        if (!py::call_method(file_, "write"_id, data))
            return -1;
        offset_ += size;
        return 0;
    }

private:
    PyObject* file_;
    std::uint64_t offset_ = 0;
};

namespace {

// New content of a member: deflated unless the member was stored, with
// its checksum and sizes in `header`. The compressed bytes, or empty.
py::Ref compress(PyObject* zlib, PyObject* data, zip::Header& header)
{
    py::Ref crc = py::call_method(zlib, "crc32"_id, data);
    if (!crc)
        return {};
    header.crc = static_cast<std::uint32_t>(PyLong_AsUnsignedLongMask(crc.get()) & 0xffffffffu);
    header.size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(data));
    py::Ref level = py::Ref::steal(PyLong_FromLong(-1));
    py::Ref raw = level ? py::Ref::steal(PyLong_FromLong(-15)) : py::Ref();
    py::Ref packed = header.method == 0 ? py::Ref::borrow(data)
                     : raw              ? py::call_method(zlib, "compress"_id, data, level, raw)
                                        : py::Ref();
    if (packed)
        header.compressed = static_cast<std::uint64_t>(PyBytes_GET_SIZE(packed.get()));
    return packed;
}

// A member the package did not have: stamped now, deflated.
int new_header(const std::string& member, zip::Header& header)
{
    py::Ref time = import("time");
    py::Ref now = time ? py::call_method(time.get(), "localtime"_id) : py::Ref();
    int fields[6] = {};
    for (int i = 0; now && i < 6; ++i) {
        py::Ref field = py::Ref::steal(PySequence_GetItem(now.get(), i));
        fields[i] = field ? static_cast<int>(PyLong_AsLong(field.get())) : -1;
        if (PyErr_Occurred())
            return -1;
    }
    if (!now)
        return -1;
    zip::dos_stamp(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], header.date, header.time);
    header.name = member;
    bool ascii = std::all_of(member.begin(), member.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    header.flags = ascii ? 0 : 0x0800;
    return 0;
}

}  // namespace

int PackageCopy::write_new(Output& out, PyObject* zlib, zip::Header& header, PyObject* data,
                           std::string& directory) const
{
    if (!PyBytes_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "a part's new content is not bytes");
        return -1;
    }
    py::Ref packed = compress(zlib, data, header);
    if (!packed)
        return -1;
    directory += zip::central_record(header, out.offset());
    std::string local = zip::local_header(header);
    if (out.write(local) < 0)
        return -1;
    return out.write(packed.get(), header.compressed);
}

int PackageCopy::write_members(Output& out, PyObject* zlib) const
{
    std::string_view file(PyBytes_AS_STRING(data_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data_.get())));
    std::string directory, record;
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i, ++count) {
        const zip::Entry& entry = entries_[i];
        if (removed_.count(names_[i])) {
            --count;
            continue;
        }
        auto replaced = replaced_.find(names_[i]);
        if (replaced != replaced_.end()) {
            zip::Header header = zip::header_of(entry);
            if (write_new(out, zlib, header, replaced->second.get(), directory) < 0)
                return -1;
            continue;
        }
        if (!zip::relocated_record(entry, out.offset(), record)) {
            PyErr_SetString(PyExc_ValueError, "a member's directory entry cannot take its new offset");
            return -1;
        }
        directory += record;
        if (out.write(file.substr(static_cast<std::size_t>(entry.offset), static_cast<std::size_t>(entry.span))) < 0)
            return -1;
    }
    for (const std::string& member : added_) {
        if (removed_.count(member))
            continue;
        zip::Header header;
        if (new_header(member, header) < 0 || write_new(out, zlib, header, replaced_.at(member).get(), directory) < 0)
            return -1;
        ++count;
    }
    std::uint64_t directory_offset = out.offset();
    if (out.write(directory) < 0)
        return -1;
    std::string end = zip::end_records(count, directory_offset, directory.size(), comment_);
    return out.write(end);
}

int PackageCopy::write(PyObject* temp_path) const
{
    py::Ref zlib = import("zlib");
    if (!zlib)
        return -1;
    return py::with_file_written(temp_path, "wb"_id, [&](PyObject* file) {
        Output out(file);
        return write_members(out, zlib.get());
    });
}

int write_copy_or_save(PyObject* file_path, const PackageCopy& copy, int planned, PyObject* document)
{
    if (planned == kFallBack) {
        ++fallbacks;
        return save_over(document, file_path);
    }
    return platform::replace_file(file_path, [&](PyObject* temp_path) { return copy.write(temp_path); });
}

long library_saves()
{
    return fallbacks.load();
}

}  // namespace tw::content
