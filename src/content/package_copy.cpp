#include "content/package_copy.h"

#include "content/office_text.h"
#include "content/package_parts.h"
#include "platform/fs.h"
#include "py/scope.h"

#include <atomic>

namespace tw::content {

namespace {

constexpr const char* kRelationships = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kContentTypes = "http://schemas.openxmlformats.org/package/2006/content-types";

std::atomic<long> fallbacks{0};

py::Ref import(const char* name) { return py::Ref::steal(PyImport_ImportModule(name)); }

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return text;
}

// The extra fields of a member but its zip64 record, which the writer
// makes again when the sizes need one.
py::Ref extra_without_zip64(PyObject* info)
{
    py::Ref extra = py::getattr(info, "extra"_id);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (!extra || PyBytes_AsStringAndSize(extra.get(), &bytes, &size) < 0)
        return {};
    std::string kept;
    for (Py_ssize_t at = 0; at + 4 <= size;) {
        auto byte = [&](Py_ssize_t i) { return static_cast<unsigned char>(bytes[i]); };
        unsigned id = byte(at) | (byte(at + 1) << 8);
        Py_ssize_t length = byte(at + 2) | (byte(at + 3) << 8);
        if (at + 4 + length > size)
            break;
        if (id != 0x0001)
            kept.append(bytes + at, static_cast<std::size_t>(4 + length));
        at += 4 + length;
    }
    return py::Ref::steal(PyBytes_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size())));
}

// Copies the member's name, time stamp, compression, attributes, comment
// and extra fields; the sizes are the writer's to set.
py::Ref copy_info(PyObject* zip_info_type, PyObject* info)
{
    py::Ref filename = py::getattr(info, "filename"_id);
    py::Ref date_time = filename ? py::getattr(info, "date_time"_id) : py::Ref();
    py::Ref copy = date_time ? py::call(zip_info_type, filename, date_time) : py::Ref();
    if (!copy)
        return {};
    for (py::Id name : {"compress_type"_id, "comment"_id, "create_system"_id, "external_attr"_id, "internal_attr"_id}) {
        py::Ref value = py::getattr(info, name);
        if (!value || py::setattr(copy.get(), name, value.get()) < 0)
            return {};
    }
    py::Ref extra = extra_without_zip64(info);
    if (!extra || py::setattr(copy.get(), "extra"_id, extra.get()) < 0)
        return {};
    return copy;
}

// A member the package did not have: stamped now, deflated.
py::Ref new_info(PyObject* zipfile, const std::string& member)
{
    py::Ref time = import("time");
    py::Ref now = time ? py::call_method(time.get(), "localtime"_id) : py::Ref();
    py::Ref stamp = now ? py::Ref::steal(PySequence_GetSlice(now.get(), 0, 6)) : py::Ref();
    py::Ref name = stamp ? py::str_from_utf8(member) : py::Ref();
    py::Ref info = name ? py::call_method(zipfile, "ZipInfo"_id, name, stamp) : py::Ref();
    py::Ref deflated = info ? py::getattr(zipfile, "ZIP_DEFLATED"_id) : py::Ref();
    if (!deflated || py::setattr(info.get(), "compress_type"_id, deflated.get()) < 0)
        return {};
    return info;
}

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
    py::Ref data = py::read_whole_file(file_path);
    py::Ref io = data ? import("io") : py::Ref();
    py::Ref stream = io ? py::call_method(io.get(), "BytesIO"_id, data) : py::Ref();
    py::Ref zipfile = stream ? import("zipfile") : py::Ref();
    zip_ = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, stream) : py::Ref();
    py::Ref infos = zip_ ? py::call_method(zip_.get(), "infolist"_id) : py::Ref();
    if (!infos)
        return -1;
    bool unsafe = false;
    int status = py::for_each(infos.get(), [&](PyObject* info) {
        py::Ref filename = py::getattr(info, "filename"_id);
        py::Ref flags = filename ? py::getattr(info, "flag_bits"_id) : py::Ref();
        std::string name;
        if (!flags || !py::utf8_of(filename.get(), name))
            return -1;
        long bits = PyLong_AsLong(flags.get());
        if (bits == -1 && PyErr_Occurred())
            return -1;
        if ((bits & 0x1) || !present_.insert(name).second) {
            unsafe = true;
            return 1;
        }
        if (!py::call_method(zip_.get(), "read"_id, info))
            return -1;
        infos_.push_back(py::Ref::borrow(info));
        names_.push_back(std::move(name));
        return 0;
    });
    if (status < 0)
        return -1;
    return unsafe ? kFallBack : kDone;
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
        dropped.insert(lower("/" + member));
    py::Ref root;
    std::vector<py::Ref> children;
    int parsed = parse_children(xml, std::string(parts::content_types_member), root, children);
    if (parsed != kDone)
        return parsed;
    int detached = detach_children(children, kContentTypes, "Override", "PartName"_id,
                                   [&](const std::string& name) { return dropped.count(lower(name)) != 0; });
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

int PackageCopy::write_members(PyObject* out, PyObject* zipfile) const
{
    py::Ref zip_info_type = py::getattr(zipfile, "ZipInfo"_id);
    if (!zip_info_type)
        return -1;
    for (std::size_t i = 0; i < infos_.size(); ++i) {
        if (removed_.count(names_[i]))
            continue;
        auto replaced = replaced_.find(names_[i]);
        py::Ref data = replaced != replaced_.end() ? replaced->second
                                                   : py::call_method(zip_.get(), "read"_id, infos_[i]);
        py::Ref info = data ? copy_info(zip_info_type.get(), infos_[i].get()) : py::Ref();
        if (!info || !py::call_method(out, "writestr"_id, info, data))
            return -1;
    }
    for (const std::string& member : added_) {
        if (removed_.count(member))
            continue;
        py::Ref info = new_info(zipfile, member);
        if (!info || !py::call_method(out, "writestr"_id, info, replaced_.at(member)))
            return -1;
    }
    py::Ref comment = py::getattr(zip_.get(), "comment"_id);
    return comment ? py::setattr(out, "comment"_id, comment.get()) : -1;
}

int PackageCopy::write(PyObject* temp_path) const
{
    py::Ref zipfile = import("zipfile");
    py::Ref out = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, temp_path, "w"_id) : py::Ref();
    if (!out)
        return -1;
    int status = py::with_scope(out.get(), [&](PyObject* entered) { return write_members(entered, zipfile.get()); });
    return status > 0 ? py::incomplete_after_suppressed_error() : status;
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
