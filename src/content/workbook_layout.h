// Reading a workbook's package as the library reads it: which part is the
// workbook, what its relationships lead to, and which part holds each of
// the worksheets the library loaded. The workbook writer edits only what
// it found here.
#pragma once

#include "content/package_copy.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::content::workbook {

// A workbook uses one of two vocabularies: transitional or strict.
struct Flavour {
    const char* main;
    const char* relationships;
};
const Flavour* flavour_of(const xml::ElementName& name);

struct Relationship {
    std::string type;
    std::string target;  // the member it leads to
};

struct Relationships {
    std::string source;                         // the part they belong to
    std::map<std::string, Relationship> by_id;  // the internal ones
};

struct SheetPart {
    std::string title;
    std::string part;
};

// What the package holds around the worksheets.
struct Layout {
    std::string workbook_part;
    py::Ref workbook;  // its root element
    const Flavour* flavour = nullptr;
    Relationships rels;
    std::vector<SheetPart> sheets;  // in the order of wb.worksheets
    std::string shared_strings;     // the string table the library read; "" for none
};

// Finds the layout of the package in `copy`, and checks that its
// worksheets are the very ones the library loaded into `wb`. kDone,
// kFallBack, or -1 with the exception set.
int read_layout(const xml::Parser& xml, const PackageCopy& copy, PyObject* wb, Layout& layout);

// The internal relationships of the part `source`; none when it has no
// relationships part. kDone, kFallBack, or -1.
int read_relationships(const xml::Parser& xml, const PackageCopy& copy, const std::string& source,
                       Relationships& rels);
// Whether a relationship's type is `kind` ("table", "sharedStrings"):
// the last segment of its type, in either vocabulary.
bool is_relationship_of_kind(const Relationship& rel, std::string_view kind);

// A row number or an entry's number as the file writes it: up to nine
// digits.
bool read_number(std::string_view text, long long& out);

// A cell reference as the library reads it ("AB12", letters in either
// case): row and column, from 1.
using Position = std::pair<long long, long long>;
bool read_reference(std::string_view text, Position& out);

// The parts the writer edits, each parsed once and written into the copy
// once, after every edit.
class PartTrees {
public:
    // The part's root element, parsed on first use. kDone, kFallBack, -1.
    int root(const xml::Parser& xml, const PackageCopy& copy, const std::string& part, py::Ref& out);
    // A part parsed elsewhere.
    void adopt(const std::string& part, py::Ref root) { roots_[part] = std::move(root); }
    void changed(const std::string& part) { changed_.insert(part); }
    bool holds(const std::string& part) const { return roots_.count(part) != 0; }
    // Every changed part, serialized into the copy. 0, or -1.
    int write(const xml::Parser& xml, PackageCopy& copy) const;

private:
    std::map<std::string, py::Ref> roots_;
    std::set<std::string> changed_;
};

}  // namespace tw::content::workbook
