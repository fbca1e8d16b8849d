// Content controls bound to data (w:sdtPr/w:dataBinding). Word and
// LibreOffice show such a control's data, not its text, when they open the
// document: a control whose text changed needs the same text in the node it
// is bound to (in a custom XML part, or the document's core or extended
// properties), or the change is undone on opening. A binding that cannot be
// followed with certainty makes the whole document fail, with an error
// naming the control, rather than change in a way that reverts.
#pragma once

#include "content/docx_text.h"
#include "content/office_text.h"
#include "content/xml_tree.h"

#include <map>
#include <string>
#include <vector>

namespace tw::content {

class DataBindings {
public:
    explicit DataBindings(DocxEditor& editor) : editor_(editor) {}

    // 0, or -1 with the exception set.
    int load() { return xml_.open(); }
    // The bound controls of a story, with the text each shows, before the
    // story is edited. 0, or -1 with the exception set.
    int note(PyObject* root);
    // After the edits: the node of each control whose text changed gets
    // its new text, and the parts that hold them join `changed`. 0, or -1
    // with ValueError naming a control whose binding cannot be followed
    // with certainty (or with another error).
    int settle(PyObject* doc, ChangedParts& changed);

private:
    struct Control {
        py::Ref sdt, content, binding;
        py::Ref shown;     // its plain text, or None when it holds more than text
        py::Ref snapshot;  // all of its text, to tell whether it changed
    };
    // A part that holds bound data, with its XML tree: the library's own
    // tree for a part the library parses, else parsed here from its bytes.
    struct Store {
        py::Ref part, root;
        bool parsed = false;
        bool changed = false;
    };

    py::Ref plain_text(PyObject* content);
    py::Ref snapshot(PyObject* content);
    int update(PyObject* doc, const Control& control);
    int find_node(PyObject* doc, const Control& control, Store*& store, py::Ref& node);
    int find_store(PyObject* doc, const std::string& id, Store*& store);
    int custom_store(PyObject* doc, const std::string& id, Store*& store);
    int open_store(PyObject* part, Store& out);
    int unresolved(const Control& control, const char* why);

    DocxEditor& editor_;
    xml::Parser xml_;
    std::vector<Control> controls_;
    std::map<std::string, Store> stores_;       // by store item id, in upper case
    struct Assigned {
        py::Ref node, original, given;  // a bound node, the text it held, the text it gets
    };
    std::vector<Assigned> assigned_;
};

}  // namespace tw::content
