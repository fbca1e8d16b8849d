// Reading a workbook's package as the library reads it: which part is the
// workbook, what its relationships lead to, and which part holds each of
// the worksheets the library loaded. The workbook writer edits only what
// it found here.
#pragma once

#include "content/package_copy.h"

#include <map>
#include <string>
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
};

// Finds the layout of the package in `copy`, and checks that its
// worksheets are the very ones the library loaded into `wb`. kDone,
// kFallBack, or -1 with the exception set.
int read_layout(const xml::Parser& xml, const PackageCopy& copy, PyObject* wb, Layout& layout);

}  // namespace tw::content::workbook
