// An office package written again from the original instead of by the
// library's save, which rebuilds the file from what the library models and
// drops the rest. Every member the copy does not change goes out as it
// was stored, byte for byte: its compressed data, its place in the order,
// its time stamp, attributes, comment and extra fields. Only the changed
// parts are new, with the relationship and content-type entries they need.
//
// The writer that uses it plans its edits first, in memory; a step it
// cannot take with certainty makes it fall back to the library's save,
// which is what the file got before, and which is counted.
#pragma once

#include "content/xml_tree.h"
#include "content/zip_records.h"
#include "py/ref.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tw::content {

// The outcome of a step of planning: go on, or leave the file to the
// library's save. -1 is an error with the exception set.
inline constexpr int kDone = 0;
inline constexpr int kFallBack = 1;

struct NewRelationship {
    std::string id, type, target;
    bool external = false;
};

class PackageCopy {
public:
    // Reads the package at `file_path` into memory, each member once, so
    // that a damaged one is found before anything is written; the file is
    // not kept open, so that it can be replaced (a platform may refuse to
    // replace an open file). kFallBack for a package with an encrypted
    // member or two members of one name, or one whose records are not laid
    // out as one plain archive (see zip::read_directory).
    int read(PyObject* file_path);

    bool has(const std::string& member) const;
    // The package's members as read, in archive order.
    const std::vector<std::string>& members() const { return names_; }
    // The member's bytes as the copy will hold them.
    py::Ref bytes(const std::string& member) const;
    // Those bytes parsed; kFallBack for a member the package lacks or one
    // that declares a document type.
    int parse(const xml::Parser& xml, const std::string& member, py::Ref& root) const;
    // parse, and the element children of the root in document order.
    int parse_children(const xml::Parser& xml, const std::string& member, py::Ref& root,
                       std::vector<py::Ref>& children) const;

    // What the copy changes. A new member goes after the others, with an
    // override of its content type; a removed one loses its override.
    void replace(const std::string& member, py::Ref data);
    void add(const std::string& member, py::Ref data, std::string content_type);
    void remove(const std::string& member);
    // Entries of the relationships part of `source` ("" for the package).
    void add_relationship(const std::string& source, NewRelationship relationship);
    void remove_relationship(const std::string& source, const std::string& id);

    // Rewrites the relationships parts and the content types for the entries
    // asked for; the last step of a plan. kDone, kFallBack or -1.
    int settle(const xml::Parser& xml);

    // The copy, written to a new file at `temp_path`: each member that is
    // not changed as its original bytes (local header, compressed data,
    // data descriptor and directory record), the others deflated anew
    // under their original header. 0, or -1.
    int write(PyObject* temp_path) const;

private:
    struct RelationshipEdits {
        std::vector<NewRelationship> added;
        std::set<std::string> removed;  // ids
    };

    class Output;

    int take_member(PyObject* info, const zip::Entry* entry);
    int settle_relationships(const xml::Parser& xml, const std::string& source, const RelationshipEdits& edits);
    int settle_content_types(const xml::Parser& xml);
    int write_new(Output& out, PyObject* zlib, zip::Header& header, PyObject* data, std::string& directory) const;
    int write_members(Output& out, PyObject* zlib) const;

    py::Ref data_;                          // the file's bytes
    py::Ref zip_;                           // ZipFile over them
    std::vector<zip::Entry> entries_;       // members in archive order, as recorded
    std::vector<std::string> names_;        // their names, as zipfile reads them
    std::string comment_;                   // the archive's
    std::set<std::string> present_;
    std::map<std::string, py::Ref> replaced_;  // member -> its new bytes
    std::vector<std::string> added_;           // new members, in order (bytes in replaced_)
    std::set<std::string> removed_;
    std::map<std::string, RelationshipEdits> relationships_;  // by source part
    std::vector<std::pair<std::string, std::string>> new_overrides_;  // member, content type
    bool types_touched_ = false;
};

// Writes `copy` over the file at `file_path`, all or nothing; when the plan
// came to kFallBack, `document.save` writes the file instead (counted in
// library_saves). 0, or -1 with the exception set.
int write_copy_or_save(PyObject* file_path, const PackageCopy& copy, int planned, PyObject* document);

// How many files the library's save has written, in this process, because
// their package could not be copied.
long library_saves();

}  // namespace tw::content
